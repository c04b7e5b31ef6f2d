#include "imaging/decoders/Pcx.h"

namespace oxlume::imaging {

// FIXME: placeholder until the PCX decoder lands.
bool sniffPcx(Bytes) { return false; }
Result<ImageInfo> readPcxInfo(Bytes) { return makeError("PCX: decoder not available"); }
Result<QImage> decodePcx(Bytes, DecodeObserver &) { return makeError("PCX: decoder not available"); }

} // namespace oxlume::imaging
