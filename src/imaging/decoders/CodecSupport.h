#pragma once
// What the decoders built on outside codec libraries (HEIF, AVIF, JPEG XL) share: the brands
// of an ISO media file's ftyp box, the working memory the library needs beside the image,
// and the conversion of the library's RGBA rows into the 0xAARRGGBB pixels decoders deliver.

#include "imaging/decoders/Decoder.h"
#include "imaging/decoders/Failure.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace oxlume::imaging {

// True when data opens with an ftyp box whose major or compatible brands include one of
// brands. Reads only the box itself; a box cut short or of an absurd size claims nothing.
template<size_t N>
bool hasFtypBrand(Bytes data, const std::array<std::string_view, N> &brands)
{
    ByteReader r(data);
    const uint32_t size = r.u32be();
    const uint32_t type = r.u32be();
    if (r.failed() || type != 0x66747970u || size < 16 || size > 4096 || size % 4 != 0 ||
        size > data.size()) // "ftyp"
        return false;
    for (size_t at = 8; at < size; at += 4) {
        if (at == 12)
            continue; // the minor version
        const std::string_view brand(reinterpret_cast<const char *>(data.data()) + at, 4);
        for (std::string_view b : brands)
            if (brand == b)
                return true;
    }
    return false;
}

// The side and pixel limits, then the whole working set: bytesPerPixel is what the library
// holds per pixel beside the image's own four. Either a decoder can show the image within
// the memory bound, or it refuses it before anything is allocated.
inline Result<void> checkWorkingSize(const char *format, int64_t width, int64_t height,
                                     int64_t bytesPerPixel)
{
    if (width <= 0 || height <= 0)
        return failure(format, "image size " + num(width) + " x " + num(height) + " is empty");
    OX_TRY(checkImageSize(format, width, height));
    const int64_t budget = kMaxImageBytes + kMaxImageBytes / 10;
    if (width * height * (4 + bytesPerPixel) > budget)
        return failure(format, "image of " + num(width) + " x " + num(height) +
                                   " pixels needs more than the " + num(budget) +
                                   " bytes of memory a decoded image may take");
    return {};
}

// A high sample (0..maxValue) to eight bits, rounded to the nearest level.
inline uint32_t toLevel(uint32_t v, uint32_t maxValue)
{
    return (v * 255u + maxValue / 2) / maxValue;
}

// width pixels of 8-bit R, G, B, A (or grey, alpha with channels 2) to 0xAARRGGBB.
inline void storeRow8(const uint8_t *in, int channels, int width, uint32_t *out)
{
    for (int x = 0; x < width; ++x, in += channels) {
        const uint32_t r = in[0];
        const uint32_t g = channels == 2 ? r : in[1];
        const uint32_t b = channels == 2 ? r : in[2];
        out[x] = uint32_t(in[channels - 1]) << 24 | r << 16 | g << 8 | b;
    }
}

// The same from 16-bit samples in 0..maxValue (1023 for 10-bit, 4095 for 12-bit, 65535).
inline void storeRow16(const uint16_t *in, int channels, int width, uint32_t maxValue,
                       uint32_t *out)
{
    for (int x = 0; x < width; ++x, in += channels) {
        const uint32_t r = toLevel(in[0], maxValue);
        const uint32_t g = channels == 2 ? r : toLevel(in[1], maxValue);
        const uint32_t b = channels == 2 ? r : toLevel(in[2], maxValue);
        out[x] = toLevel(in[channels - 1], maxValue) << 24 | r << 16 | g << 8 | b;
    }
}

} // namespace oxlume::imaging
