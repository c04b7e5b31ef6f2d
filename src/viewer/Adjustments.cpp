#include "viewer/Adjustments.h"

#include "platform/Errors.h"
#include "viewer/Busy.h"

namespace oxlume {

namespace {

std::int16_t positionValue(int position, int step)
{
    if (position < 0 || position > kMaxTrackPosition)
        throw RangeCheckError();
    return static_cast<std::int16_t>((position - kNeutralPosition) * step);
}

// Switches Imager1's automatic repainting off for its lifetime, so the rebuild paints once,
// and back on also when a step throws, so the image area never stays frozen.
class RepaintDeferral {
public:
    explicit RepaintDeferral(imaging::TImager &imager)
        : m_imager(imager)
    {
        m_imager.setAutoRepaint(false);
    }
    ~RepaintDeferral() { m_imager.setAutoRepaint(true); }
    RepaintDeferral(const RepaintDeferral &) = delete;
    RepaintDeferral &operator=(const RepaintDeferral &) = delete;

private:
    imaging::TImager &m_imager;
};

} // namespace

std::int16_t BrightnessValue(int position)
{
    return positionValue(position, 39);
}
std::int16_t ContrastValue(int position)
{
    return positionValue(position, 14);
}

void ApplyImageAdjustments(const TAdjustmentState &state, imaging::TImager &Imager1,
                           imaging::WindowlessImager &UnadjustedImager)
{
    if (!state.panelVisible || Imager1.BitmapListCount() == 0)
        return;
    BusyGuard busy;
    RepaintDeferral deferral(Imager1);

    // Both directions copy the shared handle; the transforms below detach Imager1's copy.
    if (UnadjustedImager.BitmapListCount() != 0)
        Imager1.setBitmapList(UnadjustedImager.BitmapList());
    else
        UnadjustedImager.setBitmapList(Imager1.BitmapList());

    if (state.brightnessPosition != kNeutralPosition)
        Imager1.ChangeBrightness(BrightnessValue(state.brightnessPosition));
    if (state.contrastPosition != kNeutralPosition)
        Imager1.ChangeContrast(ContrastValue(state.contrastPosition));
    if (state.flipUD)
        Imager1.FlipTopBottom();
    if (state.flipRL)
        Imager1.FlipLeftRight();
    switch (state.rotation) {
    case TRotation::Rotate90: Imager1.RotateImage(9000, true, 0); break;
    case TRotation::Rotate180: Imager1.RotateImage(18000, true, 0); break;
    case TRotation::Rotate270: Imager1.RotateImage(27000, true, 0); break;
    case TRotation::None: break;
    }
}

} // namespace oxlume
