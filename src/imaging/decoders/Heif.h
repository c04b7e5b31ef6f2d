#pragma once
// HEIF and HEIC (HEVC-coded) still images through libheif: the primary image, turned and
// mirrored as the file's transformations say, with its ICC profile and alpha.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

// True for an ftyp box naming an HEVC brand (heic, heix, heim, heis, hevc, hevx) or the
// plain image brand mif1 without an AV1 one (those are AVIF's).
bool sniffHeif(Bytes data);
// The size as shown (after rotation); bitDepth = luma bits x channels.
Result<ImageInfo> readHeifInfo(Bytes data);
// Format_RGB32, or Format_ARGB32 with alpha; 10- and 12-bit samples rounded to 8 bits.
// libheif decodes in one call: progress comes per tile of a grid image, and a cancel takes
// effect when the call returns.
Result<QImage> decodeHeif(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
