// Fuzzes the PCX decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Pcx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{
        "PCX", oxlume::imaging::sniffPcx, oxlume::imaging::readPcxInfo, oxlume::imaging::decodePcx};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
