// Fuzzes the animation reader (APNG's own chunk reader, and GIF and WebP through Qt's):
// every frame of up to two plays.

#include "imaging/Animation.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)oxlume::imaging::FrameSource::mayBeAnimated(
        oxlume::imaging::Bytes(reinterpret_cast<const std::byte *>(data), size));
    auto source = oxlume::imaging::FrameSource::open(bytes);
    if (!source)
        return 0;
    // The viewer composes one frame per delay; here a budget of one largest image's worth
    // of composed pixels keeps a huge canvas from costing a minute per input.
    qint64 pixels = 0;
    for (int play = 0; play < 2; ++play, source->rewind())
        for (int frame = 0; frame < 64 && !source->atEnd() && pixels < (qint64(1) << 28); ++frame) {
            auto next = source->next();
            if (!next)
                break;
            pixels += qint64(next->image.width()) * next->image.height();
        }
    return 0;
}
