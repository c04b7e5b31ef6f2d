#pragma once
// The zoom buttons' steps: the factor in percent is multiplied or divided by 1.3 per step,
// between 1 % and 1600 %.

#include "imaging/ViewGeometry.h"

#include <QPoint>
#include <QPointF>

namespace oxlume {

inline constexpr float kMinZoomFactor = 1.0f;
inline constexpr float kMaxZoomFactor = 1600.0f;

// The next factor up: current x 1.3 worked out in extended precision, rounded to float,
// at most 1600. From 100: 130, 169, 219.7, ... 1378.585, 1600, 1600.
float ZoomInFactor(float current);

// The next factor down: current / 1.3 the same way, at least 1. From 100 it reaches
// about 1.156 after 17 steps and 1 from the 18th.
float ZoomOutFactor(float current);

// The scroll position that keeps the image point shown at anchor (area coordinates, logical
// pixels) under anchor when the view changes from before (at scroll) to after; clamped to
// after's scroll range. An empty view before keeps the centre.
QPoint scrollKeepingPoint(const imaging::ViewGeometry &before, QPoint scroll,
                          const imaging::ViewGeometry &after, QPointF anchor);

} // namespace oxlume
