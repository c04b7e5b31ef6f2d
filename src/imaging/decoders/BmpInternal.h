#pragma once
// Shared between the BMP header parser and its pixel decoders. Not for use outside Bmp*.cpp.

#include "imaging/decoders/Decoder.h"

#include <array>
#include <cstdint>

namespace oxlume::imaging::bmp {

enum class Compression { Rgb, Rle8, Rle4, BitFields, Jpeg, Png, Rle24, Huffman };

// One colour channel described by a bit mask; value() scales its bits to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;    // mask >> shift
    bool plain8 = false; // exactly 8 contiguous bits: no scaling needed

    static Channel fromMask(uint32_t mask);
    uint32_t value(uint32_t px) const
    {
        if (plain8)
            return (px >> shift) & 0xFF;
        if (max == 0)
            return 0; // an empty mask: the channel is absent
        const uint64_t v = (px & mask) >> shift;
        return uint32_t((v * 510 + max) / (2 * uint64_t(max)));
    }
};

struct Header {
    int width = 0;
    int height = 0; // always positive; topDown says how the rows are stored
    bool topDown = false;
    int bpp = 0;
    Compression compression = Compression::Rgb;
    uint32_t rawCompression = 0;
    uint32_t imageSize = 0;
    Channel red, green, blue, alpha;     // alpha.mask 0: none
    std::array<uint32_t, 256> palette{}; // ARGB, unset entries opaque black
    int paletteEntries = 0;              // how many the file supplied
    uint64_t bitsOffset = 0;             // into the span the header was parsed from
    Bytes profile;                       // version 5 header: the embedded ICC profile (may be cut)
};

// File: data starts with the file header (or an OS/2 bitmap array entry); PackedDib: with
// the info header, pixels after the palette; HeaderOnly: info header and palette only.
enum class Layout { File, PackedDib, HeaderOnly };

// bitsOffset comes from the file header when that is sound, otherwise from the end of the
// palette. Fails on a cut or invalid header; for File and PackedDib also when no pixel
// data follows.
Result<Header> parseHeader(Bytes data, Layout layout);

// Decodes the pixel data into a new image. bits starts at the first byte of pixel data.
Result<QImage> decodePixels(const Header &h, Bytes bits, DecodeObserver &observer);

} // namespace oxlume::imaging::bmp
