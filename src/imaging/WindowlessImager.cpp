#include "imaging/WindowlessImager.h"

#include "platform/Errors.h"

namespace oxlume::imaging {

int16_t WindowlessImager::LoadFile(const std::string &path, int16_t, int16_t, int16_t)
{
    if (const std::optional<LoadFailure> failure = load(path))
        throw ProgramError(failure->message());
    return 0;
}

void WindowlessImager::setOnProgressStatus(ProgressHandler handler)
{
    if (!handler) {
        m_state.setProgressHandler(nullptr);
        return;
    }
    m_state.setProgressHandler(
        [this, handler = std::move(handler)](int16_t percent) { handler(this, percent); });
}

int16_t WindowlessImager::ChangeBrightness(int16_t value)
{
    (void)m_state.changeBrightness(value);
    return 0;
}

int16_t WindowlessImager::ChangeContrast(int16_t value)
{
    (void)m_state.changeContrast(value);
    return 0;
}

int16_t WindowlessImager::FlipTopBottom()
{
    (void)m_state.flipTopBottom();
    return 0;
}

int16_t WindowlessImager::FlipLeftRight()
{
    (void)m_state.flipLeftRight();
    return 0;
}

int16_t WindowlessImager::RotateImage(int32_t angle, bool, int32_t)
{
    (void)m_state.rotate(angle);
    return 0;
}

} // namespace oxlume::imaging
