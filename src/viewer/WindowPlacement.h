#pragma once
// Where the main window opens: about two thirds of the screen, centred, on a first start;
// afterwards where it was at the last close (position, size, maximised), pulled back onto a
// screen when that place is on none of the current ones. Stored as one settings text,
// "x,y,width,height,maximised".

#include <QList>
#include <QRect>

#include <optional>
#include <string>

namespace oxlume {

struct SavedPlacement {
    QRect geometry; // the normal (not maximised) frame-less geometry
    bool maximised = false;
};

// Two thirds of the available area in each direction, centred, never below minimum.
QRect firstStartGeometry(const QRect &available, QSize minimum);

std::string formatPlacement(const SavedPlacement &placement);
// nullopt for text that is not five integers with a positive size.
std::optional<SavedPlacement> parsePlacement(const std::string &text);

// geometry unchanged when at least a 64 x 64 part of it lies on one of the screens' available
// areas and it is no larger than the one that shows most of it; a larger one is shrunk and
// moved onto that screen. On no screen: moved (and shrunk where needed) onto the first of
// them, centred there.
QRect pulledOnScreen(const QRect &geometry, const QList<QRect> &screens);

// geometry shrunk to area's size where larger, then moved the least distance into area.
QRect keptInside(const QRect &geometry, const QRect &area);

} // namespace oxlume
