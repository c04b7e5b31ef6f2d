#include "imaging/decoders/Tga.h"

#include "imaging/ImageBuffer.h"
#include "imaging/Limits.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace oxlume::imaging {

namespace tga {

namespace {

constexpr size_t kHeaderSize = 18;
constexpr size_t kFooterSize = 26;
constexpr size_t kExtensionSize = 495;
constexpr char kFooterSignature[18] = "TRUEVISION-XFILE.";

enum class Kind { Mapped, TrueColour, Grey };

// What the extension area says the attribute bits are (field 24, "attributes type").
enum class AttributeType {
    Unknown = -1,
    None = 0,
    Undefined = 1,
    Retain = 2,
    Alpha = 3,
    Premultiplied = 4
};

struct Header {
    int idLength = 0;
    int mapType = 0;
    int type = 0;
    int mapFirst = 0;
    int mapLength = 0;
    int mapEntryBits = 0;
    int width = 0;
    int height = 0;
    int depth = 0;
    int alphaBits = 0;
    bool rightToLeft = false;
    bool topDown = false;
    int interleave = 0;
    Kind kind = Kind::TrueColour;
    bool rle = false;
    uint64_t mapOffset = 0;
    uint64_t pixelOffset = 0;
};

std::string num(int64_t v)
{
    return std::to_string(v);
}
Error fail(const std::string &what)
{
    return makeError("TGA: " + what);
}

int entryBytes(int bits)
{
    return (bits + 7) / 8;
}

bool validEntryBits(int bits)
{
    return bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

bool validDepth(Kind kind, int depth)
{
    switch (kind) {
    case Kind::Mapped: return depth == 8 || depth == 16;
    case Kind::TrueColour: return validEntryBits(depth);
    case Kind::Grey: return depth == 8 || depth == 16;
    }
    return false;
}

// Attribute (alpha) bits a pixel of this kind can hold.
int roomForAlpha(const Header &h)
{
    const int bits = h.kind == Kind::Mapped ? h.mapEntryBits : h.depth;
    switch (bits) {
    case 16: return h.kind == Kind::Grey ? 8 : 1;
    case 32: return 8;
    default: return 0;
    }
}

// Every header field, checked against the others and against the data's size. Strict is
// for sniffing: it also refuses what a lenient decode would let pass.
Result<Header> parseHeader(Bytes data, bool strict)
{
    if (data.size() < kHeaderSize)
        return fail("file of " + num(int64_t(data.size())) +
                    " bytes ends inside the 18-byte header");
    ByteReader r(data);
    Header h;
    h.idLength = r.u8();
    h.mapType = r.u8();
    h.type = r.u8();
    h.mapFirst = r.u16le();
    h.mapLength = r.u16le();
    h.mapEntryBits = r.u8();
    r.skip(4); // x and y origin: screen placement, not used for viewing
    h.width = r.u16le();
    h.height = r.u16le();
    h.depth = r.u8();
    const int descriptor = r.u8();
    h.alphaBits = descriptor & 0x0F;
    h.rightToLeft = descriptor & 0x10;
    h.topDown = descriptor & 0x20;
    h.interleave = descriptor >> 6;

    if (h.mapType > 1)
        return fail("colour map type " + num(h.mapType) + " is neither 0 nor 1");
    switch (h.type & ~8) {
    case 1: h.kind = Kind::Mapped; break;
    case 2: h.kind = Kind::TrueColour; break;
    case 3: h.kind = Kind::Grey; break;
    default: return fail("image type " + num(h.type) + " is not 1, 2, 3, 9, 10 or 11");
    }
    h.rle = h.type & 8;
    if (h.kind == Kind::Mapped && (h.mapType != 1 || h.mapLength == 0))
        return fail("colour-mapped image type " + num(h.type) + " has no colour map");
    if (h.mapType == 1 && !validEntryBits(h.mapEntryBits))
        return fail("colour map entry size " + num(h.mapEntryBits) +
                    " is not 15, 16, 24 or 32 bits");
    if (!validDepth(h.kind, h.depth))
        return fail("pixel depth " + num(h.depth) + " is not valid for image type " + num(h.type));
    if (h.interleave != 0)
        return fail("interleaved rows (descriptor " + num(descriptor) + ") are not supported");
    if (strict && h.alphaBits > std::min(8, h.kind == Kind::Mapped ? h.mapEntryBits : h.depth))
        return fail("alpha bit count " + num(h.alphaBits) + " does not fit the pixel depth");
    if (h.width == 0 || h.height == 0)
        return fail("image size " + num(h.width) + " x " + num(h.height) + " is empty");
    if (int64_t(h.width) * h.height > kMaxImagePixels)
        return fail("image of " + num(h.width) + " x " + num(h.height) +
                    " pixels exceeds the limit of " + num(kMaxImagePixels) + " pixels");

    h.mapOffset = kHeaderSize + uint64_t(h.idLength);
    const uint64_t mapBytes =
        h.mapType == 1 ? uint64_t(h.mapLength) * uint64_t(entryBytes(h.mapEntryBits)) : 0;
    h.pixelOffset = h.mapOffset + mapBytes;
    if (h.pixelOffset > data.size())
        return fail("colour map of " + num(int64_t(mapBytes)) + " bytes at offset " +
                    num(int64_t(h.mapOffset)) + " runs past the end of the file (" +
                    num(int64_t(data.size())) + " bytes)");
    if (h.pixelOffset == data.size())
        return fail("file ends before the pixel data");
    // A cut-short file shows the rows it holds, but one that cannot hold even the first row
    // (at the best run-length packing) is no image: refused before the allocation, so that a
    // few hundred bytes cannot claim and clear a picture of hundreds of megabytes.
    const uint64_t pixelBytes = uint64_t(h.depth + 7) / 8;
    const uint64_t firstRow =
        h.rle ? (uint64_t(h.width) + 127) / 128 * (1 + pixelBytes) : uint64_t(h.width) * pixelBytes;
    const uint64_t available = data.size() - h.pixelOffset;
    if (available < firstRow)
        return fail("file ends before the first row of pixel data (" + num(int64_t(firstRow)) +
                    " bytes needed, " + num(int64_t(available)) + " present)");
    return h;
}

// The extension area's attributes type, when the file has a version-2 footer that points to
// a whole extension area.
AttributeType attributeType(Bytes data)
{
    if (data.size() < kHeaderSize + kFooterSize)
        return AttributeType::Unknown;
    const size_t footer = data.size() - kFooterSize;
    if (std::memcmp(data.data() + footer + 8, kFooterSignature, sizeof kFooterSignature) != 0)
        return AttributeType::Unknown;
    ByteReader r(data, footer);
    const uint32_t offset = r.u32le();
    if (offset < kHeaderSize || uint64_t(offset) + kExtensionSize > footer)
        return AttributeType::Unknown;
    ByteReader ext(data, offset);
    if (ext.u16le() != kExtensionSize)
        return AttributeType::Unknown;
    const int type = uint8_t(data[offset + kExtensionSize - 1]);
    return type <= 4 ? AttributeType(type) : AttributeType::Unknown;
}

inline uint32_t expand5(uint32_t v)
{
    return (v * 255 + 15) / 31;
}

// A 15- or 16-bit A1R5G5B5 value as a pixel.
inline uint32_t fromArgb1555(uint32_t v, bool alpha)
{
    const uint32_t a = alpha && !(v & 0x8000) ? 0 : 0xFF000000u;
    return a | expand5((v >> 10) & 31) << 16 | expand5((v >> 5) & 31) << 8 | expand5(v & 31);
}

// One stored colour (map entry or pixel) of the given width as a pixel.
uint32_t readColour(const uint8_t *p, int bits, bool alpha)
{
    switch (bits) {
    case 15:
    case 16: return fromArgb1555(uint32_t(p[0]) | uint32_t(p[1]) << 8, alpha && bits == 16);
    case 24: return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    default:
        return (alpha ? uint32_t(p[3]) << 24 : 0xFF000000u) | uint32_t(p[2]) << 16 |
               uint32_t(p[1]) << 8 | p[0];
    }
}

// Per-pixel converters: a stored pixel of kBytes bytes to 0xAARRGGBB.
struct Lut8 {
    static constexpr size_t kBytes = 1;
    const uint32_t *table;
    uint32_t operator()(const uint8_t *p) const { return table[p[0]]; }
};
struct Lut16 {
    static constexpr size_t kBytes = 2;
    const uint32_t *table;
    uint32_t operator()(const uint8_t *p) const
    {
        return table[uint32_t(p[0]) | uint32_t(p[1]) << 8];
    }
};
struct Bgr24 {
    static constexpr size_t kBytes = 3;
    uint32_t operator()(const uint8_t *p) const
    {
        return 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
};
struct Bgra32 {
    static constexpr size_t kBytes = 4;
    uint32_t alphaOr; // 0xFF000000 when the fourth byte is not alpha
    uint32_t operator()(const uint8_t *p) const
    {
        return (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]) | alphaOr;
    }
};
struct GreyAlpha16 {
    static constexpr size_t kBytes = 2;
    uint32_t alphaOr;
    uint32_t operator()(const uint8_t *p) const
    {
        return (uint32_t(p[1]) << 24 | uint32_t(p[0]) * 0x010101u) | alphaOr;
    }
};

// n stored pixels from src to out.
template<typename Convert>
inline void convertPixels(const Convert &convert, const uint8_t *src, uint32_t *out, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        out[i] = convert(src + i * Convert::kBytes);
}

// 24-bit pixels four at a time from three 32-bit loads (B0 G0 R0 B1 | G1 R1 B2 G2 | R2 B3
// G3 R3) rather than twelve byte loads: the common case, and memory bound otherwise.
inline void convertPixels(const Bgr24 &convert, const uint8_t *src, uint32_t *out, size_t n)
{
    size_t i = 0;
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        for (; i + 4 <= n; i += 4, src += 12) {
            uint32_t w[3];
            std::memcpy(w, src, 12);
            out[i] = 0xFF000000u | w[0];
            out[i + 1] = 0xFF000000u | w[0] >> 24 | w[1] << 8;
            out[i + 2] = 0xFF000000u | w[1] >> 16 | w[2] << 16;
            out[i + 3] = 0xFF000000u | w[2] >> 8;
        }
    }
    for (; i < n; ++i, src += 3)
        out[i] = convert(src);
}

// Writes the decoded rows into the image in display order.
class RowTarget {
public:
    RowTarget(QImage &image, const Header &h, DecodeObserver &observer)
        : m_bits(image.bits())
        , m_stride(image.bytesPerLine())
        , m_h(h)
        , m_progress(observer, h.height)
    {
    }
    uint32_t *row(int y) const
    {
        const int dy = m_h.topDown ? y : m_h.height - 1 - y;
        return reinterpret_cast<uint32_t *>(m_bits + qsizetype(dy) * m_stride);
    }
    // After stored row y is complete; false when the load was cancelled.
    bool done(int y)
    {
        if (m_h.rightToLeft) {
            uint32_t *r = row(y);
            std::reverse(r, r + m_h.width);
        }
        return m_progress.row(y + 1);
    }

private:
    uchar *m_bits;
    qsizetype m_stride;
    const Header &m_h;
    RowProgress m_progress;
};

enum class Outcome { Complete, Truncated, Cancelled };

struct Progress {
    Outcome outcome = Outcome::Complete;
    int rows = 0; // stored rows written, the last one possibly in part
};

template<typename Convert>
Progress decodeRaw(const Convert &convert, Bytes pixels, RowTarget &target, int width, int height)
{
    const auto *src = reinterpret_cast<const uint8_t *>(pixels.data());
    const size_t rowBytes = size_t(width) * Convert::kBytes;
    size_t left = pixels.size();
    for (int y = 0; y < height; ++y) {
        uint32_t *out = target.row(y);
        if (left < rowBytes) {
            const size_t whole = left / Convert::kBytes;
            convertPixels(convert, src, out, whole);
            std::fill(out + whole, out + width, 0u);
            target.done(y);
            return {Outcome::Truncated, y + 1};
        }
        convertPixels(convert, src, out, size_t(width));
        src += rowBytes;
        left -= rowBytes;
        if (!target.done(y))
            return {Outcome::Cancelled, y + 1};
    }
    return {Outcome::Complete, height};
}

// Run-length packets: a header byte whose top bit marks a run of (low 7 bits + 1) copies of
// the one pixel that follows, or otherwise that many literal pixels. Packets may go on
// across rows, as many writers let them.
template<typename Convert>
Progress decodeRle(const Convert &convert, Bytes pixels, RowTarget &target, int width, int height)
{
    constexpr size_t kBytes = Convert::kBytes;
    const auto *src = reinterpret_cast<const uint8_t *>(pixels.data());
    const uint8_t *const end = src + pixels.size();
    int packetLeft = 0;
    bool repeat = false;
    uint32_t value = 0;
    for (int y = 0; y < height; ++y) {
        uint32_t *out = target.row(y);
        int x = 0;
        while (x < width) {
            if (packetLeft == 0) {
                if (src == end || (src[0] & 0x80 && size_t(end - src) < 1 + kBytes))
                    break;
                const uint8_t header = *src++;
                packetLeft = (header & 0x7F) + 1;
                repeat = header & 0x80;
                if (repeat) {
                    value = convert(src);
                    src += kBytes;
                }
            }
            const int n = std::min(packetLeft, width - x);
            if (repeat) {
                std::fill(out + x, out + x + n, value);
            } else {
                const int have = int(std::min<size_t>(size_t(n), size_t(end - src) / kBytes));
                convertPixels(convert, src, out + x, size_t(have));
                src += size_t(have) * kBytes;
                if (have < n) {
                    x += have;
                    break;
                }
            }
            x += n;
            packetLeft -= n;
        }
        if (x < width) {
            std::fill(out + x, out + width, 0u);
            target.done(y);
            return {Outcome::Truncated, y + 1};
        }
        if (!target.done(y))
            return {Outcome::Cancelled, y + 1};
    }
    return {Outcome::Complete, height};
}

template<typename Convert>
Progress decodeWith(const Convert &convert, const Header &h, Bytes pixels, RowTarget &target)
{
    return h.rle ? decodeRle(convert, pixels, target, h.width, h.height)
                 : decodeRaw(convert, pixels, target, h.width, h.height);
}

// The colour map as pixels, indexed by the stored index (entries before the map's first
// index and past its end are opaque black).
std::vector<uint32_t> colourTable(const Header &h, Bytes data, bool alpha)
{
    std::vector<uint32_t> table(h.depth == 8 ? 256 : 65536, 0xFF000000u);
    const auto *map = reinterpret_cast<const uint8_t *>(data.data()) + h.mapOffset;
    const size_t step = size_t(entryBytes(h.mapEntryBits));
    for (int i = 0; i < h.mapLength; ++i) {
        const size_t index = size_t(h.mapFirst) + size_t(i);
        if (index >= table.size())
            break;
        table[index] = readColour(map + size_t(i) * step, h.mapEntryBits, alpha);
    }
    return table;
}

// Whether some colour map entry is not fully transparent: a map whose every entry has a zero
// alpha (or attribute bit) leaves the bits unused rather than hiding the whole picture.
bool mapHasAlpha(const Header &h, Bytes data)
{
    const auto *map = reinterpret_cast<const uint8_t *>(data.data()) + h.mapOffset;
    const size_t step = size_t(entryBytes(h.mapEntryBits));
    for (int i = 0; i < h.mapLength; ++i)
        if (readColour(map + size_t(i) * step, h.mapEntryBits, true) >> 24 != 0)
            return true;
    return false;
}

void unpremultiply(QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            row[x] = qUnpremultiply(row[x]);
    }
}

} // namespace

} // namespace tga

using namespace tga;

bool sniffTga(Bytes data)
{
    return parseHeader(data, true).ok();
}

bool hasTgaExtension(std::string_view fileName)
{
    if (fileName.size() < 4 || fileName[fileName.size() - 4] != '.')
        return false;
    std::string ext(fileName.substr(fileName.size() - 3));
    for (char &c : ext)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext == "tga" || ext == "icb" || ext == "vda" || ext == "vst";
}

Result<ImageInfo> readTgaInfo(Bytes data)
{
    auto header = parseHeader(data, false);
    OX_TRY(header);
    return ImageInfo{"TGA", header->width, header->height, header->depth};
}

Result<QImage> decodeTga(Bytes data, DecodeObserver &observer)
{
    auto parsed = parseHeader(data, false);
    OX_TRY(parsed);
    const Header &h = parsed.value();

    // The attribute bits are alpha when the header counts them or the extension area says
    // so. An extension area saying "no alpha" does not overrule the header: writers fill
    // that field in carelessly, and other readers show such files with their alpha. Colour
    // map entries carry their alpha whatever the header counts (writers leave it at 0 for
    // the indices), unless the extension area says the bits are no alpha.
    const AttributeType attributes = attributeType(data);
    const bool notAlpha = attributes == AttributeType::None ||
                          attributes == AttributeType::Undefined ||
                          attributes == AttributeType::Retain;
    const bool alpha =
        roomForAlpha(h) > 0 && (h.alphaBits > 0 || attributes == AttributeType::Alpha ||
                                attributes == AttributeType::Premultiplied ||
                                (h.kind == Kind::Mapped && !notAlpha && mapHasAlpha(h, data)));
    auto allocated = allocateImage("TGA", h.width, h.height,
                                   alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    OX_TRY(allocated);
    QImage image = std::move(allocated.value());

    const Bytes pixels = data.subspan(size_t(h.pixelOffset));
    RowTarget target(image, h, observer);
    Progress progress;
    const uint32_t alphaOr = alpha ? 0 : 0xFF000000u;
    if (h.kind == Kind::Mapped) {
        const std::vector<uint32_t> table = colourTable(h, data, alpha);
        progress = h.depth == 8 ? decodeWith(Lut8{table.data()}, h, pixels, target)
                                : decodeWith(Lut16{table.data()}, h, pixels, target);
    } else if (h.kind == Kind::Grey && h.depth == 8) {
        std::array<uint32_t, 256> table;
        for (uint32_t i = 0; i < 256; ++i)
            table[i] = 0xFF000000u | i * 0x010101u;
        progress = decodeWith(Lut8{table.data()}, h, pixels, target);
    } else if (h.kind == Kind::Grey) {
        progress = decodeWith(GreyAlpha16{alphaOr}, h, pixels, target);
    } else if (h.depth == 24) {
        progress = decodeWith(Bgr24{}, h, pixels, target);
    } else if (h.depth == 32) {
        progress = decodeWith(Bgra32{alphaOr}, h, pixels, target);
    } else {
        std::vector<uint32_t> table(65536);
        for (uint32_t v = 0; v < 65536; ++v)
            table[v] = fromArgb1555(v, alpha);
        progress = decodeWith(Lut16{table.data()}, h, pixels, target);
    }

    if (progress.outcome == Outcome::Cancelled)
        return fail("cancelled");
    if (progress.outcome == Outcome::Truncated) {
        // Show what arrived; the rows the data never reached stay transparent.
        for (int y = progress.rows; y < h.height; ++y)
            std::fill_n(target.row(y), h.width, 0u);
        if (!alpha)
            image.reinterpretAsFormat(QImage::Format_ARGB32);
    }
    if (alpha && attributes == AttributeType::Premultiplied)
        unpremultiply(image);
    return image;
}

} // namespace oxlume::imaging
