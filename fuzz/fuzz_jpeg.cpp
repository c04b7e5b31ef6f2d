// Fuzzes the JPEG decoder: sniff, header and pixels of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{"JPEG", oxlume::imaging::sniffJpeg,
                                                       oxlume::imaging::readJpegInfo,
                                                       oxlume::imaging::decodeJpeg};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
