#pragma once
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffWmf(Bytes data);
Result<ImageInfo> readWmfInfo(Bytes data);
Result<QImage> decodeWmf(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
