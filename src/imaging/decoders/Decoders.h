#pragma once
// The table of decoders, tried in order of how strong their signature is.

#include "imaging/decoders/Decoder.h"

#include <span>
#include <string_view>

namespace oxlume::imaging {

std::span<const DecoderEntry> decoderTable();

// The decoder for data: strong signatures first (JPEG, BMP, PSD, HEIF, AVIF, JPEG XL,
// placeable WMF), then the
// weak ones (plain WMF, PCX, TGA's header check), then whatever the installed Qt image
// plugins recognise. A TGA file name moves TGA ahead of the weak ones: a tie-breaker only,
// the header must still pass. nullptr when nothing claims the data.
const DecoderEntry *findDecoder(Bytes data, std::string_view fileName = {});

} // namespace oxlume::imaging
