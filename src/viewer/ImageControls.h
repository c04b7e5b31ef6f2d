#pragma once
// The image controls panel: how the shown image is painted (fit, 100 %, zoom steps) and
// what is painted (brightness, contrast, flips, rotation). Painting changes go straight to
// the image area; every other change asks the window to rebuild the shown image from its
// unadjusted copy.

#include "viewer/Adjustments.h"

#include <QObject>

#include <QPointF>

#include <functional>
#include <optional>
#include <vector>

class QLabel;
class QSlider;
class QToolButton;
class QWidget;

namespace oxlume {

namespace imaging {
class TImager;
}

// Checkable tool buttons of which at most one is pressed, and all may be up: pressing one
// releases the others, clicking the pressed one releases it. A button's new state (and the
// release of the others) is in place before its clicked() handlers run.
class SpeedButtonGroup : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Makes the button checkable and a member; a button belongs to one group at most.
    void addButton(QToolButton *button);
    const std::vector<QToolButton *> &buttons() const { return m_buttons; }
    // The pressed button, or null when all are up.
    QToolButton *checkedButton() const;

private:
    void buttonToggled(QToolButton *button, bool on);

    std::vector<QToolButton *> m_buttons;
};

class ImageControls : public QObject {
    Q_OBJECT
public:
    // Builds panControls (hidden) inside parent. applyAdjustments runs
    // ApplyImageAdjustments with state(); Imager1 must outlive the panel.
    ImageControls(QWidget *parent, imaging::TImager &Imager1,
                  std::function<void()> applyAdjustments);

    // What the controls ask of the shown image. panelVisible is the panel's own flag, so
    // the adjustments still apply while the whole left side is hidden.
    TAdjustmentState state() const;

    void btnStretchClick();
    void btnZoom100Click();
    void btnZoomInClick();
    void btnZoomOutClick();
    // One zoom step in or out that keeps the image point under anchor (image-area viewport
    // coordinates) where it is; the buttons and keys zoom about the centre.
    void zoomStep(bool in, std::optional<QPointF> anchor = std::nullopt);
    void AdjustButtonClick();
    void traBrightnessChange();
    void traContrastChange();

    // The track-bar positions last acted upon; -1 until a track bar first changes.
    int LastBrightnessPosition = -1;
    int LastContrastPosition = -1;

    QWidget *panControls = nullptr;
    QToolButton *btnStretch = nullptr, *btnZoom100 = nullptr, *btnZoomIn = nullptr,
                *btnZoomOut = nullptr, *btnHideControls = nullptr, *btnFlipUD = nullptr,
                *btnFlipRL = nullptr, *btnRotate90 = nullptr, *btnRotate180 = nullptr,
                *btnRotate270 = nullptr;
    QLabel *imgBrightness = nullptr, *imgContrast = nullptr;
    QSlider *traBrightness = nullptr, *traContrast = nullptr;

private:
    void build(QWidget *parent);
    void trackBarChange(QSlider *trackBar, int &lastPosition);
    // Runs change, then scrolls so that the image point at anchor stays put.
    void keepingPoint(std::optional<QPointF> anchor, const std::function<void()> &change);

    imaging::TImager &Imager1;
    std::function<void()> m_applyAdjustments;
    // Buttons that exclude each other: fit and 100 %; the three rotations. Each flip is an
    // on/off switch of its own.
    SpeedButtonGroup m_sizeGroup, m_rotateGroup;
};

} // namespace oxlume
