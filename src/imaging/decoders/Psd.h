#pragma once
// PSD and PSB (large document) files: the merged composite image after the layers.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

// True for the "8BPS" signature with version 1 (PSD) or 2 (PSB).
bool sniffPsd(Bytes data);
// Size and depth from the header; fails with "PSD: <field> ..." on a bad or cut-short header.
Result<ImageInfo> readPsdInfo(Bytes data);
// The composite as RGB32, or ARGB32 when the file says it has transparency. Fails on a bad
// header, a size past the limits or damaged ZIP data; pixel data that ends early gives the
// rows it holds, the rest opaque black.
Result<QImage> decodePsd(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
