#pragma once
// One fuzz input through a decoder's whole interface: sniff, header, pixels. Whatever the
// answers, nothing may crash, hang or read out of bounds; a decoded image must keep the
// promise every decoder makes about its pixel format.

#include "imaging/decoders/Decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

namespace oxlume::fuzz {

inline int decodeOnce(const uint8_t *data, size_t size, const imaging::DecoderEntry &decoder)
{
    const imaging::Bytes bytes(reinterpret_cast<const std::byte *>(data), size);
    try {
        (void)decoder.sniff(bytes);
        (void)decoder.readInfo(bytes);
        imaging::DecodeObserver observer;
        const Result<QImage> image = decoder.decode(bytes, observer);
        if (image.ok() && !image->isNull() && image->format() != QImage::Format_RGB32 &&
            image->format() != QImage::Format_ARGB32)
            std::abort();
    } catch (const std::exception &) {
        // A checked-arithmetic or assertion error is a clean failure: the loader turns it
        // into an error message. Memory errors and hangs are what the fuzzer hunts.
    }
    return 0;
}

} // namespace oxlume::fuzz
