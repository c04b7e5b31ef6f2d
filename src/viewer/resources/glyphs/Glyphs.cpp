#include "viewer/resources/glyphs/Glyphs.h"

static void initGlyphResources()
{
    // The glyphs live in a static library: register them explicitly.
    Q_INIT_RESOURCE(glyphs);
}

namespace oxlume {

QString glyphPath(Glyph glyph)
{
    const char *name = "stretch";
    switch (glyph) {
    case Glyph::Stretch: name = "stretch"; break;
    case Glyph::Zoom100: name = "zoom-100"; break;
    case Glyph::ZoomIn: name = "zoom-in"; break;
    case Glyph::ZoomOut: name = "zoom-out"; break;
    case Glyph::FlipTopBottom: name = "flip-top-bottom"; break;
    case Glyph::FlipLeftRight: name = "flip-left-right"; break;
    case Glyph::Rotate90: name = "rotate-90"; break;
    case Glyph::Rotate180: name = "rotate-180"; break;
    case Glyph::Rotate270: name = "rotate-270"; break;
    case Glyph::HideUp: name = "hide-up"; break;
    case Glyph::HideDown: name = "hide-down"; break;
    case Glyph::ShowDown: name = "show-down"; break;
    case Glyph::ShowUp: name = "show-up"; break;
    case Glyph::Brightness: name = "brightness"; break;
    case Glyph::Contrast: name = "contrast"; break;
    }
    return QStringLiteral(":/glyphs/") + QLatin1String(name) + QStringLiteral(".svg");
}

QIcon glyphIcon(Glyph glyph)
{
    static const bool registered = [] {
        initGlyphResources();
        return true;
    }();
    (void)registered;
    return QIcon(glyphPath(glyph));
}

} // namespace oxlume
