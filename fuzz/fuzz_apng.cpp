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
    for (int play = 0; play < 2; ++play, source->rewind())
        for (int frame = 0; frame < 64 && !source->atEnd(); ++frame)
            if (!source->next())
                break;
    return 0;
}
