#pragma once
// BMP / DIB / RLE: OS/2 and Windows headers, 1..32 bits, RLE4/RLE8/RLE24, bit fields.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

bool sniffBmp(Bytes data);
// Header only; an error names the field and its value.
Result<ImageInfo> readBmpInfo(Bytes data);
// Format_RGB32, or Format_ARGB32 when the file carries real alpha. Truncated pixel data
// decodes what is there (rest transparent black); a cut or invalid header fails.
Result<QImage> decodeBmp(Bytes data, DecodeObserver &observer);

// A packed DIB as stored in clipboards and metafiles: info header, palette, then the bits,
// with no file header in front.
Result<QImage> decodeDib(Bytes dib, DecodeObserver &observer);
// The same with the bits in a span of their own (info header + palette in header).
Result<QImage> decodeDib(Bytes header, Bytes bits, DecodeObserver &observer);

} // namespace oxlume::imaging
