#pragma once
// Pixel transforms on 8-bit-per-channel 32-bit images (Format_RGB32 / Format_ARGB32).
// Each acts on the image in place as far as its holder sees it: a holder whose pixels are
// shared with another QImage gets a new buffer and the other holder keeps the old pixels.
// Other formats are first converted to RGB32, or ARGB32 when they carry alpha.
// A null image is left as it is.

#include <QImage>

#include <array>
#include <cstdint>

namespace oxlume::imaging {

using ToneTable = std::array<uint8_t, 256>;

// The table of ChangeBrightness followed by ChangeContrast. Values are clamped to
// -1000..1000. Brightness adds value/1000 of full scale; contrast scales the distance from
// mid-grey (127.5) by (1000 + value) / 1000; each step rounds and clamps to 0..255.
ToneTable brightnessContrastTable(int brightness, int contrast);

// Colour channels through the table; alpha is never changed.
void applyToneTable(QImage &image, const ToneTable &table);
// Whether the table is worked out eight pixels at a time rather than looked up pixel by
// pixel (the processor has the instructions, the table is a clamped line); the same pixels
// either way.
bool toneTableVectorised(const ToneTable &table);

void ChangeBrightness(QImage &image, int value);
void ChangeContrast(QImage &image, int value);
// Both in one pass over the pixels; same result as brightness, then contrast.
void ApplyBrightnessContrast(QImage &image, int brightness, int contrast);

void FlipTopBottom(QImage &image);
void FlipLeftRight(QImage &image);

// Turns clockwise by 90, 180 or 270 degrees (any multiple of 90, negative included);
// 90 and 270 swap width and height. Raises ProgramError for other angles.
void RotateImage(QImage &image, int degrees);

// Any sequence of flips and quarter turns is one of eight orientations: a signed permutation
// of the axes. Source pixel (x, y) of a w x h image lands on
// (a*x + b*y + [w-1 or h-1 where negative], c*x + d*y + ...); the offsets follow from the
// signs, so the matrix alone composes.
struct Orientation {
    int8_t a = 1, b = 0, c = 0, d = 1;

    static Orientation flipTopBottom() { return {1, 0, 0, -1}; }
    static Orientation flipLeftRight() { return {-1, 0, 0, 1}; }
    // Clockwise by a multiple of 90 degrees (negative included); ProgramError otherwise.
    static Orientation rotation(int degrees);

    // This orientation, then next.
    Orientation then(Orientation next) const
    {
        return {int8_t(next.a * a + next.b * c), int8_t(next.a * b + next.b * d),
                int8_t(next.c * a + next.d * c), int8_t(next.c * b + next.d * d)};
    }
    bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1; }
    bool swapsSides() const { return a == 0; }
    friend bool operator==(Orientation, Orientation) = default;
};

// The orientation and, when given, the tone table (colour channels only) in one pass from
// the image into one new buffer. Same pixels as applying the table and then the flips and
// turns that make up the orientation one by one. On a throw the image is unchanged.
void applyOrientationAndTone(QImage &image, Orientation orientation, const ToneTable *tone);

} // namespace oxlume::imaging
