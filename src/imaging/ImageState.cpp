#include "imaging/ImageState.h"

#include "platform/Errors.h"

#include <algorithm>

namespace oxlume::imaging {

namespace {

// Turns the decoder's row counts into increasing whole percentages. 100 is held back until
// the image is complete, so a handler that sees 100 can rely on the result.
class ProgressRelay : public DecodeObserver {
public:
    ProgressRelay(const std::atomic<bool> &enabled, const ImageState::ProgressHandler &handler)
        : m_enabled(enabled)
        , m_handler(handler)
    {
    }

    void progress(int64_t done, int64_t total) override
    {
        if (total <= 0)
            return;
        const int percent = int(std::clamp<int64_t>(done * 100 / total, 0, 99));
        if (percent > m_last)
            send(percent);
    }

    bool cancelled() const override { return !m_enabled.load(); }

    void finish() { send(100); }

private:
    void send(int percent)
    {
        m_last = percent;
        if (m_handler && m_enabled.load())
            m_handler(int16_t(percent));
    }

    const std::atomic<bool> &m_enabled;
    const ImageState::ProgressHandler &m_handler;
    int m_last = -1;
};

} // namespace

std::optional<LoadFailure> ImageState::load(const std::string &path,
                                            const std::optional<FitArea> &fit)
{
    const ProgressHandler handler = m_onProgress; // the handler may replace itself
    ProgressRelay relay(m_progressEnabled, handler);
    // The previous image goes first: with the next beside it, two of the largest size would
    // not fit in memory. Nor may a failed load leave it, to be shown under the new name.
    dropPending();
    m_image = QImage();
    m_ready = {};
    if (fit) {
        Result<FittedImage> fitted = decodeImageFileFitted(path, *fit, relay);
        if (!fitted)
            return LoadFailure{path, fitted.error().message};
        m_image = std::move(fitted.value().image);
        m_ready = std::move(fitted.value().ready);
        relay.finish();
        return std::nullopt;
    }
    Result<QImage> loaded = decodeImageFile(path, relay);
    if (!loaded)
        return LoadFailure{path, loaded.error().message};
    m_image = std::move(loaded).value();
    relay.finish();
    return std::nullopt;
}

void ImageState::setImage(const QImage &image, const PaintReady &ready)
{
    dropPending(); // they belonged to the image being replaced
    m_image = image;
    m_ready = ready;
}

QImage ImageState::image() const
{
    applyPending();
    return m_image;
}

void ImageState::dropPending() const
{
    m_pendingTone.reset();
    m_pendingOrientation = {};
}

// Whatever happens, the pending edits are gone afterwards: on success they are in the
// image, on failure (memory) the image is still the unadjusted one, never partly changed.
void ImageState::applyPending() const
{
    if (!hasPendingEdits())
        return;
    const std::optional<ToneTable> tone = m_pendingTone;
    const Orientation orientation = m_pendingOrientation;
    dropPending();
    applyOrientationAndTone(m_image, orientation, tone ? &*tone : nullptr);
}

// Deferred, a brightness step followed by a contrast step (the usual rebuild) costs one
// pass over the pixels instead of two. Composing the tables gives exactly the result of
// applying them one after the other.
bool ImageState::changeTone(const ToneTable &table)
{
    if (m_image.isNull())
        return false;
    if (!m_pendingTone) {
        m_pendingTone = table;
    } else {
        for (uint8_t &v : *m_pendingTone)
            v = table[v];
    }
    if (isDeferring())
        return false;
    applyPending();
    return true;
}

// Flips and turns likewise: recorded while deferring (the rebuild's flip and turn then cost
// no pass of their own and no new buffer each). Otherwise applied at once by applyNow, which
// works in place when the pixels are not shared.
bool ImageState::changeOrientation(Orientation orientation, void (*applyNow)(QImage &))
{
    if (m_image.isNull())
        return false;
    if (isDeferring()) {
        m_pendingOrientation = m_pendingOrientation.then(orientation);
        return false;
    }
    applyPending();
    applyNow(m_image);
    return true;
}

bool ImageState::changeBrightness(int16_t value)
{
    return value != 0 && changeTone(brightnessContrastTable(value, 0));
}

bool ImageState::changeContrast(int16_t value)
{
    return value != 0 && changeTone(brightnessContrastTable(0, value));
}

bool ImageState::flipTopBottom()
{
    return changeOrientation(Orientation::flipTopBottom(),
                             [](QImage &image) { FlipTopBottom(image); });
}

bool ImageState::flipLeftRight()
{
    return changeOrientation(Orientation::flipLeftRight(),
                             [](QImage &image) { FlipLeftRight(image); });
}

bool ImageState::rotate(int32_t angle)
{
    if (angle % 9000 != 0)
        throw ProgramError("RotateImage: angle " + std::to_string(angle) +
                           " (hundredths of a degree) is not a multiple of 9000");
    switch ((angle / 9000 % 4 + 4) % 4) {
    case 1:
        return changeOrientation(Orientation::rotation(90),
                                 [](QImage &image) { RotateImage(image, 90); });
    case 2:
        return changeOrientation(Orientation::rotation(180),
                                 [](QImage &image) { RotateImage(image, 180); });
    case 3:
        return changeOrientation(Orientation::rotation(270),
                                 [](QImage &image) { RotateImage(image, 270); });
    default: return false; // a whole number of turns changes nothing
    }
}

} // namespace oxlume::imaging
