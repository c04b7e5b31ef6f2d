#pragma once
// What every decoder's failures are made of: "<FORMAT>: <field> <value> ..." texts, and the
// size limits checked against a header before anything is allocated.

#include "imaging/Limits.h"
#include "platform/Result.h"

#include <concepts>
#include <cstdint>
#include <string>

namespace oxlume::imaging {

// Any integer as decimal text, signed or not.
template<std::integral T>
std::string num(T v)
{
    return std::to_string(v);
}

// "<format>: <what>", the form of every decoder message.
inline Error failure(const char *format, const std::string &what)
{
    return makeError(std::string(format) + ": " + what);
}

// The side and pixel-count limits, for sides already known to be positive.
inline Result<void> checkImageSize(const char *format, int64_t width, int64_t height)
{
    const std::string side = " exceeds the limit of " + num(kMaxImageSide);
    if (width > kMaxImageSide)
        return failure(format, "width " + num(width) + side);
    if (height > kMaxImageSide)
        return failure(format, "height " + num(height) + side);
    if (width * height > kMaxImagePixels)
        return failure(format, "image of " + num(width) + " x " + num(height) +
                                   " pixels exceeds the limit of " + num(kMaxImagePixels) +
                                   " pixels");
    return {};
}

} // namespace oxlume::imaging
