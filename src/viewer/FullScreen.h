#pragma once
// Full-screen presentation of a window, for F11 and for the slide show: entering remembers
// how the window was shown (maximised, or its normal geometry), covers the screen and paints
// the image area black; leaving puts all of it back.

#include <QColor>
#include <QRect>

class QWidget;

namespace oxlume {

namespace imaging {
class TImager;
}

class FullScreenPresentation {
public:
    // Both must outlive this object.
    FullScreenPresentation(QWidget &window, imaging::TImager &area);

    bool isActive() const { return m_active; }
    // While active: whether the window was maximised before.
    bool wasMaximised() const { return m_wasMaximised; }
    // Nothing happens when already active, or not active for leave().
    void enter();
    void leave();

private:
    QWidget &m_window;
    imaging::TImager &m_area;
    bool m_active = false;
    bool m_wasMaximised = false;
    QRect m_normalGeometry;
    QColor m_background;
};

} // namespace oxlume
