#include "imaging/ImageBuffer.h"

#include "imaging/Limits.h"

#include <string>

namespace oxlume::imaging {

Result<QImage> allocateImage(std::string_view formatName, int64_t width, int64_t height,
                             QImage::Format format)
{
    const std::string name(formatName);
    if (width <= 0 || height <= 0)
        return makeError(name + ": image size " + std::to_string(width) + " x " +
                         std::to_string(height) + " is empty or negative");
    if (width > kMaxImageSide || height > kMaxImageSide || width * height > kMaxImagePixels)
        return makeError(name + ": image of " + std::to_string(width) + " x " +
                         std::to_string(height) + " pixels exceeds the limit of " +
                         std::to_string(kMaxImagePixels) + " pixels");
    QImage image(int(width), int(height), format);
    if (image.isNull())
        return makeError(name + ": out of memory for " + std::to_string(width) + " x " +
                         std::to_string(height) + " pixels");
    return image;
}

} // namespace oxlume::imaging
