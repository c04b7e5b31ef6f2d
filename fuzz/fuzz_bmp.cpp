// Fuzzes the BMP decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{
        "BMP", oxlume::imaging::sniffBmp, oxlume::imaging::readBmpInfo, oxlume::imaging::decodeBmp};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
