#include "imaging/decoders/Bmp.h"

#include "imaging/ColourProfile.h"
#include "imaging/Limits.h"
#include "imaging/decoders/BmpInternal.h"
#include "imaging/decoders/Failure.h"

#include <algorithm>
#include <bit>
#include <string>

namespace oxlume::imaging {

namespace bmp {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kArrayHeaderSize = 14; // OS/2 bitmap array: "BA" entry before the "BM"

static bool hasMagic(Bytes data, size_t at, char a, char b)
{
    return data.size() >= at + 2 && char(data[at]) == a && char(data[at + 1]) == b;
}

// Windows 40/52/56/108/124; OS/2 1.x 12; OS/2 2.x any size from 16 to 64.
static bool knownInfoSize(uint32_t size)
{
    return size == 12 || (size >= 16 && size <= 64) || size == 108 || size == 124;
}

namespace {

// The info header's fields at fixed offsets; fields a short header leaves out read as 0.
class InfoFields {
public:
    InfoFields(Bytes info)
        : m_info(info)
    {
    }
    uint32_t u32(size_t at) const
    {
        return at + 4 <= m_info.size() ? ByteReader(m_info, at).u32le() : 0;
    }
    uint16_t u16(size_t at) const
    {
        return at + 2 <= m_info.size() ? ByteReader(m_info, at).u16le() : 0;
    }

private:
    Bytes m_info;
};

Result<Compression> compressionOf(uint32_t raw, int bpp, bool os2)
{
    switch (raw) {
    case 0: return Compression::Rgb;
    case 1: return Compression::Rle8;
    case 2: return Compression::Rle4;
    case 3: return os2 ? Compression::Huffman : Compression::BitFields;
    case 4: return os2 ? Compression::Rle24 : Compression::Jpeg;
    case 5: return Compression::Png;
    case 6: return Compression::BitFields; // alpha bit fields: four masks
    default: break;
    }
    return makeError("BMP: compression " + num(raw) + " with " + num(bpp) +
                     " bits per pixel is not supported");
}

Result<void> checkDepth(const Header &h)
{
    const int b = h.bpp;
    bool ok = false;
    switch (h.compression) {
    case Compression::Rgb:
        ok = b == 1 || b == 2 || b == 4 || b == 8 || b == 16 || b == 24 || b == 32;
        break;
    case Compression::Rle8: ok = b == 8; break;
    case Compression::Rle4: ok = b == 4; break;
    case Compression::Rle24: ok = b == 24; break;
    case Compression::BitFields: ok = b == 16 || b == 32; break;
    case Compression::Jpeg:
    case Compression::Png: ok = true; break;
    case Compression::Huffman:
        return makeError(
            "BMP: Huffman 1D compression (compression 3 at 1 bit per pixel) is not supported");
    }
    if (!ok)
        return makeError("BMP: bits per pixel " + num(b) + " is not valid for compression " +
                         num(h.rawCompression));
    return {};
}

Result<void> checkSize(int64_t width, int64_t height)
{
    if (width <= 0)
        return makeError("BMP: width " + num(width) + " is not positive");
    if (height == 0)
        return makeError("BMP: height 0 is empty");
    const int64_t rows = height < 0 ? -height : height;
    if (width > kMaxImageSide)
        return makeError("BMP: width " + num(width) + " exceeds the limit of " +
                         num(kMaxImageSide));
    if (rows > kMaxImageSide)
        return makeError("BMP: height " + num(height) + " exceeds the limit of " +
                         num(kMaxImageSide));
    if (width * rows > kMaxImagePixels)
        return makeError("BMP: " + num(width) + " x " + num(rows) + " pixels exceed the limit of " +
                         num(kMaxImagePixels));
    return {};
}

void setDefaultMasks(Header &h)
{
    if (h.bpp == 16) {
        h.red = Channel::fromMask(0x7C00);
        h.green = Channel::fromMask(0x03E0);
        h.blue = Channel::fromMask(0x001F);
    } else {
        h.red = Channel::fromMask(0x00FF0000);
        h.green = Channel::fromMask(0x0000FF00);
        h.blue = Channel::fromMask(0x000000FF);
    }
}

constexpr uint64_t kNoLimit = ~uint64_t(0);

// Reads the palette that starts at offset, as far as the file and the pixel data (when
// limitOffset says where they start) allow.
void readPalette(Header &h, Bytes data, uint64_t offset, int entrySize, uint64_t declared,
                 uint64_t limitOffset)
{
    h.palette.fill(0xFF000000u);
    if (h.bpp > 8)
        return; // a palette beside true-colour pixels is only a display hint
    uint64_t count = std::min<uint64_t>(declared, uint64_t(1) << h.bpp); // oversized: clamp
    if (limitOffset != kNoLimit)
        count = limitOffset > offset
                    ? std::min<uint64_t>(count, (limitOffset - offset) / uint64_t(entrySize))
                    : 0;
    if (offset < data.size())
        count = std::min<uint64_t>(count, (data.size() - offset) / uint64_t(entrySize));
    else
        count = 0;
    ByteReader r(data, size_t(offset));
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t b = r.u8(), g = r.u8(), red = r.u8();
        if (entrySize == 4)
            r.u8();
        h.palette[size_t(i)] = 0xFF000000u | (red << 16) | (g << 8) | b;
    }
    h.paletteEntries = int(count);
}

} // namespace

Channel Channel::fromMask(uint32_t mask)
{
    Channel c;
    c.mask = mask;
    if (mask == 0)
        return c;
    c.shift = std::countr_zero(mask);
    c.max = mask >> c.shift;
    c.plain8 = c.max == 0xFF;
    return c;
}

namespace {

// Size, depth and compression from the info header.
Result<void> readGeometry(Header &h, const InfoFields &f, uint32_t infoSize)
{
    int64_t width, height;
    int planes;
    if (infoSize == 12) {
        width = f.u16(4);
        height = f.u16(6);
        planes = f.u16(8);
        h.bpp = f.u16(10);
    } else {
        width = int32_t(f.u32(4));
        height = int32_t(f.u32(8));
        planes = f.u16(12);
        h.bpp = f.u16(14);
        h.rawCompression = f.u32(16);
        h.imageSize = f.u32(20);
    }
    OX_TRY(checkSize(width, height));
    if (planes != 1)
        return makeError("BMP: planes " + num(planes) + " is not 1");
    h.width = int(width);
    h.topDown = height < 0;
    h.height = int(height < 0 ? -height : height);

    // OS/2 2.x reuses compression 3 and 4 for Huffman and RLE24; a 40-byte OS/2 header
    // looks like a Windows one, so the depth decides.
    const bool os2 =
        (infoSize >= 16 && infoSize <= 64 && infoSize != 40 && infoSize != 52 && infoSize != 56) ||
        (infoSize == 40 &&
         ((h.rawCompression == 3 && h.bpp == 1) || (h.rawCompression == 4 && h.bpp == 24)));
    auto compression = compressionOf(h.rawCompression, h.bpp, os2);
    if (!compression)
        return compression.error();
    h.compression = compression.value();
    OX_TRY(checkDepth(h));
    return {};
}

// The channel masks: in the header from version 2 on, else right after it (paletteOffset
// then moves past them).
Result<void> readMasks(Header &h, const InfoFields &f, uint32_t infoSize, Bytes data,
                       uint64_t &paletteOffset)
{
    setDefaultMasks(h);
    if (h.compression == Compression::BitFields) {
        const bool withAlpha = h.rawCompression == 6;
        if (infoSize >= 52) {
            h.red = Channel::fromMask(f.u32(40));
            h.green = Channel::fromMask(f.u32(44));
            h.blue = Channel::fromMask(f.u32(48));
            if (infoSize >= 56)
                h.alpha = Channel::fromMask(f.u32(52));
        } else {
            ByteReader m(data, size_t(paletteOffset));
            h.red = Channel::fromMask(m.u32le());
            h.green = Channel::fromMask(m.u32le());
            h.blue = Channel::fromMask(m.u32le());
            if (withAlpha)
                h.alpha = Channel::fromMask(m.u32le());
            if (m.failed())
                return makeError("BMP: bit-field masks cut short at " + num(int64_t(data.size())) +
                                 " bytes");
            paletteOffset = m.position();
        }
    } else if (h.compression == Compression::Rgb && h.bpp == 32 && infoSize >= 56) {
        // Version 4 and 5 headers may declare an alpha channel for plain 32-bit pixels.
        h.alpha = Channel::fromMask(f.u32(52));
    }
    return {};
}

} // namespace

Result<Header> parseHeader(Bytes data, Layout layout)
{
    const bool fileHeader = layout == Layout::File;
    size_t infoOffset = 0;
    uint64_t fileOffBits = 0;
    if (fileHeader) {
        const size_t base = hasMagic(data, 0, 'B', 'A') ? kArrayHeaderSize : 0;
        if (!hasMagic(data, base, 'B', 'M'))
            return makeError("BMP: no BM signature");
        ByteReader r(data, base + 10);
        fileOffBits = r.u32le();
        if (r.failed())
            return makeError("BMP: file header cut short at " + num(int64_t(data.size())) +
                             " bytes");
        infoOffset = base + kFileHeaderSize;
    }
    ByteReader r(data, infoOffset);
    const uint32_t infoSize = r.u32le();
    if (r.failed())
        return makeError("BMP: info header missing (file has " + num(int64_t(data.size())) +
                         " bytes)");
    if (!knownInfoSize(infoSize))
        return makeError("BMP: info header size " + num(infoSize) + " is not a known size");
    if (!r.has(infoSize - 4))
        return makeError("BMP: info header of " + num(infoSize) + " bytes cut short at " +
                         num(int64_t(data.size())) + " bytes");
    const InfoFields f(data.subspan(infoOffset, infoSize));

    Header h;
    OX_TRY(readGeometry(h, f, infoSize));
    // Version 5 headers name their colour space: sRGB or the system's (nothing to do), a
    // linked profile file (never opened: a file should not make us read another), or an
    // embedded profile at an offset from the info header.
    constexpr uint32_t kEmbedded = 0x4D424544u; // 'MBED'
    if (infoSize == 124 && f.u32(56) == kEmbedded) {
        const uint64_t at = uint64_t(infoOffset) + f.u32(112);
        if (at < data.size())
            h.profile =
                data.subspan(size_t(at), size_t(std::min<uint64_t>(f.u32(116), data.size() - at)));
    }
    uint64_t paletteOffset = uint64_t(infoOffset) + infoSize;
    OX_TRY(readMasks(h, f, infoSize, data, paletteOffset));

    const int entrySize = infoSize == 12 ? 3 : 4;
    uint64_t declared = infoSize == 12 ? 0 : f.u32(32);
    if (declared == 0 && h.bpp <= 8)
        declared = uint64_t(1) << h.bpp;
    const uint64_t derivedBits = paletteOffset + declared * uint64_t(entrySize);
    // Trust the file header's offset when it points past the headers; some writers leave
    // it 0 or bogus, then the pixels follow the palette.
    const bool offBitsSound = fileHeader && fileOffBits >= paletteOffset;
    h.bitsOffset = offBitsSound ? fileOffBits : derivedBits;
    readPalette(h, data, paletteOffset, entrySize, declared, offBitsSound ? fileOffBits : kNoLimit);
    if (layout != Layout::HeaderOnly && h.bitsOffset >= data.size())
        return makeError("BMP: pixel data offset " + num(int64_t(h.bitsOffset)) +
                         " is at or past the end of the file (" + num(int64_t(data.size())) +
                         " bytes)");
    return h;
}

} // namespace bmp

namespace {

// "BM", or an OS/2 bitmap array whose first entry is a "BM" file, then an info header.
bool sniffFile(Bytes data)
{
    const size_t base = bmp::hasMagic(data, 0, 'B', 'A') ? bmp::kArrayHeaderSize : 0;
    if (!bmp::hasMagic(data, base, 'B', 'M'))
        return false;
    // Any plausible info header size: an unknown one then gets a clear error.
    ByteReader r(data, base + bmp::kFileHeaderSize);
    const uint32_t size = r.u32le();
    return !r.failed() && size >= 12 && size <= 1024;
}

// A packed DIB has no signature; accept only a Windows info header with sane fields.
bool sniffDib(Bytes data)
{
    ByteReader r(data);
    const uint32_t size = r.u32le();
    const int32_t width = r.i32le();
    const int32_t height = r.i32le();
    const uint16_t planes = r.u16le();
    const uint16_t bpp = r.u16le();
    const uint32_t compression = r.u32le();
    if (r.failed() || !(size == 40 || size == 52 || size == 56 || size == 108 || size == 124))
        return false;
    const bool depthOk = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    return planes == 1 && depthOk && compression <= 6 && width > 0 && width <= kMaxImageSide &&
           height != 0 && height >= -kMaxImageSide && height <= kMaxImageSide;
}

bmp::Layout layoutOf(Bytes data)
{
    const bool signed_ = bmp::hasMagic(data, 0, 'B', 'M') || bmp::hasMagic(data, 0, 'B', 'A');
    return signed_ ? bmp::Layout::File : bmp::Layout::PackedDib;
}

Result<QImage> decodeLaidOut(Bytes data, bmp::Layout layout, DecodeObserver &observer)
{
    auto header = bmp::parseHeader(data, layout);
    if (!header)
        return header.error();
    auto image =
        bmp::decodePixels(header.value(), data.subspan(size_t(header->bitsOffset)), observer);
    if (image && !header->profile.empty())
        convertToSrgb(image.value(), header->profile, PixelModel::Rgb, "BMP");
    return image;
}

} // namespace

bool sniffBmp(Bytes data)
{
    return sniffFile(data) || sniffDib(data);
}

Result<ImageInfo> readBmpInfo(Bytes data)
{
    auto header = bmp::parseHeader(data, layoutOf(data));
    if (!header)
        return header.error();
    return ImageInfo{"BMP", header->width, header->height, header->bpp};
}

Result<QImage> decodeBmp(Bytes data, DecodeObserver &observer)
{
    return decodeLaidOut(data, layoutOf(data), observer);
}

Result<QImage> decodeDib(Bytes dib, DecodeObserver &observer)
{
    return decodeLaidOut(dib, bmp::Layout::PackedDib, observer);
}

Result<QImage> decodeDib(Bytes header, Bytes bits, DecodeObserver &observer)
{
    auto parsed = bmp::parseHeader(header, bmp::Layout::HeaderOnly);
    if (!parsed)
        return parsed.error();
    return bmp::decodePixels(parsed.value(), bits, observer);
}

} // namespace oxlume::imaging
