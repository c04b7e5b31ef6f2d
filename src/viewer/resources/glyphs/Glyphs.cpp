#include "viewer/resources/glyphs/Glyphs.h"

#include <QAbstractButton>
#include <QIconEngine>
#include <QLabel>
#include <QPainter>
#include <QVariant>

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

namespace oxlume {

namespace {

constexpr char kGlyphProperty[] = "oxlumeGlyph";
constexpr char kGlyphSizeProperty[] = "oxlumeGlyphSize";

// Renders the artwork and fills its shape with one colour.
class TintedIconEngine : public QIconEngine {
public:
    TintedIconEngine(QIcon base, QColor colour, QColor disabled)
        : m_base(std::move(base))
        , m_colour(colour)
        , m_disabled(disabled)
    {
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        QPixmap pixmap = m_base.pixmap(size, scale, QIcon::Normal, state);
        if (pixmap.isNull())
            return pixmap;
        QPainter painter(&pixmap);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRect(QPoint(0, 0), pixmap.deviceIndependentSize().toSize()),
                         mode == QIcon::Disabled ? m_disabled : m_colour);
        return pixmap;
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, scale));
    }

    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return m_base.actualSize(size, mode, state);
    }

    QIconEngine *clone() const override
    {
        return new TintedIconEngine(m_base, m_colour, m_disabled);
    }

private:
    QIcon m_base;
    QColor m_colour;
    QColor m_disabled;
};

QIcon tintedIcon(Glyph glyph, const QColor &colour, const QColor &disabledColour)
{
    return QIcon(new TintedIconEngine(glyphIcon(glyph), colour, disabledColour));
}

void setGlyph(QAbstractButton *button, Glyph glyph, const QPalette &palette)
{
    button->setProperty(kGlyphProperty, int(glyph));
    button->setIcon(glyphIcon(glyph, palette.color(QPalette::Active, QPalette::ButtonText),
                              palette.color(QPalette::Disabled, QPalette::ButtonText)));
}

void setGlyph(QLabel *label, Glyph glyph, QSize size, const QPalette &palette)
{
    label->setProperty(kGlyphProperty, int(glyph));
    label->setProperty(kGlyphSizeProperty, size);
    label->setPixmap(glyphIcon(glyph, palette.color(QPalette::Active, QPalette::WindowText),
                               palette.color(QPalette::Disabled, QPalette::WindowText))
                         .pixmap(size, label->devicePixelRatioF()));
}

} // namespace

QIcon glyphIcon(Glyph glyph, const QColor &colour, const QColor &disabledColour)
{
    return tintedIcon(glyph, colour, disabledColour);
}

void setGlyph(QAbstractButton *button, Glyph glyph)
{
    setGlyph(button, glyph, button->palette());
}

void setGlyph(QLabel *label, Glyph glyph, QSize size)
{
    setGlyph(label, glyph, size, label->palette());
}

void retintGlyphs(QWidget *root)
{
    // The children's palettes may not have followed yet when root hears of the change:
    // take root's, which they inherit.
    const QPalette &palette = root->palette();
    const auto glyphOf = [](const QObject *object) {
        return Glyph(object->property(kGlyphProperty).toInt());
    };
    for (QAbstractButton *button : root->findChildren<QAbstractButton *>())
        if (button->property(kGlyphProperty).isValid())
            setGlyph(button, glyphOf(button), palette);
    for (QLabel *label : root->findChildren<QLabel *>())
        if (label->property(kGlyphProperty).isValid())
            setGlyph(label, glyphOf(label), label->property(kGlyphSizeProperty).toSize(), palette);
}

} // namespace oxlume
