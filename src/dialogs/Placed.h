#pragma once
// Fixed-position children, as the dialogs and the window's left side lay them out: a named
// widget at a given place inside its parent.

#include <QRect>
#include <QString>
#include <QWidget>

namespace oxlume {

template<typename Widget>
Widget *placed(QWidget *parent, const char *name, QRect geometry)
{
    auto *widget = new Widget(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

} // namespace oxlume
