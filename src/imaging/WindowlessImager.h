#pragma once
// WindowlessImager: the imaging control without a window. DecoderImager and UnadjustedImager
// are instances, and the painting control (TImager) holds its image in one.
//
// Threads. This library links no widgets, so nothing an instance can reach touches a
// window: handing one to another thread cannot reach the painting control. An instance is
// used by one thread at a time (the decoder instance only through DecoderAccess, which holds
// DecodeLock); EnableProgressEvent alone may be read and set from any thread, to silence a
// running load.

#include "imaging/ImageFile.h"
#include "imaging/ImageState.h"

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace oxlume::imaging {

class WindowlessImager {
public:
    // iPercent grows during a load; 100 is sent once, after the image is complete. Runs
    // directly on the loading thread.
    using ProgressHandler = std::function<void(WindowlessImager *sender, int16_t iPercent)>;

    WindowlessImager() = default;
    WindowlessImager(const WindowlessImager &) = delete;
    WindowlessImager &operator=(const WindowlessImager &) = delete;

    // Loads a regular file, format by content. On success the instance holds the complete
    // image; on failure it holds none and the path and the reason come back. A load
    // silenced through EnableProgressEvent may stop early and fail that way.
    // With fit, the image is made for showing fitted there: see ImageState::load.
    [[nodiscard]] std::optional<LoadFailure> load(const std::string &path,
                                                  const std::optional<FitArea> &fit = {})
    {
        return m_state.load(path, fit);
    }
    // The same, failing with ProgramError "<path>: <reason>". The three numbers are
    // accepted and ignored. Returns 0.
    int16_t LoadFile(const std::string &path, int16_t = 0, int16_t = 0, int16_t = 1);

    bool EnableProgressEvent() const { return m_state.progressEnabled(); }
    void setEnableProgressEvent(bool enable) { m_state.setProgressEnabled(enable); }
    void setOnProgressStatus(ProgressHandler handler);

    // 1 while the instance holds an image, else 0.
    int16_t BitmapListCount() const { return m_state.isEmpty() ? 0 : 1; }
    // The held image as an implicitly shared handle: copying it is O(1), and a later
    // transform of either holder never changes the other. Null when empty.
    QImage BitmapList() const { return m_state.image(); }
    void setBitmapList(const QImage &image, const PaintReady &ready = {})
    {
        m_state.setImage(image, ready);
    }
    // What the load of the held image made ready for painting beside it.
    const PaintReady &paintReady() const { return m_state.paintReady(); }
    void setBitmapList(std::nullptr_t) { m_state.setImage(QImage()); }

    // Transforms of the held image (nothing happens without one). Brightness and contrast
    // run -1000..1000 (clamped); the angle is in hundredths of a degree, clockwise, a
    // multiple of 9000, else ProgramError. Each returns 0.
    int16_t ChangeBrightness(int16_t value);
    int16_t ChangeContrast(int16_t value);
    int16_t FlipTopBottom();
    int16_t FlipLeftRight();
    int16_t RotateImage(int32_t angle, bool = true, int32_t = 0);

    // The image and its pending edits, for the painting control, which repaints when a
    // change reports that the image changed now.
    ImageState &state() { return m_state; }
    const ImageState &state() const { return m_state; }

private:
    ImageState m_state;
};

} // namespace oxlume::imaging
