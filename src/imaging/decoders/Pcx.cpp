#include "imaging/decoders/Pcx.h"

#include "imaging/ImageBuffer.h"
#include "imaging/Limits.h"
#include "imaging/decoders/Failure.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace oxlume::imaging {

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kVgaPaletteSize = 769; // 0x0C, then 256 RGB triples, at the end of the file
constexpr uint32_t kDcxMagic = 0x3ADE68B1;
constexpr uint32_t kUndefined = 0x00000000; // transparent black: data the file does not hold

struct Header {
    int version = 0;
    bool rle = false;
    int bpp = 0; // bits per pixel in one plane
    int planes = 0;
    int bytesPerLine = 0; // per plane
    int width = 0;
    int height = 0;
    Bytes egaPalette; // the 48 header bytes
};

bool knownVersion(int v)
{
    return v == 0 || v == 2 || v == 3 || v == 4 || v == 5;
}

// The pixel layouts PCX writers produce: bits per plane x planes.
bool knownLayout(int bpp, int planes)
{
    if (bpp == 1)
        return planes >= 1 && planes <= 4;
    if (bpp == 8)
        return planes == 1 || planes == 3 || planes == 4;
    return (bpp == 2 || bpp == 4) && planes == 1;
}

Result<Header> parseHeader(Bytes data)
{
    if (data.size() < kHeaderSize)
        return makeError("PCX: header cut short at " + num(int64_t(data.size())) + " bytes");
    ByteReader r(data);
    Header h;
    if (r.u8() != 0x0A)
        return makeError("PCX: no 0x0A signature");
    h.version = r.u8();
    const int encoding = r.u8();
    h.bpp = r.u8();
    const int xMin = r.u16le(), yMin = r.u16le(), xMax = r.u16le(), yMax = r.u16le();
    r.skip(4); // resolution
    h.egaPalette = r.take(48);
    r.skip(1);
    h.planes = r.u8();
    h.bytesPerLine = r.u16le();
    if (!knownVersion(h.version))
        return makeError("PCX: version " + num(h.version) + " is not 0, 2, 3, 4 or 5");
    if (encoding > 1)
        return makeError("PCX: encoding " + num(encoding) + " is not 0 or 1");
    h.rle = encoding == 1;
    if (xMax < xMin)
        return makeError("PCX: xMax " + num(xMax) + " is less than xMin " + num(xMin));
    if (yMax < yMin)
        return makeError("PCX: yMax " + num(yMax) + " is less than yMin " + num(yMin));
    const int64_t width = int64_t(xMax) - xMin + 1, height = int64_t(yMax) - yMin + 1;
    if (width > kMaxImageSide || height > kMaxImageSide || width * height > kMaxImagePixels)
        return makeError("PCX: " + num(width) + " x " + num(height) +
                         " pixels exceed the limit of " + num(kMaxImageSide) + " per side or " +
                         num(kMaxImagePixels) + " in all");
    if (!knownLayout(h.bpp, h.planes))
        return makeError("PCX: " + num(h.bpp) + " bits per pixel in " + num(h.planes) +
                         " planes is not supported");
    const int64_t needed = (width * h.bpp + 7) / 8;
    if (h.bytesPerLine < needed)
        return makeError("PCX: bytesPerLine " + num(h.bytesPerLine) + " is less than the " +
                         num(needed) + " the width needs");
    h.width = int(width);
    h.height = int(height);
    return h;
}

// Reads scanlines of the pixel stream. Runs may continue from one line into the next.
class LineReader {
public:
    LineReader(Bytes data, bool rle)
        : m_p(reinterpret_cast<const uint8_t *>(data.data()))
        , m_end(m_p + data.size())
        , m_rle(rle)
    {
    }

    // Fills dst with n bytes; returns how many the data held (the rest is left as it was).
    size_t read(uint8_t *dst, size_t n)
    {
        if (!m_rle) {
            const size_t k = std::min(n, size_t(m_end - m_p));
            std::memcpy(dst, m_p, k);
            m_p += k;
            return k;
        }
        size_t i = 0;
        while (i < n) {
            if (m_run > 0) {
                const size_t k = std::min(m_run, n - i);
                std::memset(dst + i, m_value, k);
                i += k;
                m_run -= k;
                continue;
            }
            // Literal bytes, most of a photograph's, in a loop of their own.
            const size_t room = std::min(n - i, size_t(m_end - m_p));
            size_t k = 0;
            while (k < room && (m_p[k] & 0xC0) != 0xC0) {
                dst[i + k] = m_p[k];
                ++k;
            }
            i += k;
            m_p += k;
            if (m_p == m_end)
                break;
            if (k == room)
                continue; // the line is full
            if (m_end - m_p < 2) {
                m_p = m_end;
                break; // a run count with no value: the file was cut
            }
            m_run = m_p[0] & 0x3F;
            m_value = m_p[1];
            m_p += 2;
        }
        return i;
    }

private:
    const uint8_t *m_p;
    const uint8_t *m_end;
    bool m_rle;
    size_t m_run = 0;
    uint8_t m_value = 0;
};

uint32_t rgb(const uint8_t *p)
{
    return 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

// The standard EGA colours, for files that carry no palette of their own.
constexpr std::array<uint32_t, 16> kEgaDefault = {
    0xFF000000, 0xFF0000AA, 0xFF00AA00, 0xFF00AAAA, 0xFFAA0000, 0xFFAA00AA, 0xFFAA5500, 0xFFAAAAAA,
    0xFF555555, 0xFF5555FF, 0xFF55FF55, 0xFF55FFFF, 0xFFFF5555, 0xFFFF55FF, 0xFFFFFF55, 0xFFFFFFFF};
constexpr std::array<uint32_t, 4> kCgaDefault = {0xFF000000, 0xFF55FFFF, 0xFFFF55FF, 0xFFFFFFFF};

std::array<uint32_t, 256> buildPalette(const Header &h, Bytes data)
{
    std::array<uint32_t, 256> pal;
    pal.fill(0xFF000000u);
    const auto *ega = reinterpret_cast<const uint8_t *>(h.egaPalette.data());
    const bool egaEmpty = std::all_of(ega, ega + 48, [](uint8_t b) { return b == 0; });
    if (h.bpp == 1 && h.planes == 1) {
        // Monochrome is black and white whatever the header palette says.
        pal[1] = 0xFFFFFFFF;
    } else if (h.bpp == 8 && h.planes == 1) {
        const auto *end = reinterpret_cast<const uint8_t *>(data.data()) + data.size();
        const bool vga =
            data.size() >= kHeaderSize + kVgaPaletteSize && end[-int(kVgaPaletteSize)] == 0x0C;
        for (int i = 0; i < 256; ++i)
            pal[size_t(i)] = vga ? rgb(end - kVgaPaletteSize + 1 + 3 * i)
                                 : 0xFF000000u | uint32_t(i) * 0x010101u;
    } else if (h.bpp == 2 && egaEmpty) {
        std::copy(kCgaDefault.begin(), kCgaDefault.end(), pal.begin());
    } else if (h.version == 3 || egaEmpty) {
        // Version 3 says "no palette information": the default EGA colours apply.
        std::copy(kEgaDefault.begin(), kEgaDefault.end(), pal.begin());
    } else {
        for (int i = 0; i < 16; ++i)
            pal[size_t(i)] = rgb(ega + 3 * i);
    }
    return pal;
}

struct RowContext {
    const Header &h;
    const std::array<uint32_t, 256> &pal;
};

// 1-bit planes; plane k gives bit k of the palette index.
void rowPlanar(const uint8_t *src, uint32_t *dst, const RowContext &c)
{
    const int planes = c.h.planes, bpl = c.h.bytesPerLine;
    for (int x = 0; x < c.h.width; ++x) {
        unsigned index = 0;
        const int shift = 7 - (x & 7);
        for (int p = 0; p < planes; ++p)
            index |= ((src[p * bpl + (x >> 3)] >> shift) & 1u) << p;
        dst[x] = c.pal[index];
    }
}

void rowPacked(const uint8_t *src, uint32_t *dst, const RowContext &c)
{
    const int bpp = c.h.bpp;
    const unsigned mask = (1u << bpp) - 1;
    const int perByte = 8 / bpp;
    for (int x = 0; x < c.h.width; ++x) {
        const int shift = 8 - bpp * (x % perByte + 1);
        dst[x] = c.pal[(src[x / perByte] >> shift) & mask];
    }
}

void row8(const uint8_t *src, uint32_t *dst, const RowContext &c)
{
    for (int x = 0; x < c.h.width; ++x)
        dst[x] = c.pal[src[x]];
}

// 8-bit planes: red, green, blue, and alpha when there is a fourth.
void rowRgb(const uint8_t *src, uint32_t *dst, const RowContext &c)
{
    const size_t bpl = size_t(c.h.bytesPerLine);
    const uint8_t *r = src, *g = src + bpl, *b = src + 2 * bpl;
    if (c.h.planes == 4) {
        const uint8_t *a = src + 3 * bpl;
        for (int x = 0; x < c.h.width; ++x)
            dst[x] = (uint32_t(a[x]) << 24) | (uint32_t(r[x]) << 16) | (uint32_t(g[x]) << 8) | b[x];
        return;
    }
    for (int x = 0; x < c.h.width; ++x)
        dst[x] = 0xFF000000u | (uint32_t(r[x]) << 16) | (uint32_t(g[x]) << 8) | b[x];
}

using RowFn = void (*)(const uint8_t *, uint32_t *, const RowContext &);

RowFn rowFunction(const Header &h)
{
    if (h.bpp == 8)
        return h.planes == 1 ? row8 : rowRgb;
    if (h.bpp == 1 && h.planes > 1)
        return rowPlanar;
    return rowPacked;
}

// An alpha plane that is zero everywhere was not meant as transparency.
void settleAlpha(QImage &img, int rows)
{
    for (int y = 0; y < rows; ++y) {
        const auto *p = reinterpret_cast<const uint32_t *>(img.constScanLine(y));
        for (int x = 0; x < img.width(); ++x)
            if (p[x] >> 24) {
                img.reinterpretAsFormat(QImage::Format_ARGB32);
                return;
            }
    }
    for (int y = 0; y < rows; ++y) {
        auto *p = reinterpret_cast<uint32_t *>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            p[x] |= 0xFF000000u;
    }
}

Result<QImage> decodeRows(const Header &h, Bytes data, DecodeObserver &observer)
{
    auto allocated = allocateImage("PCX", h.width, h.height);
    if (!allocated)
        return allocated.error();
    QImage img = std::move(allocated.value());
    const auto pal = buildPalette(h, data);
    const RowContext ctx{h, pal};
    const RowFn fn = rowFunction(h);

    // The VGA palette at the end is not pixel data, even when the pixels are cut short.
    Bytes pixels = data.subspan(kHeaderSize);
    const bool vga = h.bpp == 8 && h.planes == 1 && pixels.size() >= kVgaPaletteSize &&
                     uint8_t(data[data.size() - kVgaPaletteSize]) == 0x0C;
    if (vga)
        pixels = pixels.first(pixels.size() - kVgaPaletteSize);
    LineReader reader(pixels, h.rle);
    const size_t lineBytes = size_t(h.planes) * size_t(h.bytesPerLine);
    std::vector<uint8_t> line(lineBytes);
    RowProgress progress(observer, h.height);
    int y = 0;
    for (; y < h.height; ++y) {
        const size_t got = reader.read(line.data(), lineBytes);
        if (got == 0)
            break;
        std::fill(line.begin() + ptrdiff_t(got), line.end(), 0); // a cut line's missing bytes are 0
        fn(line.data(), reinterpret_cast<uint32_t *>(img.scanLine(y)), ctx);
        if (!progress.row(y + 1))
            return makeError("PCX: cancelled");
    }
    if (h.bpp == 8 && h.planes == 4)
        settleAlpha(img, y);
    if (y < h.height) {
        for (int rest = y; rest < h.height; ++rest)
            std::fill_n(reinterpret_cast<uint32_t *>(img.scanLine(rest)), h.width, kUndefined);
        img.reinterpretAsFormat(QImage::Format_ARGB32);
    }
    progress.row(h.height);
    return img;
}

// A DCX container: the first page's offset, and where it ends (the next page, or the file end).
bool isDcx(Bytes data)
{
    return data.size() >= 8 && ByteReader(data).u32le() == kDcxMagic;
}

Result<Bytes> firstDcxPage(Bytes data)
{
    ByteReader r(data, 4);
    const uint32_t first = r.u32le();
    const uint32_t next = r.u32le();
    if (first < 8 || first >= data.size())
        return makeError("DCX: first page offset " + num(first) + " is outside the file (" +
                         num(int64_t(data.size())) + " bytes)");
    const uint64_t end = next > first && next <= data.size() ? next : data.size();
    return data.subspan(first, size_t(end - first));
}

Result<Bytes> pcxOf(Bytes data)
{
    if (isDcx(data))
        return firstDcxPage(data);
    return data;
}

bool sniffPlainPcx(Bytes data)
{
    if (data.size() < kHeaderSize)
        return false;
    // Sizes are left to the header check, so that a damaged size gets a clear error rather
    // than "unknown format"; these five fields alone rule out text and most binary files.
    ByteReader r(data);
    const int magic = r.u8(), version = r.u8(), encoding = r.u8(), bpp = r.u8();
    r.seek(65);
    const int planes = r.u8();
    return magic == 0x0A && knownVersion(version) && encoding <= 1 && knownLayout(bpp, planes);
}

} // namespace

bool sniffPcx(Bytes data)
{
    if (isDcx(data)) {
        auto page = firstDcxPage(data);
        return page && sniffPlainPcx(page.value());
    }
    return sniffPlainPcx(data);
}

Result<ImageInfo> readPcxInfo(Bytes data)
{
    auto pcx = pcxOf(data);
    if (!pcx)
        return pcx.error();
    auto h = parseHeader(pcx.value());
    if (!h)
        return h.error();
    return ImageInfo{"PCX", h->width, h->height, h->bpp * h->planes};
}

Result<QImage> decodePcx(Bytes data, DecodeObserver &observer)
{
    auto pcx = pcxOf(data);
    if (!pcx)
        return pcx.error();
    auto h = parseHeader(pcx.value());
    if (!h)
        return h.error();
    return decodeRows(h.value(), pcx.value(), observer);
}

} // namespace oxlume::imaging
