#pragma once
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffQtPlugin(Bytes data);
Result<ImageInfo> readQtPluginInfo(Bytes data);
Result<QImage> decodeQtPlugin(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
