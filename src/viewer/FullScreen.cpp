#include "viewer/FullScreen.h"

#include "imaging/control/Imager.h"

#include <QWidget>

namespace oxlume {

FullScreenPresentation::FullScreenPresentation(QWidget &window, imaging::TImager &area)
    : m_window(window)
    , m_area(area)
{
}

void FullScreenPresentation::enter()
{
    if (m_active)
        return;
    m_active = true;
    m_wasMaximised = m_window.isMaximized();
    m_normalGeometry = m_window.normalGeometry();
    m_background = m_area.BackColor();
    m_area.setBackColor(Qt::black);
    m_window.showFullScreen();
}

void FullScreenPresentation::leave()
{
    if (!m_active)
        return;
    m_active = false;
    m_area.setBackColor(m_background);
    if (m_wasMaximised) {
        m_window.showMaximized();
    } else {
        m_window.showNormal();
        if (m_normalGeometry.isValid())
            m_window.setGeometry(m_normalGeometry);
    }
}

} // namespace oxlume
