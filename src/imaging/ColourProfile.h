#pragma once
// Colour management. An image that carries an ICC profile (or, in PNG, a gamma and
// chromaticity pair, which describes one) is converted to sRGB on the decoding thread, so
// that painting and the adjustments see sRGB. Profiles that cannot be used (truncated,
// malformed, too big, of the wrong colour space) are ignored with a line in the
// "oxlume.colour" logging category: the image still shows, unconverted.

#include "imaging/ByteReader.h"

#include <QByteArray>
#include <QImage>

#include <atomic>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

namespace oxlume::imaging {

// No real profile comes near this; a JPEG can chain at most 255 markers of 64 KiB.
inline constexpr size_t kMaxProfileBytes = size_t(16) << 20;

// What the decoded pixels hold: colour, or a grey copied into R, G and B.
enum class PixelModel { Rgb, Grey };

struct ColourOptions {
    // Rows are shared out between this many threads; 0: as many as the processors, for
    // images of a few megapixels or more.
    int threads = 0;
};

// Converts image (Format_RGB32 or Format_ARGB32, pixels in the profile's space) to sRGB in
// place; alpha is kept. An sRGB profile (or one that maps every colour within a level of
// itself) leaves the pixels alone at the cost of a few hundred test colours. Returns whether
// the pixels changed. format names the file format in log lines.
bool convertToSrgb(QImage &image, Bytes profile, PixelModel model, std::string_view format,
                   const ColourOptions &options = {});

// Converts a row of width 32-bit pixels to sRGB in place.
using RowConvert = std::function<void(uint32_t *row, size_t width)>;

// The conversion convertToSrgb() applies, for a decoder to apply row by row; empty when the
// profile cannot be used (with a log line) or leaves the pixels alone.
RowConvert pixelConversion(Bytes profile, PixelModel model, std::string_view format);

// Converts the rows of an image while its decoder is still writing later ones, so that the
// rows are converted while they are in the cache and a second processor does the work in
// step with the decoding. The conversion is made (a profile's grid takes tens of
// milliseconds) on the helper thread, as the first rows are decoded. Without a helper
// (small images, one processor) the decoding thread converts each band as it is reported.
class RowConversion {
public:
    // make: the conversion, called once, on the helper when there is one; rowAt: where row y
    // of rows is in memory.
    RowConversion(std::function<RowConvert()> make, std::function<uint32_t *(int)> rowAt, int rows,
                  size_t width, bool helper);
    // Stops the helper; rows not yet converted stay as they are (the decode failed).
    ~RowConversion();
    RowConversion(const RowConversion &) = delete;
    RowConversion &operator=(const RowConversion &) = delete;

    // Rows [0, rows) are written.
    void written(int rows);
    // Every row is written: converts what is left, with the helper, and returns when all is;
    // false when cancelled() said, between bands, that the image is no longer wanted.
    bool finish(const std::function<bool()> &cancelled = {});
    // Whether a helper thread converts; without one, the conversion itself for rows the
    // decoder converts where it stands (before they are turned, say).
    bool hasHelper() const { return m_helper.joinable(); }
    // Whether a helper pays for itself on an image of this many pixels.
    static bool helps(int64_t pixels);
    const RowConvert &conversion() const { return m_convert; }

private:
    static constexpr int kBand = 8; // rows a thread takes at a time
    void help();
    bool convertBand(); // takes the next band when it is written; false when there is none
    void waitForConversion();

    std::function<RowConvert()> m_make;
    std::function<uint32_t *(int)> m_rowAt;
    const int m_rows;
    const size_t m_width;
    RowConvert m_convert;
    std::atomic<int> m_written{0}; // rows the decoder has finished
    std::atomic<int> m_next{0};    // the first row no thread has taken yet
    std::atomic<int> m_made{0};    // 1 once m_convert is set
    std::atomic<bool> m_stop{false};
    std::thread m_helper;
};

// Converts CMYK rows to sRGB pixels through a CMYK profile.
class CmykTransform {
public:
    // nullptr (with a log line) when the profile cannot be used or is not a CMYK one.
    // inverted: the file stores 255 for no ink (Adobe JPEG, PSD), not 0.
    static std::unique_ptr<CmykTransform> create(Bytes profile, bool inverted,
                                                 std::string_view format);
    ~CmykTransform();
    CmykTransform(const CmykTransform &) = delete;
    CmykTransform &operator=(const CmykTransform &) = delete;

    // width pixels of four bytes C, M, Y, K to opaque 0xAARRGGBB values; in and out may be
    // the same memory.
    void convert(const uint8_t *cmyk, uint32_t *out, int width) const;
    // The same for every pixel of an image whose 32-bit pixels hold C, M, Y, K bytes, in
    // place, with its rows shared out as convertToSrgb does.
    void convertInPlace(QImage &image, const ColourOptions &options = {}) const;

private:
    explicit CmykTransform(void *grid)
        : m_transform(grid)
    {
    }
    void *m_transform; // the sampled grid
};

// Converts rows of samples wider than 8 bits to sRGB through a profile, in floating point, so
// that 16- and 32-bit images are not cut to 8 bits before their colours are mapped.
class PreciseTransform {
public:
    enum class Space { Rgb, Grey, Cmyk };
    // nullptr (with a log line) when the profile cannot be used or describes another space.
    // Samples run 0..1; CMYK ones are stored inverted (1 for no ink), as PSD keeps them.
    static std::unique_ptr<PreciseTransform> create(Bytes profile, Space space,
                                                    std::string_view format);
    ~PreciseTransform();
    PreciseTransform(const PreciseTransform &) = delete;
    PreciseTransform &operator=(const PreciseTransform &) = delete;

    // width pixels given as one plane per channel, width samples apart, to opaque
    // 0xAARRGGBB values, rounded once.
    void convert(const float *planes, uint32_t *out, int width) const;

private:
    struct State;
    explicit PreciseTransform(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// The ICC profile in a JPEG's APP2 "ICC_PROFILE" markers, joined in sequence order (the
// format splits profiles over up to 255 markers). Empty when there is none; empty with a
// log line when the chain is broken (missing or repeated parts) or larger than
// kMaxProfileBytes. Reads only the marker segments before the image data.
QByteArray jpegIccProfile(Bytes jpeg);

// The colour profile of an image a Qt reader decoded (from an ICC profile, or from PNG's
// gamma and chromaticities), as ICC data; empty when the image has none or it is sRGB.
QByteArray qtImageProfile(const QImage &image);

} // namespace oxlume::imaging
