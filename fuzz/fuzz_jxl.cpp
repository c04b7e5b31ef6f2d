// Fuzzes the JPEG XL decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Jxl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{
        "JXL", oxlume::imaging::sniffJxl, oxlume::imaging::readJxlInfo, oxlume::imaging::decodeJxl};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
