#pragma once
// Allocation of decoded images. Large images come from a small pool of reused, huge-page
// backed buffers, so a viewer stepping through photos does not pay first-touch page faults
// for every image. Sizes are checked against Limits.h before anything is allocated.

#include "platform/Result.h"

#include <QImage>

#include <cstdint>
#include <string_view>

namespace oxlume::imaging {

// A new image of width x height in format (Format_RGB32 or Format_ARGB32 for decoders),
// contents undefined: a reused buffer still holds an earlier image's pixels, so a decoder
// must write every pixel (or fill the image first). Fails with "<format>: image of W x H
// pixels exceeds ..." when the size is past the limits, "<format>: image size W x H is
// empty or negative" for zero or negative sides. Safe to call from any thread; the image
// may be freed on any thread.
Result<QImage> allocateImage(std::string_view formatName, int64_t width, int64_t height,
                             QImage::Format format = QImage::Format_RGB32);

// Images of at least this many bytes come from the pool; smaller ones are plain QImages.
inline constexpr int64_t kPooledImageMinBytes = int64_t(1) << 20;

struct ImagePoolStats {
    int64_t pooledBuffers = 0; // idle buffers kept for reuse
    int64_t pooledBytes = 0;   // their total size
    int64_t mapped = 0;        // buffers mapped from the system so far
    int64_t reused = 0;        // allocations served from the pool so far
    bool hugePages = false;    // transparent huge pages are used for the buffers
};
ImagePoolStats imagePoolStats();

// Gives every idle pooled buffer back to the system (images still alive are unaffected).
void trimImagePool();

// Bytes of the pooled images alive now, which is every image of kPooledImageMinBytes and
// more that allocateImage made: what the decoded images in memory take. Any thread.
int64_t liveImageBytes();
// The most liveImageBytes reached since the last call; starts the next count from now.
int64_t takePeakLiveImageBytes();

} // namespace oxlume::imaging
