#pragma once
// The table of decoders, tried in order of how strong their signature is.

#include "imaging/decoders/Decoder.h"

#include <span>
#include <string_view>

namespace oxlume::imaging {

std::span<const DecoderEntry> decoderTable();

// The decoder for data: strong signatures first (JPEG, BMP, PSD, placeable WMF), then the
// weak ones (PCX, plain WMF), then whatever the installed Qt image plugins recognise.
// nullptr when nothing claims the data.
const DecoderEntry *findDecoder(Bytes data);

} // namespace oxlume::imaging
