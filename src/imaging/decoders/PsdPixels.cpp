// Pixel data of the PSD composite: channel-planar rows, raw, PackBits or ZIP, turned into
// samples (8-bit, or floats for 16 and 32 bits) and composed row by row into an RGB32/ARGB32
// image.

#include "imaging/ColourProfile.h"
#include "imaging/ImageBuffer.h"
#include "imaging/Limits.h"
#include "imaging/Transforms.h"
#include "imaging/decoders/Inflate.h"
#include "imaging/decoders/PsdInternal.h"

#include <QByteArray>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace oxlume::imaging::psd {

namespace {

constexpr QRgb kMissing = 0xFF000000u; // rows the file does not hold: opaque black

// Where each used channel's stored rows are, whatever the compression.
class RowSource {
public:
    RowSource(const Header &h, Bytes data)
        : m_h(h)
        , m_data(data)
        , m_rowBytes(rowBytes(h))
    {
    }

    Result<void> prepare(int used);
    // Back to the first row, for a second pass over the same data.
    void rewind(int used)
    {
        if (m_h.compression == Compression::Rle)
            (void)prepareRle(used);
    }
    // The stored bytes of row y of channel c (used channels in order, c < used). Fewer than
    // rowBytes() bytes (or RLE bytes cut short) means the file ends there.
    Bytes storedRow(int c, int64_t y, bool &complete);
    bool packed() const { return m_h.compression == Compression::Rle; }

private:
    Result<void> prepareRle(int used);
    Result<void> prepareZip();
    void undoPrediction();

    const Header &m_h;
    Bytes m_data;
    uint64_t m_rowBytes;
    uint64_t m_planeOffset = 0;     // raw and ZIP: offset of channel 0's first row
    std::vector<uint64_t> m_cursor; // RLE: each channel's next row offset
    uint64_t m_tableOffset = 0;     // RLE: byte counts, channel-major
    int m_countBytes = 2;           // RLE: 2 in PSD, 4 in PSB
    QByteArray m_unzipped;          // ZIP: all planes
};

Result<void> RowSource::prepare(int used)
{
    m_planeOffset = m_h.dataOffset;
    if (m_h.compression == Compression::Rle)
        return prepareRle(used);
    if (m_h.compression == Compression::Zip || m_h.compression == Compression::ZipPredicted)
        return prepareZip();
    // A cut-short file shows the rows it holds, but one without a single row is no image.
    if (m_data.size() - m_planeOffset < m_rowBytes)
        return fail("file ends before the first row of pixel data (" + std::to_string(m_rowBytes) +
                    " bytes needed, " + std::to_string(m_data.size() - m_planeOffset) +
                    " present)");
    return {};
}

Result<void> RowSource::prepareRle(int used)
{
    m_countBytes = m_h.version == 2 ? 4 : 2;
    const uint64_t rows = uint64_t(m_h.channels) * uint64_t(m_h.height);
    const uint64_t tableBytes = rows * uint64_t(m_countBytes);
    const uint64_t left = m_data.size() - m_h.dataOffset;
    if (tableBytes > left)
        return fail("RLE byte count table of " + std::to_string(tableBytes) +
                    " bytes runs past the end of the file (" + std::to_string(left) +
                    " bytes left)");
    m_tableOffset = m_h.dataOffset;
    // Each channel's data starts after all rows of the channels before it.
    ByteReader table(m_data, m_tableOffset);
    uint64_t offset = m_tableOffset + tableBytes;
    if (left == tableBytes)
        return fail("file ends after the RLE byte count table, before any pixel data");
    m_cursor.assign(size_t(used), 0);
    for (int c = 0; c < used; ++c) {
        m_cursor[size_t(c)] = offset;
        for (int64_t y = 0; y < m_h.height; ++y)
            offset += m_countBytes == 4 ? table.u32be() : table.u16be();
    }
    return {};
}

Result<void> RowSource::prepareZip()
{
    // The header check keeps this within the memory limit.
    const uint64_t expected = zipPlaneBytes(m_h);
    // Inflating stops at the planes' size: a stream that goes on costs no more than that.
    auto inflated = inflateAtMost(m_data.subspan(m_h.dataOffset), Wrapping::Zlib, size_t(expected));
    if (inflated.ok())
        m_unzipped = std::move(inflated->bytes);
    if (uint64_t(m_unzipped.size()) != expected)
        return fail("ZIP data is damaged or cut short (" + std::to_string(m_unzipped.size()) +
                    " of " + std::to_string(expected) + " bytes unpacked)");
    if (m_h.compression == Compression::ZipPredicted)
        undoPrediction();
    m_data = Bytes(reinterpret_cast<const std::byte *>(m_unzipped.constData()), size_t(expected));
    m_planeOffset = 0;
    return {};
}

// ZIP with prediction stores each row as differences from the sample to its left; 32-bit
// rows also have their float bytes split into four planes (all first bytes, then seconds...).
void RowSource::undoPrediction()
{
    auto *bytes = reinterpret_cast<uint8_t *>(m_unzipped.data());
    const size_t w = size_t(m_h.width);
    const size_t rows = size_t(m_h.height) * size_t(m_h.channels);
    std::vector<uint8_t> shuffled(m_h.depth == 32 ? size_t(m_rowBytes) : 0);
    for (size_t r = 0; r < rows; ++r) {
        uint8_t *row = bytes + r * m_rowBytes;
        if (m_h.depth == 16) {
            uint16_t prev = 0;
            for (size_t x = 0; x < w; ++x) {
                prev = uint16_t(prev + (uint16_t(row[2 * x] << 8) | row[2 * x + 1]));
                row[2 * x] = uint8_t(prev >> 8);
                row[2 * x + 1] = uint8_t(prev);
            }
            continue;
        }
        for (size_t i = 1; i < m_rowBytes; ++i)
            row[i] = uint8_t(row[i] + row[i - 1]);
        if (m_h.depth == 32) {
            for (size_t x = 0; x < w; ++x)
                for (size_t b = 0; b < 4; ++b)
                    shuffled[4 * x + b] = row[b * w + x];
            std::memcpy(row, shuffled.data(), m_rowBytes);
        }
    }
}

Bytes RowSource::storedRow(int c, int64_t y, bool &complete)
{
    uint64_t offset = 0;
    uint64_t length = m_rowBytes;
    if (m_h.compression == Compression::Rle) {
        ByteReader table(m_data,
                         m_tableOffset + (uint64_t(c) * uint64_t(m_h.height) + uint64_t(y)) *
                                             uint64_t(m_countBytes));
        length = m_countBytes == 4 ? table.u32be() : table.u16be();
        offset = m_cursor[size_t(c)];
        m_cursor[size_t(c)] += length;
    } else {
        offset = m_planeOffset + (uint64_t(c) * uint64_t(m_h.height) + uint64_t(y)) * m_rowBytes;
    }
    const uint64_t size = m_data.size();
    if (offset >= size) {
        complete = false;
        return {};
    }
    complete = length <= size - offset;
    return m_data.subspan(size_t(offset), size_t(std::min(length, size - offset)));
}

// Float samples: NaN and below 0 as 0, above 1 as 1 (linear light past white shows white).
inline float clampFloat(uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f > 0.0f ? std::min(f, 1.0f) : 0.0f;
}

// Stored row bytes (depth 1 or 8) to one 8-bit sample per pixel.
void toSamples(const Header &h, const uint8_t *in, size_t inLength, uint8_t *out)
{
    const size_t w = size_t(h.width);
    std::memset(out, 0, w);
    if (h.depth == 1) {
        // Bitmap mode: a set bit is black.
        for (size_t x = 0; x < w && x / 8 < inLength; ++x)
            out[x] = (in[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    } else if (inLength > 0) {
        std::memcpy(out, in, std::min(w, inLength));
    }
}

// Stored row bytes (depth 8, 16 or 32) to one sample 0..1 per pixel.
void toSamples(const Header &h, const uint8_t *in, size_t inLength, float *out)
{
    const size_t w = size_t(h.width);
    std::fill(out, out + w, 0.0f);
    if (h.depth == 8) {
        for (size_t x = 0, n = std::min(w, inLength); x < n; ++x)
            out[x] = float(in[x]) / 255.0f;
    } else if (h.depth == 16) {
        const size_t n = std::min(w, inLength / 2);
        for (size_t x = 0; x < n; ++x)
            out[x] = float(uint16_t(in[2 * x] << 8 | in[2 * x + 1])) / 65535.0f;
    } else {
        const size_t n = std::min(w, inLength / 4);
        for (size_t x = 0; x < n; ++x)
            out[x] = clampFloat(uint32_t(in[4 * x]) << 24 | uint32_t(in[4 * x + 1]) << 16 |
                                uint32_t(in[4 * x + 2]) << 8 | uint32_t(in[4 * x + 3]));
    }
}

// One channel's row as samples, whatever the depth and compression.
template<typename T>
class RowDecoder {
public:
    RowDecoder(const Header &h, RowSource &source, int used)
        : m_h(h)
        , m_source(source)
        , m_width(size_t(h.width))
        , m_stored(size_t(rowBytes(h)))
        , m_samples(size_t(used) * m_width)
        , m_unpacked(source.packed() ? m_stored : 0)
    {
    }
    // Sets truncated when the file ends inside this row (its missing samples read as 0).
    const T *row(int c, int64_t y, bool &truncated)
    {
        bool complete = true;
        Bytes stored = m_source.storedRow(c, y, complete);
        truncated = truncated || !complete;
        T *out = m_samples.data() + size_t(c) * m_width;
        const auto *in = reinterpret_cast<const uint8_t *>(stored.data());
        if constexpr (std::is_same_v<T, uint8_t>) {
            if (m_h.depth == 8 && m_source.packed()) {
                const size_t n = unpackBits(stored, out, m_width);
                std::fill(out + n, out + m_width, uint8_t(0));
                return out;
            }
            if (m_h.depth == 8 && complete && !m_source.packed())
                return in; // raw 8-bit rows are read in place
        }
        if (m_source.packed()) {
            const size_t n = unpackBits(stored, m_unpacked.data(), m_stored);
            std::fill(m_unpacked.begin() + std::ptrdiff_t(n), m_unpacked.end(), uint8_t(0));
            toSamples(m_h, m_unpacked.data(), m_stored, out);
            return out;
        }
        toSamples(m_h, in, stored.size(), out);
        return out;
    }

private:
    const Header &m_h;
    RowSource &m_source;
    size_t m_width;
    size_t m_stored;
    std::vector<T> m_samples;
    std::vector<uint8_t> m_unpacked;
};

} // namespace

namespace {

Result<QImage> decodePixels(const Header &h, Bytes data, DecodeObserver &observer);

// EXIF orientation 1..8 as flips and clockwise turns.
Orientation exifOrientation(int tag)
{
    switch (tag) {
    case 2: return Orientation::flipLeftRight();
    case 3: return Orientation::rotation(180);
    case 4: return Orientation::flipTopBottom();
    case 5: return Orientation::flipLeftRight().then(Orientation::rotation(270));
    case 6: return Orientation::rotation(90);
    case 7: return Orientation::flipLeftRight().then(Orientation::rotation(90));
    case 8: return Orientation::rotation(270);
    default: return {};
    }
}

} // namespace

// The pixels, then the file's colour profile and orientation applied, as for JPEG.
Result<QImage> decodeComposite(const Header &header, Bytes data, DecodeObserver &observer)
{
    Header h = header;
    std::unique_ptr<CmykTransform> cmyk;
    if (h.mode == ColorMode::Cmyk && !h.iccProfile.empty()) {
        cmyk = CmykTransform::create(h.iccProfile, true, "PSD"); // PSD stores 255 for no ink
        h.cmykProfile = cmyk.get();
    }
    // Wide samples meet the profile before they are cut to 8 bits.
    std::unique_ptr<PreciseTransform> precise;
    const bool grey = h.mode == ColorMode::Grayscale || h.mode == ColorMode::Duotone;
    if (wideSamples(h) && !h.iccProfile.empty() &&
        (h.mode == ColorMode::Rgb || h.mode == ColorMode::Cmyk || grey)) {
        precise =
            PreciseTransform::create(h.iccProfile,
                                     h.mode == ColorMode::Rgb    ? PreciseTransform::Space::Rgb
                                     : h.mode == ColorMode::Cmyk ? PreciseTransform::Space::Cmyk
                                                                 : PreciseTransform::Space::Grey,
                                     "PSD");
        h.preciseProfile = precise.get();
    }
    auto decoded = decodePixels(h, data, observer);
    OX_TRY(decoded);
    QImage image = std::move(decoded.value());
    if (precise) {
        // Converted already.
    } else if (!h.iccProfile.empty() && (h.mode == ColorMode::Rgb || h.mode == ColorMode::Indexed))
        convertToSrgb(image, h.iccProfile, PixelModel::Rgb, "PSD");
    else if (!h.iccProfile.empty() &&
             (h.mode == ColorMode::Grayscale || h.mode == ColorMode::Duotone))
        convertToSrgb(image, h.iccProfile, PixelModel::Grey, "PSD");
    if (h.orientation != 1)
        applyOrientationAndTone(image, exifOrientation(h.orientation), nullptr);
    return image;
}

namespace {

// The rows into image; returns how many there were data for, or -1 when cancelled. Colours
// matted against white are told by a first pass over the rows and unmatted in the second,
// before their conversion.
template<typename T>
int64_t decodeRows(const Header &h, RowSource &source, int used, const QRgb *palette, QImage &image,
                   DecodeObserver &observer)
{
    RowDecoder<T> rowDecoder(h, source, used);
    std::vector<const T *> rows(size_t(used), nullptr);
    const size_t w = size_t(h.width);
    bool matted = h.mergedAlpha;
    bool truncated = false;
    for (int64_t y = 0; matted && y < h.height && !truncated; ++y) {
        for (int c = 0; c < used; ++c)
            rows[size_t(c)] = rowDecoder.row(c, y, truncated);
        matted = mattedRow(h, rows.data());
        if (observer.cancelled())
            return -1;
    }
    if (h.mergedAlpha)
        source.rewind(used);
    std::vector<T> scratch(matted ? size_t(used) * w : 0);
    std::vector<T *> unmatted(size_t(used), nullptr);
    for (size_t c = 0; matted && c < size_t(used); ++c)
        unmatted[c] = scratch.data() + c * w;

    uchar *bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    RowProgress progress(observer, h.height);
    int64_t y = 0;
    truncated = false;
    for (; y < h.height && !truncated; ++y) {
        for (int c = 0; c < used; ++c)
            rows[size_t(c)] = rowDecoder.row(c, y, truncated);
        const T *const *samples = rows.data();
        if (matted) {
            unmatteRows(h, samples, unmatted.data());
            samples = unmatted.data();
        }
        composeRow(h, samples, palette, reinterpret_cast<QRgb *>(bits + y * stride), matted);
        if (!progress.row(y + 1))
            return -1;
    }
    return y;
}

Result<QImage> decodePixels(const Header &h, Bytes data, DecodeObserver &observer)
{
    const bool alpha = h.mergedAlpha || (h.mode == ColorMode::Indexed && h.transparentIndex >= 0 &&
                                         h.transparentIndex < 256);
    // The header's size was checked against the limits when it was read.
    const int used = usedChannels(h);
    RowSource source(h, data);
    OX_TRY(source.prepare(used));
    auto allocated = allocateImage("PSD", h.width, h.height,
                                   alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    OX_TRY(allocated);
    QImage image = std::move(allocated.value());

    std::array<QRgb, 256> palette{};
    if (h.mode == ColorMode::Indexed) {
        const auto *p = reinterpret_cast<const uint8_t *>(h.colourData.data());
        for (size_t i = 0; i < 256; ++i)
            palette[i] = qRgb(p[i], p[256 + i], p[512 + i]);
        if (h.transparentIndex >= 0 && h.transparentIndex < 256)
            palette[size_t(h.transparentIndex)] = 0;
    }

    const int64_t y = wideSamples(h)
                          ? decodeRows<float>(h, source, used, palette.data(), image, observer)
                          : decodeRows<uint8_t>(h, source, used, palette.data(), image, observer);
    if (y < 0)
        return fail("cancelled");
    const size_t w = size_t(h.width);
    uchar *bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    // The header was whole but the pixel data ends early: show what decoded.
    for (int64_t row = y; row < h.height; ++row)
        std::fill_n(reinterpret_cast<QRgb *>(bits + row * stride), w, kMissing);
    return image;
}

} // namespace

} // namespace oxlume::imaging::psd
