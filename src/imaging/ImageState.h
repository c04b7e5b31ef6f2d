#pragma once
// ImageState: the image an imaging control holds, how it loads, and the edits recorded but
// not yet applied. No widget in here, so a loading thread may use it and tests drive it
// without a display.
//
// Edits (brightness, contrast, flips, turns) act at once, or, while deferring, are only
// recorded: brightness and contrast combine into one table, flips and turns into one
// orientation, and all of it is applied in a single pass into one buffer when the image is
// next read (image(), or deferring off), with the same pixels as applying them one by one.
// Should that pass fail (memory), the image stays unadjusted. An image replaced drops the
// edits still pending on it.
//
// One thread at a time; only the deferring flag and progressEnabled may be read from
// another thread while it works.

#include "imaging/ImageFile.h"
#include "imaging/Transforms.h"

#include <QImage>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace oxlume::imaging {

class ImageState {
public:
    // iPercent grows during a load; 100 is sent once, after the image is complete. Runs on
    // the loading thread.
    using ProgressHandler = std::function<void(int16_t percent)>;

    // Loads a regular file, format by content. On success holds the complete image. On
    // failure holds no image and returns the path and the reason; a load whose progress is
    // switched off meanwhile may stop early and fail that way.
    // With fit, the image is made for showing fitted there (decodeImageFileFitted), and what
    // was made ready for painting stays beside it until the image is replaced.
    [[nodiscard]] std::optional<LoadFailure> load(const std::string &path,
                                                  const std::optional<FitArea> &fit = {});

    bool progressEnabled() const { return m_progressEnabled.load(); }
    void setProgressEnabled(bool enable) { m_progressEnabled.store(enable); }
    void setProgressHandler(ProgressHandler handler) { m_onProgress = std::move(handler); }

    bool isEmpty() const { return m_image.isNull(); }
    // The image with every pending edit applied, as an implicitly shared handle (copying it
    // is O(1); a later edit of either holder never changes the other). Null when empty.
    QImage image() const;
    void setImage(const QImage &image, const PaintReady &ready = {});
    const PaintReady &paintReady() const { return m_ready; }

    // Each returns true when the image changed now, false when nothing changed or the edit
    // was only recorded. Without an image nothing happens. Brightness and contrast run
    // -1000..1000 (clamped, 0 changes nothing); the angle is in hundredths of a degree,
    // clockwise, a multiple of 9000, else ProgramError.
    bool changeBrightness(int16_t value);
    bool changeContrast(int16_t value);
    bool flipTopBottom();
    bool flipLeftRight();
    bool rotate(int32_t angle);

    bool isDeferring() const { return m_deferring.load(); }
    // Off again, what was recorded is applied at the next read or edit.
    void setDeferring(bool on) { m_deferring.store(on); }
    bool hasPendingEdits() const { return m_pendingTone || !m_pendingOrientation.isIdentity(); }

private:
    bool changeTone(const ToneTable &table);
    bool changeOrientation(Orientation orientation, void (*applyNow)(QImage &));
    void applyPending() const;
    void dropPending() const;

    // mutable: reading the image applies the pending edits.
    mutable QImage m_image;
    PaintReady m_ready;
    // The tone table works on each pixel alone, so it commutes with the flips and turns.
    mutable std::optional<ToneTable> m_pendingTone;
    mutable Orientation m_pendingOrientation;
    std::atomic<bool> m_deferring{false};
    std::atomic<bool> m_progressEnabled{true};
    ProgressHandler m_onProgress;
};

} // namespace oxlume::imaging
