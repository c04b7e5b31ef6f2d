#pragma once
// AVIF (AV1-coded HEIF) still images through libavif: the first image, turned and mirrored
// as the file's transformations say, with its ICC profile and alpha.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

// True for an ftyp box naming the brand avif or avis.
bool sniffAvif(Bytes data);
// The size as shown (after rotation); bitDepth = bits x channels.
Result<ImageInfo> readAvifInfo(Bytes data);
// Format_RGB32, or Format_ARGB32 with alpha; 10- and 12-bit samples rounded to 8 bits.
// libavif decodes a frame in one call: progress is its start and end, and a cancel takes
// effect between the stages.
Result<QImage> decodeAvif(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
