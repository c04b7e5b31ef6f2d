#pragma once
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffPsd(Bytes data);
Result<ImageInfo> readPsdInfo(Bytes data);
Result<QImage> decodePsd(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
