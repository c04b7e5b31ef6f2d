#include "viewer/ImageControls.h"

#include "dialogs/Placed.h"
#include "imaging/control/Imager.h"
#include "viewer/SplitterLayout.h"
#include "viewer/ZoomSteps.h"
#include "viewer/resources/glyphs/Glyphs.h"

#include <QCoreApplication>
#include <QLabel>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>

#include <algorithm>

namespace oxlume {

namespace {

// Paint size modes of the image area.
constexpr std::int16_t kPaintActualSize = 0;
constexpr std::int16_t kPaintStretch = 3;
constexpr std::int16_t kPaintZoom = 4;

QToolButton *speedButton(QWidget *parent, const char *name, QRect geometry, Glyph glyph,
                         const char *hint)
{
    auto *button = placed<QToolButton>(parent, name, geometry);
    setGlyph(button, glyph);
    // Leave the button's frame visible around the picture.
    const int side = std::min(geometry.width(), geometry.height()) - 4;
    button->setIconSize(geometry.width() < 16 ? geometry.size() : QSize(side, side));
    button->setToolTip(QString::fromLatin1(hint));
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

// --- SpeedButtonGroup -------------------------------------------------------------------

void SpeedButtonGroup::addButton(QToolButton *button)
{
    button->setCheckable(true);
    m_buttons.push_back(button);
    // toggled() comes before clicked(), so the others are released before any click
    // handler looks at the group; programmatic setChecked(true) releases them as well.
    connect(button, &QToolButton::toggled, this,
            [this, button](bool on) { buttonToggled(button, on); });
}

QToolButton *SpeedButtonGroup::checkedButton() const
{
    for (QToolButton *button : m_buttons)
        if (button->isChecked())
            return button;
    return nullptr;
}

void SpeedButtonGroup::buttonToggled(QToolButton *button, bool on)
{
    if (!on)
        return;
    for (QToolButton *other : m_buttons)
        if (other != button)
            other->setChecked(false);
}

// --- ImageControls ----------------------------------------------------------------------

ImageControls::ImageControls(QWidget *parent, imaging::TImager &imager1,
                             std::function<void()> applyAdjustments)
    : QObject(parent)
    , Imager1(imager1)
    , m_applyAdjustments(std::move(applyAdjustments))
{
    build(parent);

    m_sizeGroup.addButton(btnStretch);
    m_sizeGroup.addButton(btnZoom100);
    m_rotateGroup.addButton(btnRotate90);
    m_rotateGroup.addButton(btnRotate180);
    m_rotateGroup.addButton(btnRotate270);
    btnFlipUD->setCheckable(true);
    btnFlipRL->setCheckable(true);
    btnStretch->setChecked(true);

    connect(btnStretch, &QToolButton::clicked, this, [this] { btnStretchClick(); });
    connect(btnZoom100, &QToolButton::clicked, this, [this] { btnZoom100Click(); });
    connect(btnZoomIn, &QToolButton::clicked, this, [this] { btnZoomInClick(); });
    connect(btnZoomOut, &QToolButton::clicked, this, [this] { btnZoomOutClick(); });
    for (QToolButton *b : {btnFlipUD, btnFlipRL, btnRotate90, btnRotate180, btnRotate270})
        connect(b, &QToolButton::clicked, this, [this] { AdjustButtonClick(); });
    connect(traBrightness, &QSlider::valueChanged, this, [this] { traBrightnessChange(); });
    connect(traContrast, &QSlider::valueChanged, this, [this] { traContrastChange(); });
}

void ImageControls::build(QWidget *parent)
{
    panControls = new QWidget(parent);
    panControls->setObjectName(QStringLiteral("panControls"));
    panControls->setFixedHeight(kControlsPanelHeight);
    panControls->setVisible(false);
    QWidget *pan = panControls;

    btnStretch = speedButton(pan, "btnStretch", {0, 4, 31, 23}, Glyph::Stretch,
                             "Stretch image to fill space");
    btnZoom100 = speedButton(pan, "btnZoom100", {36, 4, 31, 23}, Glyph::Zoom100,
                             "Zoom to 100% magnification");
    btnZoomIn = speedButton(pan, "btnZoomIn", {76, 4, 31, 23}, Glyph::ZoomIn, "Zoom image in");
    btnZoomOut = speedButton(pan, "btnZoomOut", {112, 4, 31, 23}, Glyph::ZoomOut, "Zoom image out");
    btnHideControls =
        speedButton(pan, "btnHideControls", {156, 4, 11, 10}, Glyph::HideUp, "Hide image controls");

    imgBrightness = placed<QLabel>(pan, "imgBrightness", {1, 36, 17, 17});
    setGlyph(imgBrightness, Glyph::Brightness, QSize(17, 17));
    imgContrast = placed<QLabel>(pan, "imgContrast", {1, 64, 17, 17});
    setGlyph(imgContrast, Glyph::Contrast, QSize(17, 17));
    const auto trackBar = [pan](const char *name, QRect geometry, const char *hint) {
        auto *slider = placed<QSlider>(pan, name, geometry);
        slider->setOrientation(Qt::Horizontal);
        slider->setRange(0, kMaxTrackPosition);
        slider->setValue(kNeutralPosition);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setTickInterval(5);
        slider->setPageStep(5);
        slider->setToolTip(QString::fromLatin1(hint));
        return slider;
    };
    traBrightness =
        trackBar("traBrightness", {19, 32, 130, 21}, "Move slider to adjust brightness");
    traContrast = trackBar("traContrast", {19, 60, 130, 21}, "Move slider to adjust contrast");

    btnFlipUD = speedButton(pan, "btnFlipUD", {0, 88, 23, 23}, Glyph::FlipTopBottom,
                            "Flip image top and bottom");
    btnFlipRL = speedButton(pan, "btnFlipRL", {28, 88, 23, 23}, Glyph::FlipLeftRight,
                            "Flip image right and left");
    btnRotate90 = speedButton(pan, "btnRotate90", {64, 88, 23, 23}, Glyph::Rotate90,
                              "Rotate image 90 degrees");
    btnRotate180 = speedButton(pan, "btnRotate180", {92, 88, 23, 23}, Glyph::Rotate180,
                               "Rotate image 180 degrees");
    btnRotate270 = speedButton(pan, "btnRotate270", {120, 88, 23, 23}, Glyph::Rotate270,
                               "Rotate image 270 degrees");
}

TAdjustmentState ImageControls::state() const
{
    TAdjustmentState state;
    state.panelVisible = !panControls->isHidden();
    state.brightnessPosition = traBrightness->value();
    state.contrastPosition = traContrast->value();
    state.flipUD = btnFlipUD->isChecked();
    state.flipRL = btnFlipRL->isChecked();
    state.rotation = btnRotate90->isChecked()    ? TRotation::Rotate90
                     : btnRotate180->isChecked() ? TRotation::Rotate180
                     : btnRotate270->isChecked() ? TRotation::Rotate270
                                                 : TRotation::None;
    return state;
}

void ImageControls::btnStretchClick()
{
    Imager1.setPaintSizeMode(kPaintStretch);
    btnStretch->setChecked(true); // a click on the pressed button keeps it pressed
}

void ImageControls::btnZoom100Click()
{
    keepingPoint(std::nullopt, [this] { Imager1.setPaintSizeMode(kPaintActualSize); });
    btnZoom100->setChecked(true);
}

void ImageControls::btnZoomInClick()
{
    zoomStep(true);
}

void ImageControls::btnZoomOutClick()
{
    zoomStep(false);
}

void ImageControls::zoomStep(bool in, std::optional<QPointF> anchor)
{
    // Steps go from the stored factor, not from the scale a fitted image happens to have.
    const float current = Imager1.PaintZoomFactor();
    const float factor = in ? ZoomInFactor(current) : ZoomOutFactor(current);
    keepingPoint(anchor, [this, factor] {
        Imager1.setPaintSizeMode(kPaintZoom);
        Imager1.setPaintZoomFactor(factor);
    });
    btnStretch->setChecked(false);
    btnZoom100->setChecked(false);
}

void ImageControls::keepingPoint(std::optional<QPointF> anchor, const std::function<void()> &change)
{
    QWidget *area = Imager1.viewport();
    const QPointF at = anchor.value_or(QPointF(area->width() / 2.0, area->height() / 2.0));
    const imaging::ViewGeometry before = Imager1.viewGeometry();
    const QPoint scroll(Imager1.horizontalScrollBar()->value(),
                        Imager1.verticalScrollBar()->value());
    change();
    // Scroll bars come and go through a queued call, and the area they leave or take is
    // part of the geometry: let them settle before measuring.
    QCoreApplication::sendPostedEvents(&Imager1, QEvent::MetaCall);
    const QPoint kept = scrollKeepingPoint(before, scroll, Imager1.viewGeometry(), at);
    Imager1.horizontalScrollBar()->setValue(kept.x());
    Imager1.verticalScrollBar()->setValue(kept.y());
}

void ImageControls::AdjustButtonClick()
{
    m_applyAdjustments();
}

void ImageControls::traBrightnessChange()
{
    trackBarChange(traBrightness, LastBrightnessPosition);
}

void ImageControls::traContrastChange()
{
    trackBarChange(traContrast, LastContrastPosition);
}

void ImageControls::trackBarChange(QSlider *trackBar, int &lastPosition)
{
    const int position = trackBar->value();
    if (position == lastPosition)
        return;
    lastPosition = position;
    m_applyAdjustments();
    // The rebuild may take a while under the busy cursor: show the new position at once.
    trackBar->repaint();
}

} // namespace oxlume
