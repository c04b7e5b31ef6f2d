#pragma once
// PCX (versions 0 to 5) and the first page of a DCX container.
#include "imaging/decoders/Decoder.h"

namespace oxlume::imaging {

// A 128-byte header with the 0x0A signature and fields that fit together, or a DCX whose
// first page is such a file.
bool sniffPcx(Bytes data);
// Header only; an error names the field and its value.
Result<ImageInfo> readPcxInfo(Bytes data);
// Format_RGB32, or Format_ARGB32 for an alpha plane. Pixel data that ends early decodes what
// is there, the lines it does not reach transparent; a cut or invalid header fails.
Result<QImage> decodePcx(Bytes data, DecodeObserver &observer);

} // namespace oxlume::imaging
