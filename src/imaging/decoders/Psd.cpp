#include "imaging/decoders/Psd.h"

namespace oxlume::imaging {

// FIXME: placeholder until the PSD decoder lands.
bool sniffPsd(Bytes) { return false; }
Result<ImageInfo> readPsdInfo(Bytes) { return makeError("PSD: decoder not available"); }
Result<QImage> decodePsd(Bytes, DecodeObserver &) { return makeError("PSD: decoder not available"); }

} // namespace oxlume::imaging
