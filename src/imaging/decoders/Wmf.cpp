#include "imaging/decoders/Wmf.h"

namespace oxlume::imaging {

// FIXME: placeholder until the WMF decoder lands.
bool sniffWmf(Bytes) { return false; }
Result<ImageInfo> readWmfInfo(Bytes) { return makeError("WMF: decoder not available"); }
Result<QImage> decodeWmf(Bytes, DecodeObserver &) { return makeError("WMF: decoder not available"); }

} // namespace oxlume::imaging
