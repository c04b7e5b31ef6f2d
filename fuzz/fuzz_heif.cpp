// Fuzzes the HEIF decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Heif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{"HEIF", oxlume::imaging::sniffHeif,
                                                       oxlume::imaging::readHeifInfo,
                                                       oxlume::imaging::decodeHeif};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
