#include "imaging/decoders/QtPlugin.h"

namespace oxlume::imaging {

// FIXME: placeholder until the Qt plugin reader lands.
bool sniffQtPlugin(Bytes) { return false; }
Result<ImageInfo> readQtPluginInfo(Bytes) { return makeError("Qt: reader not available"); }
Result<QImage> decodeQtPlugin(Bytes, DecodeObserver &) { return makeError("Qt: reader not available"); }

} // namespace oxlume::imaging
