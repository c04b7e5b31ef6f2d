#pragma once
// Where and how large an image is painted in a view area: fit, 100 % or zoom; scroll ranges
// when it is larger than the area; centred when smaller. Image sizes are in image pixels,
// which at 100 % are device pixels (sharp on high-DPI screens); the area and the scroll
// positions are in logical (device-independent) pixels, as widgets see them.

#include <QPoint>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <algorithm>

namespace oxlume::imaging {

enum class PaintSizeMode {
    ActualSize = 0, // one image pixel per device pixel
    Fit = 3,        // whole image in the area, aspect ratio kept, small images enlarged
    Zoom = 4,       // zoom percent of the actual size
};

class ViewGeometry {
public:
    static constexpr double kMinZoom = 1.0;
    static constexpr double kMaxZoom = 1600.0;

    // zoomPercent is clamped to kMinZoom..kMaxZoom (and used only in Zoom mode);
    // devicePixelRatio <= 0 counts as 1. An empty image gives an empty target.
    ViewGeometry(QSize imageSize, QSize areaSize, double devicePixelRatio, PaintSizeMode mode,
                 double zoomPercent = 100.0);

    // Size of the painted image in device pixels: each side >= 1 for a non-empty image,
    // except in Fit mode with an empty area, where nothing is painted.
    QSize targetDeviceSize() const { return m_target; }
    // Size of the scrollable content in logical pixels (the painted image, rounded up).
    QSize contentSize() const { return m_content; }
    // Largest scroll position per axis; 0 when the image fits along it.
    int maxScrollX() const { return std::max(0, m_content.width() - m_area.width()); }
    int maxScrollY() const { return std::max(0, m_content.height() - m_area.height()); }
    // Where the image goes in the area, in device pixels of the area, for the given scroll
    // position (clamped to the scroll range). Centred along an axis without scrolling.
    QRect targetDeviceRect(QPoint scroll) const;
    // The same in logical pixels, for the painter.
    QRectF targetRect(QPoint scroll) const;
    // True when the painted image is smaller than the image in both directions, so an
    // area-averaged reduction applies; false for 1:1 and enlargements.
    bool isReduction() const;
    // Scale from image pixels to device pixels, horizontally.
    double scale() const;

    QSize imageSize() const { return m_image; }
    QSize areaSize() const { return m_area; }
    double devicePixelRatio() const { return m_dpr; }

private:
    QSize m_image;
    QSize m_area;
    double m_dpr = 1.0;
    QSize m_target;
    QSize m_content;
};

} // namespace oxlume::imaging
