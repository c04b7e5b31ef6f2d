#pragma once
// Animated GIF, WebP and PNG (APNG): the frames one at a time, composed on the canvas, with
// their delays and the file's loop count. Nothing here holds more than the frame being made
// and the canvas it is drawn on.

#include "imaging/ByteReader.h"
#include "platform/Result.h"

#include <QByteArray>
#include <QImage>

#include <memory>

namespace oxlume::imaging {

// A delay under 20 ms (0 included) is shown for 100 ms, as browsers do.
inline int shownDelayMs(int fileDelayMs)
{
    return fileDelayMs < 20 ? 100 : fileDelayMs;
}

struct AnimationFrame {
    QImage image;    // the whole canvas, Format_ARGB32
    int delayMs = 0; // as the file gives it
};

class FrameSource {
public:
    virtual ~FrameSource() = default;

    // False when the first bytes of a file (a few KB are enough) show a still image or
    // another format: then nothing more of the file need be read.
    static bool mayBeAnimated(Bytes head);
    // The frames of data, when it is an animation of at least two frames; nullptr otherwise.
    static std::unique_ptr<FrameSource> open(const QByteArray &data);

    // The next frame; fails on damaged data ("<FORMAT>: frame <n> ..."), and after the last.
    virtual Result<AnimationFrame> next() = 0;
    virtual bool atEnd() const = 0;
    // Back to the first frame, for the next loop.
    virtual void rewind() = 0;
    // Times the whole animation plays: 0 for ever.
    virtual int plays() const = 0;
};

} // namespace oxlume::imaging
