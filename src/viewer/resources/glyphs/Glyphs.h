#pragma once
// The viewer's own artwork for its image controls, drawn as SVG so that it stays sharp at
// any screen pixel ratio.

#include <QIcon>

namespace oxlume {

enum class Glyph {
    Stretch,        // fit the image to the area
    Zoom100,        // actual size
    ZoomIn,
    ZoomOut,
    FlipTopBottom,
    FlipLeftRight,
    Rotate90,
    Rotate180,
    Rotate270,
    HideUp,         // 11 x 10: hide a panel at the top
    HideDown,       // 11 x 10: hide a panel at the bottom
    ShowDown,       // 37 x 6: strip that brings back the panel above it
    ShowUp,         // 37 x 6: strip that brings back the panel below it
    Brightness,     // 17 x 17
    Contrast,       // 17 x 17
};

// The glyph's resource path (":/glyphs/...").
QString glyphPath(Glyph glyph);

// The glyph as an icon; the first call registers the resources of this static library.
QIcon glyphIcon(Glyph glyph);

} // namespace oxlume
