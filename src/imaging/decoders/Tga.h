#pragma once
// TGA: colour-mapped, true-colour and grey images (types 1, 2, 3), raw or run-length encoded
// (9, 10, 11); 8, 15, 16, 24 and 32 bits; any origin; alpha from the attribute bits.
#include "imaging/decoders/Decoder.h"

#include <string_view>

namespace oxlume::imaging {

// TGA has no signature: true only for an 18-byte header whose every field fits the others
// (type, colour map, depth, attribute bits, non-zero size) and whose colour map lies inside
// the data.
bool sniffTga(Bytes data);
// True for the file name extensions TGA files carry (.tga, .icb, .vda, .vst), any case.
bool hasTgaExtension(std::string_view fileName);
// Header only; an error names the field and its value.
Result<ImageInfo> readTgaInfo(Bytes data);
// Format_RGB32, or Format_ARGB32 when the attribute bits are alpha (as the extension area
// says, or without one, as the header's alpha bit count says). Pixel data that ends early
// decodes what is there, the rest transparent; a cut or invalid header fails.
Result<QImage> decodeTga(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
