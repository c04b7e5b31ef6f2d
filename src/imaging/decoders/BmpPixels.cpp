// BMP pixel data: uncompressed rows of every depth, the three run-length codings, and
// embedded JPEG/PNG. Pixels the file does not define (skipped by an RLE delta or an early
// end of line/bitmap, or missing because the file ends early) are transparent black; the
// image is then delivered as ARGB32 so a viewer shows its background through them.

#include "imaging/ImageBuffer.h"
#include "imaging/decoders/BmpInternal.h"
#include "imaging/decoders/Jpeg.h"
#include "imaging/decoders/QtPlugin.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace oxlume::imaging::bmp {

namespace {

constexpr uint32_t kUndefined = 0x00000000; // transparent black

// What a row decoder needs besides the bytes: the header, and for 16-bit pixels a table
// of all 65536 values.
struct RowContext {
    const Header &h;
    const uint32_t *lut16 = nullptr;
};

using RowFn = void (*)(const uint8_t *src, uint32_t *dst, int width, const RowContext &c);

template<int Bits>
void rowIndexed(const uint8_t *src, uint32_t *dst, int width, const RowContext &c)
{
    constexpr int perByte = 8 / Bits;
    constexpr unsigned mask = (1u << Bits) - 1;
    const uint32_t *pal = c.h.palette.data();
    int x = 0;
    for (; x + perByte <= width; x += perByte) {
        const unsigned byte = *src++;
        for (int k = 0; k < perByte; ++k)
            dst[x + k] = pal[(byte >> (8 - Bits * (k + 1))) & mask];
    }
    if (x < width) {
        const unsigned byte = *src;
        for (int k = 0; x < width; ++k, ++x)
            dst[x] = pal[(byte >> (8 - Bits * (k + 1))) & mask];
    }
}

void row8(const uint8_t *src, uint32_t *dst, int width, const RowContext &c)
{
    const uint32_t *pal = c.h.palette.data();
    for (int x = 0; x < width; ++x)
        dst[x] = pal[src[x]];
}

void row24(const uint8_t *src, uint32_t *dst, int width, const RowContext &)
{
    for (int x = 0; x < width; ++x, src += 3)
        dst[x] = 0xFF000000u | (uint32_t(src[2]) << 16) | (uint32_t(src[1]) << 8) | src[0];
}

inline uint32_t load32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v; // little-endian host; the build targets x86-64 and arm64 Linux
}

// The common 32-bit layout: B, G, R and an unused or alpha byte.
void row32Plain(const uint8_t *src, uint32_t *dst, int width, const RowContext &c)
{
    const uint32_t opaque = c.h.alpha.mask ? 0 : 0xFF000000u;
    for (int x = 0; x < width; ++x)
        dst[x] = load32(src + 4 * x) | opaque;
}

inline uint32_t fromMasks(uint32_t px, const Header &h)
{
    const uint32_t a = h.alpha.mask ? h.alpha.value(px) : 0xFF;
    return (a << 24) | (h.red.value(px) << 16) | (h.green.value(px) << 8) | h.blue.value(px);
}

void row32Masks(const uint8_t *src, uint32_t *dst, int width, const RowContext &c)
{
    for (int x = 0; x < width; ++x)
        dst[x] = fromMasks(load32(src + 4 * x), c.h);
}

void row16(const uint8_t *src, uint32_t *dst, int width, const RowContext &c)
{
    for (int x = 0; x < width; ++x)
        dst[x] = c.lut16[src[2 * x] | (src[2 * x + 1] << 8)];
}

RowFn rowFunction(const Header &h)
{
    switch (h.bpp) {
    case 1: return rowIndexed<1>;
    case 2: return rowIndexed<2>;
    case 4: return rowIndexed<4>;
    case 8: return row8;
    case 16: return row16;
    case 24: return row24;
    default: break;
    }
    const bool plain = h.red.mask == 0x00FF0000 && h.green.mask == 0x0000FF00 &&
                       h.blue.mask == 0x000000FF &&
                       (h.alpha.mask == 0 || h.alpha.mask == 0xFF000000);
    return plain ? row32Plain : row32Masks;
}

// The rows decoded so far carry an alpha channel that is all zero: writers that leave the
// fourth byte 0 mean "opaque", so show it that way.
bool alphaAllZero(const QImage &img, int firstLine, int lines)
{
    for (int y = firstLine; y < firstLine + lines; ++y) {
        const auto *p = reinterpret_cast<const uint32_t *>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x)
            if (p[x] >> 24)
                return false;
    }
    return true;
}

void makeOpaque(QImage &img, int firstLine, int lines)
{
    for (int y = firstLine; y < firstLine + lines; ++y) {
        auto *p = reinterpret_cast<uint32_t *>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            p[x] |= 0xFF000000u;
    }
}

uint32_t *lineOf(QImage &img, const Header &h, int fileRow)
{
    const int y = h.topDown ? fileRow : h.height - 1 - fileRow;
    return reinterpret_cast<uint32_t *>(img.scanLine(y));
}

Result<QImage> decodeRows(const Header &h, Bytes bits, DecodeObserver &observer)
{
    const uint64_t stride = (uint64_t(h.width) * uint64_t(h.bpp) + 31) / 32 * 4;
    auto allocated = allocateImage("BMP", h.width, h.height);
    if (!allocated)
        return allocated.error();
    QImage img = std::move(allocated.value());

    std::vector<uint32_t> lut;
    if (h.bpp == 16) {
        lut.resize(65536);
        for (uint32_t v = 0; v < 65536; ++v)
            lut[v] = fromMasks(v, h);
    }
    const RowContext ctx{h, lut.data()};
    const RowFn fn = rowFunction(h);
    const uint64_t wholeRows = std::min<uint64_t>(bits.size() / stride, uint64_t(h.height));
    const auto *src = reinterpret_cast<const uint8_t *>(bits.data());
    RowProgress progress(observer, h.height);
    int row = 0;
    for (; row < int(wholeRows); ++row, src += stride) {
        fn(src, lineOf(img, h, row), h.width, ctx);
        if (!progress.row(row + 1))
            return makeError("BMP: cancelled");
    }
    const bool truncated = row < h.height;
    if (truncated) {
        // The file ends inside this row: decode the pixels it holds, the rest is undefined.
        const size_t have = size_t(bits.size() - wholeRows * stride);
        std::vector<uint8_t> padded(size_t(stride), 0);
        std::memcpy(padded.data(), src, have);
        uint32_t *line = lineOf(img, h, row);
        fn(padded.data(), line, h.width, ctx);
        const int64_t defined = std::min<int64_t>(int64_t(have) * 8 / h.bpp, h.width);
        std::fill(line + defined, line + h.width, kUndefined);
        for (int r = row + 1; r < h.height; ++r)
            std::fill_n(lineOf(img, h, r), h.width, kUndefined);
    }

    // The decoded rows occupy one block of lines: the top for top-down files, else the bottom.
    const int decodedRows = int(wholeRows);
    const int firstLine = h.topDown ? 0 : h.height - decodedRows;
    if (h.alpha.mask) {
        // Only at 32 bits: there the fourth byte is often declared as alpha and left 0.
        if (h.bpp == 32 && alphaAllZero(img, firstLine, decodedRows))
            makeOpaque(img, firstLine, decodedRows);
        else
            img.reinterpretAsFormat(QImage::Format_ARGB32);
    }
    if (truncated)
        img.reinterpretAsFormat(QImage::Format_ARGB32);
    progress.row(h.height);
    return img;
}

// Run-length decoding (RLE4, RLE8 and OS/2's RLE24) straight into the image.
class RleDecoder {
public:
    RleDecoder(const Header &h, QImage &img, Bytes bits)
        : m_h(h)
        , m_p(reinterpret_cast<const uint8_t *>(bits.data()))
        , m_end(m_p + bits.size())
        , m_bits(img.bits())
        , m_stride(size_t(img.bytesPerLine()))
    {
    }

    // Returns false when cancelled.
    bool run(DecodeObserver &observer)
    {
        RowProgress progress(observer, m_h.height);
        while (m_y < m_h.height) {
            if (m_end - m_p < 2)
                break; // data ends early
            const unsigned count = m_p[0], code = m_p[1];
            m_p += 2;
            if (count > 0) {
                encodedRun(count, code);
                continue;
            }
            if (code == 0) { // end of line
                nextLine(m_y + 1, 0);
                if (!progress.row(m_y))
                    return false;
            } else if (code == 1) { // end of bitmap
                break;
            } else if (code == 2) { // delta: skip right and down
                if (m_end - m_p < 2)
                    break;
                const int dx = m_p[0], dy = m_p[1];
                m_p += 2;
                if (dy > 0)
                    nextLine(m_y + dy, m_x + dx);
                else
                    skipTo(m_x + dx);
            } else {
                absoluteRun(code);
            }
        }
        nextLine(m_h.height, 0); // whatever was not reached is undefined
        progress.row(m_h.height);
        return true;
    }

    bool skipped() const { return m_skipped; }

private:
    // Asked for every run, so it goes straight to the pixels rather than through QImage's
    // scanLine, whose sharing check cost a quarter of an RLE8 decode.
    uint32_t *line()
    {
        const int y = m_h.topDown ? m_y : m_h.height - 1 - m_y;
        return reinterpret_cast<uint32_t *>(m_bits + size_t(y) * m_stride);
    }

    void skipTo(int x)
    {
        x = std::min(x, m_h.width);
        if (x > m_x) {
            std::fill(line() + m_x, line() + x, kUndefined);
            m_skipped = true;
            m_x = x;
        }
    }

    // Leaves the current line (the rest of it undefined) for line y, column x.
    void nextLine(int y, int x)
    {
        if (m_y < m_h.height)
            skipTo(m_h.width);
        for (m_y = std::min(m_y + 1, m_h.height); m_y < std::min(y, m_h.height); ++m_y) {
            std::fill_n(line(), m_h.width, kUndefined);
            m_skipped = true;
        }
        m_y = std::min(y, m_h.height);
        m_x = 0;
        if (m_y < m_h.height)
            skipTo(x);
    }

    // Pixels past the line's end are dropped: runs never wrap onto the next line.
    void encodedRun(unsigned count, unsigned code)
    {
        const int n = std::min<int>(int(count), m_h.width - m_x);
        uint32_t *dst = line() + m_x;
        if (m_h.compression == Compression::Rle8) {
            std::fill_n(dst, n, m_h.palette[code]);
        } else if (m_h.compression == Compression::Rle4) {
            const uint32_t c[2] = {m_h.palette[code >> 4], m_h.palette[code & 15]};
            for (int i = 0; i < n; ++i)
                dst[i] = c[i & 1];
        } else { // RLE24: count, then blue, green, red
            if (m_end - m_p < 2) {
                m_p = m_end;
                return;
            }
            const uint32_t colour =
                0xFF000000u | (uint32_t(m_p[1]) << 16) | (uint32_t(m_p[0]) << 8) | code;
            m_p += 2;
            std::fill_n(dst, n, colour);
        }
        m_x += std::max(n, 0);
    }

    void absoluteRun(unsigned count)
    {
        const int bitsPer = m_h.compression == Compression::Rle4   ? 4
                            : m_h.compression == Compression::Rle8 ? 8
                                                                   : 24;
        const size_t bytes = (size_t(count) * size_t(bitsPer) + 7) / 8;
        const size_t padded = (bytes + 1) & ~size_t(1);
        const size_t have = std::min<size_t>(bytes, size_t(m_end - m_p));
        // Pixels whose bytes are all present; a cut run yields what it holds.
        const int available = int(have * 8 / size_t(bitsPer));
        const int n = std::min({int(count), available, m_h.width - m_x});
        uint32_t *dst = line() + m_x;
        const uint8_t *s = m_p;
        if (bitsPer == 8) {
            for (int i = 0; i < n; ++i)
                dst[i] = m_h.palette[s[i]];
        } else if (bitsPer == 4) {
            for (int i = 0; i < n; ++i)
                dst[i] = m_h.palette[(i & 1) ? (s[i / 2] & 15) : (s[i / 2] >> 4)];
        } else {
            for (int i = 0; i < n; ++i, s += 3)
                dst[i] = 0xFF000000u | (uint32_t(s[2]) << 16) | (uint32_t(s[1]) << 8) | s[0];
        }
        m_x += std::max(n, 0);
        m_p += std::min<size_t>(padded, size_t(m_end - m_p));
    }

    const Header &m_h;
    const uint8_t *m_p;
    const uint8_t *m_end;
    uchar *m_bits;
    size_t m_stride;
    int m_x = 0;
    int m_y = 0;
    bool m_skipped = false;
};

Result<QImage> decodeRle(const Header &h, Bytes bits, DecodeObserver &observer)
{
    auto allocated = allocateImage("BMP", h.width, h.height);
    if (!allocated)
        return allocated.error();
    QImage img = std::move(allocated.value());
    RleDecoder rle(h, img, bits);
    if (!rle.run(observer))
        return makeError("BMP: cancelled");
    if (rle.skipped())
        img.reinterpretAsFormat(QImage::Format_ARGB32);
    return img;
}

Result<QImage> decodeEmbedded(const Header &h, Bytes bits, DecodeObserver &observer)
{
    if (h.imageSize > 0 && h.imageSize < bits.size())
        bits = bits.first(h.imageSize);
    const bool jpeg = h.compression == Compression::Jpeg;
    auto image = jpeg ? decodeJpeg(bits, observer) : decodeQtPlugin(bits, observer);
    if (!image)
        return makeError(std::string("BMP: embedded ") + (jpeg ? "JPEG" : "PNG") + ": " +
                         image.error().message);
    return image;
}

} // namespace

Result<QImage> decodePixels(const Header &h, Bytes bits, DecodeObserver &observer)
{
    if (bits.empty())
        return makeError("BMP: the file ends before its pixel data");
    switch (h.compression) {
    case Compression::Rle4:
    case Compression::Rle8:
    case Compression::Rle24: return decodeRle(h, bits, observer);
    case Compression::Jpeg:
    case Compression::Png: return decodeEmbedded(h, bits, observer);
    default: return decodeRows(h, bits, observer);
    }
}

} // namespace oxlume::imaging::bmp
