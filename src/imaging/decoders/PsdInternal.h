#pragma once
// PSD decoder internals shared by its two source files (header and sections in Psd.cpp,
// pixel data in PsdPixels.cpp). Not for use outside the decoder and its tests.

#include "imaging/decoders/Decoder.h"
#include "imaging/decoders/Failure.h"

#include <cstdint>
#include <vector>

namespace oxlume::imaging {
class CmykTransform;
class PreciseTransform;
} // namespace oxlume::imaging

namespace oxlume::imaging::psd {

inline Error fail(const std::string &what)
{
    return failure("PSD", what);
}

enum class ColorMode : uint16_t {
    Bitmap = 0,
    Grayscale = 1,
    Indexed = 2,
    Rgb = 3,
    Cmyk = 4,
    Multichannel = 7,
    Duotone = 8,
    Lab = 9,
};

// One channel of a multichannel document as the document shows it: an ink of this sRGB colour
// (0..1 at full coverage), or not at all.
struct Ink {
    bool shown = false;
    float rgb[3] = {0, 0, 0};
};

enum class Compression : uint16_t { Raw = 0, Rle = 1, Zip = 2, ZipPredicted = 3 };

struct Header {
    int version = 1; // 1 PSD, 2 PSB
    int channels = 0;
    int64_t width = 0;
    int64_t height = 0;
    int depth = 8;
    ColorMode mode = ColorMode::Rgb;
    Bytes colourData;          // the palette of indexed images (R x256, G x256, B x256)
    int transparentIndex = -1; // palette entry shown transparent, -1 for none
    bool mergedAlpha = false;  // the first channel after the colour ones is the alpha
    Bytes iccProfile;          // image resource 1039, empty when absent
    int orientation = 1;       // EXIF orientation (1..8) from image resource 1058
    std::vector<Ink> inks;     // multichannel: how each used channel shows; empty for none
    const CmykTransform *cmykProfile = nullptr; // set while decoding a CMYK file with a profile
    // Set while decoding a 16- or 32-bit file whose profile is applied before the cut to 8 bits.
    const PreciseTransform *preciseProfile = nullptr;
    Compression compression = Compression::Raw;
    size_t dataOffset = 0; // first byte after the compression field
};

// Reads and checks everything before the pixel data; fails with "PSD: <field> ..." text.
Result<Header> parseHeader(Bytes data);
// Channels the composite uses: the colour ones plus the alpha when there is one.
int usedChannels(const Header &h);
// Bytes of one stored row of one channel.
uint64_t rowBytes(const Header &h);
// Bytes of all channels' planes, which ZIP data inflates to in one piece.
uint64_t zipPlaneBytes(const Header &h);
// Unpacks PackBits from in into at most outLength bytes; returns the bytes written.
size_t unpackBits(Bytes in, uint8_t *out, size_t outLength);
// Inks a multichannel document is shown with at most; channels past them are left out.
inline constexpr int kMaxInks = 16;
// The inks of a multichannel document from its display information (image resource 1077,
// which starts with a version, or the older 1007); empty when it shows no spot channel.
std::vector<Ink> readInks(Bytes displayInfo, bool versioned, int channels);
// Decodes the composite described by h from the whole file data.
Result<QImage> decodeComposite(const Header &h, Bytes data, DecodeObserver &observer);

// Whether samples are handled as floats 0..1 rather than as 8-bit values: for 16 and 32
// bits, and for Lab colours matted against white, whose unmatted values would otherwise be
// rounded before a conversion that magnifies the error in dark colours.
inline bool wideSamples(const Header &h)
{
    return h.depth >= 16 || (h.mergedAlpha && h.mode == ColorMode::Lab);
}
// Colour conversion of one row, for 8-bit samples as stored and for wider ones as floats 0..1
// (PsdColour.cpp). ch holds the used channels' rows in order.
template<typename T>
void composeRow(const Header &h, const T *const *ch, const QRgb *palette, QRgb *line, bool matted);
// Whether a row's colours were matted against white where the alpha is below full.
template<typename T>
bool mattedRow(const Header &h, const T *const *ch);
// The straight colours of matted rows, into out (one row per used channel, alpha copied).
template<typename T>
void unmatteRows(const Header &h, const T *const *in, T *const *out);

} // namespace oxlume::imaging::psd
