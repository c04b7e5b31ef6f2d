#pragma once
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffBmp(Bytes data);
Result<ImageInfo> readBmpInfo(Bytes data);
Result<QImage> decodeBmp(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
