#include "imaging/ViewGeometry.h"

#include <cmath>
#include <cstdint>

namespace oxlume::imaging {

namespace {

int roundedQuotient(int64_t num, int64_t den)
{
    return int((2 * num + den) / (2 * den));
}

int ceilLogical(int device, double dpr)
{
    // A hair of tolerance so that 3000 device pixels at 1.5 give 2000, not 2001.
    return int(std::ceil(device / dpr - 1e-9));
}

} // namespace

ViewGeometry::ViewGeometry(QSize imageSize, QSize areaSize, double devicePixelRatio,
                           PaintSizeMode mode, double zoomPercent)
    : m_image(imageSize)
    , m_area(areaSize.expandedTo(QSize(0, 0)))
    , m_dpr(devicePixelRatio > 0 && std::isfinite(devicePixelRatio) ? devicePixelRatio : 1.0)
{
    if (m_image.isEmpty())
        return;
    const int64_t iw = m_image.width();
    const int64_t ih = m_image.height();
    switch (mode) {
    case PaintSizeMode::Fit: {
        // Whole device pixels inside the area: rounding an odd area up at ratio 1.5 would
        // make the image a pixel wider than the area and bring up a scroll bar.
        const auto inside = [this](int logical) {
            return static_cast<int64_t>(std::floor(logical * m_dpr + 1e-9));
        };
        const int64_t aw = inside(m_area.width());
        const int64_t ah = inside(m_area.height());
        if (aw <= 0 || ah <= 0)
            return;
        // The side that limits the scale fills the area exactly; the other is rounded.
        if (iw * ah >= ih * aw)
            m_target = QSize(int(aw), std::max(1, roundedQuotient(ih * aw, iw)));
        else
            m_target = QSize(std::max(1, roundedQuotient(iw * ah, ih)), int(ah));
        break;
    }
    case PaintSizeMode::Zoom: {
        const double z =
            std::isfinite(zoomPercent) ? std::clamp(zoomPercent, kMinZoom, kMaxZoom) : 100.0;
        m_target = QSize(int(std::max<int64_t>(1, std::llround(double(iw) * z / 100.0))),
                         int(std::max<int64_t>(1, std::llround(double(ih) * z / 100.0))));
        break;
    }
    case PaintSizeMode::ActualSize:
    default: m_target = m_image; break;
    }
    m_content = QSize(ceilLogical(m_target.width(), m_dpr), ceilLogical(m_target.height(), m_dpr));
}

QRect ViewGeometry::targetDeviceRect(QPoint scroll) const
{
    if (m_target.isEmpty())
        return {};
    const auto place = [&](int content, int area, int target, int scrollPos, int maxScroll) {
        if (content <= area) {
            const int64_t areaDevice = std::llround(area * m_dpr);
            return int((areaDevice - target) / 2);
        }
        return -int(std::llround(std::clamp(scrollPos, 0, maxScroll) * m_dpr));
    };
    const int x =
        place(m_content.width(), m_area.width(), m_target.width(), scroll.x(), maxScrollX());
    const int y =
        place(m_content.height(), m_area.height(), m_target.height(), scroll.y(), maxScrollY());
    return QRect(QPoint(x, y), m_target);
}

QRectF ViewGeometry::targetRect(QPoint scroll) const
{
    const QRect r = targetDeviceRect(scroll);
    return QRectF(r.x() / m_dpr, r.y() / m_dpr, r.width() / m_dpr, r.height() / m_dpr);
}

bool ViewGeometry::isReduction() const
{
    return !m_target.isEmpty() && m_target.width() <= m_image.width() &&
           m_target.height() <= m_image.height() && m_target != m_image;
}

double ViewGeometry::scale() const
{
    return m_image.isEmpty() ? 0.0 : double(m_target.width()) / m_image.width();
}

} // namespace oxlume::imaging
