#include "imaging/decoders/Bmp.h"

namespace oxlume::imaging {

// FIXME: placeholder until the BMP decoder lands.
bool sniffBmp(Bytes) { return false; }
Result<ImageInfo> readBmpInfo(Bytes) { return makeError("BMP: decoder not available"); }
Result<QImage> decodeBmp(Bytes, DecodeObserver &) { return makeError("BMP: decoder not available"); }
Result<QImage> decodeDib(Bytes, DecodeObserver &) { return makeError("BMP: decoder not available"); }
Result<QImage> decodeDib(Bytes, Bytes, DecodeObserver &) { return makeError("BMP: decoder not available"); }

} // namespace oxlume::imaging
