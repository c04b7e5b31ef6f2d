#pragma once
// Allocation of decoded images. Large images come from a small pool of reused, huge-page
// backed buffers, so a viewer stepping through photos does not pay first-touch page faults
// for every image. Sizes are checked against Limits.h before anything is allocated.

#include "platform/Result.h"

#include <QImage>

#include <string_view>

namespace oxlume::imaging {

// A new image of width x height in format (Format_RGB32 or Format_ARGB32 for decoders),
// contents undefined. Fails with "<format>: image of W x H pixels exceeds ..." when the
// size is zero, negative or past the limits.
Result<QImage> allocateImage(std::string_view formatName, int64_t width, int64_t height,
                             QImage::Format format = QImage::Format_RGB32);

} // namespace oxlume::imaging
