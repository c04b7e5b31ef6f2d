#pragma once
// The viewer's own artwork for its image controls, drawn as SVG so that it stays sharp at
// any screen pixel ratio.

#include <QIcon>
#include <QSize>

class QAbstractButton;
class QLabel;
class QWidget;

namespace oxlume {

enum class Glyph {
    Stretch, // fit the image to the area
    Zoom100, // actual size
    ZoomIn,
    ZoomOut,
    FlipTopBottom,
    FlipLeftRight,
    Rotate90,
    Rotate180,
    Rotate270,
    HideUp,     // 11 x 10: hide a panel at the top
    HideDown,   // 11 x 10: hide a panel at the bottom
    ShowDown,   // 37 x 6: strip that brings back the panel above it
    ShowUp,     // 37 x 6: strip that brings back the panel below it
    Brightness, // 17 x 17
    Contrast,   // 17 x 17
};

// The glyph's resource path (":/glyphs/...").
QString glyphPath(Glyph glyph);

// The glyph as an icon; the first call registers the resources of this static library.
QIcon glyphIcon(Glyph glyph);

// The glyph drawn in colour (its shape's coverage kept), so that it reads on any theme;
// disabled in disabledColour.
QIcon glyphIcon(Glyph glyph, const QColor &colour, const QColor &disabledColour);

// Gives the button or label the glyph in the colour of its palette's button text (labels:
// window text), and remembers the glyph so that retintGlyphs can draw it again.
void setGlyph(QAbstractButton *button, Glyph glyph);
void setGlyph(QLabel *label, Glyph glyph, QSize size);
// Draws every glyph set with setGlyph below root again from the current palettes; for a
// change of theme.
void retintGlyphs(QWidget *root);

} // namespace oxlume
