// Fuzzes the TGA decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Tga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{
        "TGA", oxlume::imaging::sniffTga, oxlume::imaging::readTgaInfo, oxlume::imaging::decodeTga};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
