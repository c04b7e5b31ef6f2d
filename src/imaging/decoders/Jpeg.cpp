#include "imaging/decoders/Jpeg.h"

namespace oxlume::imaging {

// FIXME: placeholder until the JPEG decoder lands.
bool sniffJpeg(Bytes) { return false; }
Result<ImageInfo> readJpegInfo(Bytes) { return makeError("JPEG: decoder not available"); }
Result<QImage> decodeJpeg(Bytes, DecodeObserver &) { return makeError("JPEG: decoder not available"); }

} // namespace oxlume::imaging
