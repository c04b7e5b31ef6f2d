#include "imaging/decoders/Psd.h"

#include "imaging/ImageBuffer.h"
#include "imaging/Limits.h"
#include "imaging/decoders/Jpeg.h"
#include "imaging/decoders/PsdInternal.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// Reads the merged (composite) image that PSD and PSB files keep after their layers. The
// layers themselves are skipped by their section lengths; the composite is what every
// writer (Photoshop, GIMP, Krita, ImageMagick) stores for readers that do not composite.

namespace oxlume::imaging {

namespace psd {

namespace {

bool knownMode(uint16_t m)
{
    return m == 0 || m == 1 || m == 2 || m == 3 || m == 4 || m == 7 || m == 8 || m == 9;
}

// Colour channels a mode needs before any alpha; multichannel uses what it has.
int colourChannels(ColorMode mode, int channels)
{
    switch (mode) {
    case ColorMode::Rgb:
    case ColorMode::Lab: return 3;
    case ColorMode::Cmyk: return 4;
    case ColorMode::Multichannel: return std::min(channels, 4);
    default: return 1;
    }
}

// The fixed 26-byte header: signature, version, reserved, channels, size, depth, mode.
Result<Header> parseFixedHeader(Bytes data)
{
    if (data.size() < 26)
        return fail("file of " + num(data.size()) + " bytes ends inside the 26-byte header");
    ByteReader r(data);
    Header h;
    if (r.u32be() != 0x38425053u) // "8BPS"
        return fail("signature is not 8BPS");
    h.version = r.u16be();
    if (h.version != 1 && h.version != 2)
        return fail("version " + num(h.version) + " is neither 1 (PSD) nor 2 (PSB)");
    for (int i = 0; i < 6; ++i)
        if (r.u8() != 0)
            return fail("reserved header bytes are not zero");
    h.channels = r.u16be();
    h.height = r.u32be();
    h.width = r.u32be();
    h.depth = r.u16be();
    const uint16_t mode = r.u16be();
    // The format asks for at most 56, but files with more extra channels exist; the
    // composite needs only the first few, and the section lengths bound the rest.
    if (h.channels < 1)
        return fail("channel count " + num(h.channels) + " is outside 1..65535");
    const int64_t maxSide = h.version == 1 ? 30000 : 300000;
    if (h.width < 1 || h.width > maxSide)
        return fail("width " + num(h.width) + " is outside 1.." + num(maxSide));
    if (h.height < 1 || h.height > maxSide)
        return fail("height " + num(h.height) + " is outside 1.." + num(maxSide));
    // Within the format's limits but past ours: refused before --info reports a size.
    OX_TRY(checkImageSize("PSD", h.width, h.height));
    if (h.depth != 1 && h.depth != 8 && h.depth != 16 && h.depth != 32)
        return fail("depth " + num(h.depth) + " is not 1, 8, 16 or 32");
    if (!knownMode(mode))
        return fail("colour mode " + num(mode) + " is not supported");
    h.mode = ColorMode(mode);
    if ((h.mode == ColorMode::Bitmap) != (h.depth == 1))
        return fail("depth " + num(h.depth) + " does not fit colour mode " + num(mode) +
                    " (bitmap mode and depth 1 go together)");
    const int need = colourChannels(h.mode, h.channels);
    if (h.channels < need)
        return fail("colour mode " + num(mode) + " needs " + num(need) +
                    " channels, the file has " + num(h.channels));
    return h;
}

// One length-prefixed section; fails when it runs past the end of the file.
Result<Bytes> section(ByteReader &r, int lengthBytes, const char *name)
{
    const uint64_t avail = r.remaining();
    if (avail < uint64_t(lengthBytes))
        return fail(std::string("file ends before the ") + name + " length");
    const uint64_t length = lengthBytes == 8 ? r.u64be() : r.u32be();
    if (length > r.remaining())
        return fail(std::string(name) + " of " + num(length) +
                    " bytes runs past the end of the file (" + num(r.remaining()) + " bytes left)");
    return r.take(length);
}

// Image resources are "8BIM" blocks; only the transparent palette index (1047) matters here.
int findTransparentIndex(Bytes resources)
{
    ByteReader r(resources);
    while (r.remaining() >= 12) {
        if (r.u32be() != 0x3842494Du) // "8BIM"
            return -1;
        const uint16_t id = r.u16be();
        const uint8_t nameLength = r.u8();
        r.skip(uint64_t(nameLength) +
               (uint64_t(nameLength) + 1) % 2); // Pascal string padded to even
        const uint32_t size = r.u32be();
        if (r.failed() || size > r.remaining())
            return -1;
        Bytes block = r.take(size);
        r.skip(std::min<uint64_t>(size % 2, r.remaining()));
        if (id == 1047 && block.size() >= 2)
            return (int(uint8_t(block[0])) << 8) | int(uint8_t(block[1]));
    }
    return -1;
}

// The data of the first image resource with the given id; empty when there is none.
Bytes findResource(Bytes resources, uint16_t wanted)
{
    ByteReader r(resources);
    while (r.remaining() >= 12) {
        if (r.u32be() != 0x3842494Du) // "8BIM"
            return {};
        const uint16_t id = r.u16be();
        const uint8_t nameLength = r.u8();
        r.skip(uint64_t(nameLength) +
               (uint64_t(nameLength) + 1) % 2); // Pascal string padded to even
        const uint32_t size = r.u32be();
        if (r.failed() || size > r.remaining())
            return {};
        Bytes block = r.take(size);
        r.skip(std::min<uint64_t>(size % 2, r.remaining()));
        if (id == wanted)
            return block;
    }
    return {};
}

// PSB widens the length of these tagged blocks to 8 bytes.
bool hasWideLength(uint32_t key)
{
    static const char *const kKeys[] = {"LMsk", "Lr16", "Lr32", "Layr", "Mt16", "Mt32", "Mtrn",
                                        "Alph", "FMsk", "lnk2", "FEid", "FXid", "PxSD"};
    for (const char *k : kKeys)
        if (key == (uint32_t(uint8_t(k[0])) << 24 | uint32_t(uint8_t(k[1])) << 16 |
                    uint32_t(uint8_t(k[2])) << 8 | uint32_t(uint8_t(k[3]))))
            return true;
    return false;
}

// The composite has an alpha (the first channel after the colour ones) when the layer count
// is below zero, or, as newer writers and every 16- and 32-bit file say it, when a tagged block
// "Mtrn", "Mt16" or "Mt32" follows the global mask. 16- and 32-bit files keep their layers in
// an "Lr16"/"Lr32" block there, whose count may be the negative one.
bool mergedHasAlpha(Bytes layerSection, int lengthBytes)
{
    ByteReader r(layerSection);
    const uint64_t infoLength = lengthBytes == 8 ? r.u64be() : r.u32be();
    if (r.failed())
        return false;
    if (infoLength >= 2 && ByteReader(layerSection, size_t(lengthBytes)).i16be() < 0)
        return true;
    r.skip(infoLength);
    const uint32_t maskLength = r.u32be();
    r.skip(maskLength);
    while (!r.failed() && r.remaining() >= 12) {
        const uint32_t signature = r.u32be();
        if (signature != 0x3842494Du && signature != 0x38423634u) // "8BIM", "8B64"
            return false;
        const uint32_t key = r.u32be();
        if (key == 0x4D74726Eu || key == 0x4D743136u ||
            key == 0x4D743332u) // "Mtrn", "Mt16", "Mt32"
            return true;
        const bool isLayers = key == 0x4C723136u || key == 0x4C723332u; // "Lr16", "Lr32"
        const bool wide = lengthBytes == 8 && (isLayers || hasWideLength(key));
        const uint64_t length = wide ? r.u64be() : r.u32be();
        if (isLayers && length >= 2 && r.remaining() >= 2 && ByteReader(r.rest()).i16be() < 0)
            return true;
        r.skip(length);
    }
    return false;
}

} // namespace

Result<Header> parseHeader(Bytes data)
{
    auto fixed = parseFixedHeader(data);
    OX_TRY(fixed);
    Header h = fixed.value();
    ByteReader r(data, 26);

    auto colourData = section(r, 4, "colour mode data");
    OX_TRY(colourData);
    h.colourData = colourData.value();
    if (h.mode == ColorMode::Indexed && h.colourData.size() < 768)
        return fail("indexed colour palette of " + num(h.colourData.size()) +
                    " bytes is shorter than 768");

    auto resources = section(r, 4, "image resources section");
    OX_TRY(resources);
    if (h.mode == ColorMode::Indexed)
        h.transparentIndex = findTransparentIndex(resources.value());
    h.iccProfile = findResource(resources.value(), 1039);
    const Bytes exif = findResource(resources.value(), 1058);
    if (!exif.empty())
        h.orientation = readTiffOrientation(exif);

    if (h.mode == ColorMode::Multichannel) {
        const Bytes display = findResource(resources.value(), 1077);
        h.inks = display.empty()
                     ? readInks(findResource(resources.value(), 1007), false, h.channels)
                     : readInks(display, true, h.channels);
    }

    const int lengthBytes = h.version == 2 ? 8 : 4;
    auto layers = section(r, lengthBytes, "layer and mask section");
    OX_TRY(layers);
    // Indexed and bitmap images have no colour channel to pair an alpha with.
    const int colour = usedChannels(h);
    h.mergedAlpha = mergedHasAlpha(layers.value(), lengthBytes);
    if (h.mode == ColorMode::Indexed || h.mode == ColorMode::Bitmap || h.channels <= colour)
        h.mergedAlpha = false;

    if (r.remaining() < 2)
        return fail("file ends before the image data (compression field missing)");
    const uint16_t compression = r.u16be();
    if (compression > 3)
        return fail("compression " + num(compression) + " is not 0 (raw), 1 (RLE) or 2/3 (ZIP)");
    h.compression = Compression(compression);
    const bool zip =
        h.compression == Compression::Zip || h.compression == Compression::ZipPredicted;
    if (zip && zipPlaneBytes(h) > uint64_t(kMaxImageBytes))
        return fail("ZIP planes of " + num(zipPlaneBytes(h)) + " bytes exceed the limit of " +
                    num(kMaxImageBytes));
    h.dataOffset = r.position();
    return h;
}

int usedChannels(const Header &h)
{
    const int colour = h.inks.empty() ? colourChannels(h.mode, h.channels) : int(h.inks.size());
    return colour + (h.mergedAlpha ? 1 : 0);
}

uint64_t rowBytes(const Header &h)
{
    return h.depth == 1 ? (uint64_t(h.width) + 7) / 8 : uint64_t(h.width) * uint64_t(h.depth / 8);
}

uint64_t zipPlaneBytes(const Header &h)
{
    return rowBytes(h) * uint64_t(h.height) * uint64_t(h.channels);
}

// PackBits: a header byte n < 128 copies n + 1 literal bytes, n > 128 repeats the next byte
// 257 - n times, 128 is a no-op. Output never passes outLength, input never passes in.size();
// returns the number of bytes written (short when the row's data is damaged or cut short).
size_t unpackBits(Bytes in, uint8_t *out, size_t outLength)
{
    const auto *src = reinterpret_cast<const uint8_t *>(in.data());
    const uint8_t *const end = src + in.size();
    size_t done = 0;
    while (src < end && done < outLength) {
        const uint8_t n = *src++;
        if (n < 128) {
            const size_t take = std::min<size_t>(size_t(n) + 1, size_t(end - src));
            const size_t count = std::min(take, outLength - done);
            std::memcpy(out + done, src, count);
            src += take;
            done += count;
        } else if (n > 128) {
            if (src == end)
                break;
            const size_t count = std::min<size_t>(257 - size_t(n), outLength - done);
            std::memset(out + done, *src++, count);
            done += count;
        }
    }
    return done;
}

} // namespace psd

using namespace psd;

bool sniffPsd(Bytes data)
{
    if (data.size() < 6)
        return false;
    ByteReader r(data);
    const uint32_t signature = r.u32be();
    const uint16_t version = r.u16be();
    return signature == 0x38425053u && (version == 1 || version == 2);
}

Result<ImageInfo> readPsdInfo(Bytes data)
{
    auto header = parseHeader(data);
    OX_TRY(header);
    const Header &h = header.value();
    ImageInfo info;
    info.format = "PSD";
    info.width = int(h.width);
    info.height = int(h.height);
    info.bitDepth = h.depth * h.channels;
    return info;
}

Result<QImage> decodePsd(Bytes data, DecodeObserver &observer)
{
    auto header = parseHeader(data);
    OX_TRY(header);
    return decodeComposite(header.value(), data, observer);
}

} // namespace oxlume::imaging
