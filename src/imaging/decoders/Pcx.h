#pragma once
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffPcx(Bytes data);
Result<ImageInfo> readPcxInfo(Bytes data);
Result<QImage> decodePcx(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
