// Fuzzes the PSD decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Psd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{
        "PSD", oxlume::imaging::sniffPsd, oxlume::imaging::readPsdInfo, oxlume::imaging::decodePsd};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
