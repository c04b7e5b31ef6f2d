#pragma once
// JPEG XL through libjxl, bare codestream or container: the first frame, turned upright as
// its orientation field says, with its colour profile and alpha.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

// True for the codestream signature (FF 0A) or the container's signature box.
bool sniffJxl(Bytes data);
// The size as shown (after orientation); bitDepth = bits x channels.
Result<ImageInfo> readJxlInfo(Bytes data);
// Format_RGB32, or Format_ARGB32 with alpha; samples past eight bits rounded to 8 bits. The
// data goes to libjxl in slices: progress is the share consumed, and a cancel takes effect
// at the next slice. A file cut short fails.
Result<QImage> decodeJxl(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
