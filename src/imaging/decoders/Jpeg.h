#pragma once
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffJpeg(Bytes data);
Result<ImageInfo> readJpegInfo(Bytes data);
Result<QImage> decodeJpeg(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
