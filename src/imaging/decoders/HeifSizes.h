#pragma once
// The sizes a HEIF file makes libheif and its HEVC decoder allocate, read from the file's
// boxes before libheif sees it. libheif sizes a grid or overlay by the item's own data and
// the HEVC decoder sizes its pictures by each stream's sequence parameter set, whatever the
// ispe boxes declare, and both allocate before any check of ours can run.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

// Fails ("HEIF: ...") when a grid or overlay, or the coded size of an SPS in an hvcC box,
// exceeds the image limits or the largest ispe of the file (an SPS by more than one
// 64-pixel coding block), when an SPS cannot be read, or when the item properties are cut
// short. Files whose meta box cannot be found pass: libheif refuses them itself.
Result<void> checkDeclaredSizes(Bytes data);

} // namespace oxlume::imaging
