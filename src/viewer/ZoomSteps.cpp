#include "viewer/ZoomSteps.h"

namespace oxlume {

namespace {

// Extended precision keeps the steps on the decimal values users see (219.7, not
// 219.69999); the stored factor is single precision.
constexpr long double kZoomStep = 1.3L;

} // namespace

float ZoomInFactor(float current)
{
    const auto next = static_cast<float>(static_cast<long double>(current) * kZoomStep);
    return next > kMaxZoomFactor ? kMaxZoomFactor : next;
}

float ZoomOutFactor(float current)
{
    const auto next = static_cast<float>(static_cast<long double>(current) / kZoomStep);
    return next < kMinZoomFactor ? kMinZoomFactor : next;
}

} // namespace oxlume
