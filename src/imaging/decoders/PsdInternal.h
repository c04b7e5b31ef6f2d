#pragma once
// PSD decoder internals shared by its two source files (header and sections in Psd.cpp,
// pixel data in PsdPixels.cpp). Not for use outside the decoder and its tests.

#include "imaging/decoders/Decoder.h"
#include "imaging/decoders/Failure.h"

#include <cstdint>

namespace oxlume::imaging {
class CmykTransform;
}

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
    const CmykTransform *cmykProfile = nullptr; // set while decoding a CMYK file with a profile
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
// Decodes the composite described by h from the whole file data.
Result<QImage> decodeComposite(const Header &h, Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging::psd
