// Fuzzes the AVIF decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Avif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{"AVIF", oxlume::imaging::sniffAvif,
                                                       oxlume::imaging::readAvifInfo,
                                                       oxlume::imaging::decodeAvif};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
