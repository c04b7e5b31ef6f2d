#include "viewer/ZoomSteps.h"

#include <algorithm>
#include <cmath>

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

QPoint scrollKeepingPoint(const imaging::ViewGeometry &before, QPoint scroll,
                          const imaging::ViewGeometry &after, QPointF anchor)
{
    const QRectF was = before.targetRect(scroll);
    const QRectF now = after.targetRect(QPoint(0, 0));
    const auto axis = [](double anchorAt, double wasStart, double wasLength, double nowStart,
                         double nowLength, int maxScroll) {
        const double part =
            wasLength > 0 ? std::clamp((anchorAt - wasStart) / wasLength, 0.0, 1.0) : 0.5;
        const double wanted = nowStart + part * nowLength - anchorAt;
        return int(std::clamp<long>(std::lround(wanted), 0, maxScroll));
    };
    return {axis(anchor.x(), was.left(), was.width(), now.left(), now.width(), after.maxScrollX()),
            axis(anchor.y(), was.top(), was.height(), now.top(), now.height(), after.maxScrollY())};
}

} // namespace oxlume
