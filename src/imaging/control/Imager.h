#pragma once
// TImager: the imaging control that paints (Imager1). Its image lives in a WindowlessImager
// it owns, the same class as the windowless DecoderImager and UnadjustedImager; this class
// adds the window: painting properties, scrolling and the mouse and key events.
//
// Threads. A TImager is a widget and belongs to the thread that created it, like any other:
// loading threads get a WindowlessImager, never one of these. Reductions of large images
// for painting run on Qt's global thread pool on a copy of the image handle; their result
// comes back to the creating thread as a queued call.
//
// Events: OnProgressStatus is a callback run directly on the loading thread. The widget
// events are signals: clicked (OnClick), doubleClicked (OnDblClick), entered (OnEnter,
// focus gained), keyPressed (OnKeyPress), mouseMoved (OnMouseMove); imagePainted follows
// every paint that drew an image (for start-up measurements).

#include "imaging/Scaler.h"
#include "imaging/ViewGeometry.h"
#include "imaging/WindowlessImager.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QImage>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QPainter;

namespace oxlume::imaging {

class TImager : public QAbstractScrollArea {
    Q_OBJECT
public:
    // iPercent grows during a load; 100 is sent once, after the image is complete.
    using ProgressHandler = std::function<void(TImager *sender, int16_t iPercent)>;

    explicit TImager(QWidget *parent = nullptr);
    ~TImager() override;

    // As WindowlessImager's, then shown. LoadFile raises ProgramError "<path>: <reason>";
    // load gives the path and the reason back as a value.
    [[nodiscard]] std::optional<LoadFailure> load(const std::string &path);
    int16_t LoadFile(const std::string &path, int16_t = 0, int16_t = 0, int16_t = 1);

    bool EnableProgressEvent() const { return m_image.EnableProgressEvent(); }
    void setEnableProgressEvent(bool enable) { m_image.setEnableProgressEvent(enable); }
    void setOnProgressStatus(ProgressHandler handler);

    int16_t BitmapListCount() const { return m_image.BitmapListCount(); }
    QImage BitmapList() const { return m_image.BitmapList(); }
    void setBitmapList(const QImage &image);
    void setBitmapList(std::nullptr_t) { setBitmapList(QImage()); }
    // The same, with what the load made ready beside it: the reduction for the fit area is
    // painted at once, and a reduced decode (ready.fullSize set) stands in for the whole,
    // which gives the geometry: at 100 % it is painted enlarged to the whole's size, never
    // as if it were the whole, and fullImageWanted asks for the whole. Transforms keep the
    // stand-in; setting another image ends it.
    void setBitmapList(const QImage &image, const PaintReady &ready);
    bool isStandIn() const { return m_standIn.key != 0; }
    // The size the shown image has in the view: the whole's for a stand-in.
    QSize shownSize() const;
    // Where images are shown fitted now, for decoding ahead; none unless in fit mode.
    std::optional<FitArea> fitArea() const;

    // As WindowlessImager's. While AutoRepaint is off they are only recorded, and applied in
    // one pass when the image is next needed (BitmapList, or AutoRepaint on again): see
    // ImageState.
    int16_t ChangeBrightness(int16_t value);
    int16_t ChangeContrast(int16_t value);
    int16_t FlipTopBottom();
    int16_t FlipLeftRight();
    int16_t RotateImage(int32_t angle, bool = true, int32_t = 0);

    // false: changes are not painted; true again: painted once with all changes (never
    // throws, so it can be restored from a destructor).
    bool AutoRepaint() const { return !m_image.state().isDeferring(); }
    void setAutoRepaint(bool on);

    // 0 actual size, 3 fit, 4 zoom by PaintZoomFactor; other values raise ProgramError.
    int16_t PaintSizeMode() const { return int16_t(m_mode); }
    void setPaintSizeMode(int16_t mode);
    // Percent, kept within 1..1600; a value that is not a number raises ProgramError.
    float PaintZoomFactor() const { return m_zoom; }
    void setPaintZoomFactor(float percent);

    QColor BackColor() const { return m_backColor; }
    void setBackColor(const QColor &color);

    // Where the shown image is painted now.
    ViewGeometry viewGeometry() const;
    // Number of area-averaged reductions made for painting (cache misses).
    int scaleCount() const { return m_cache.scaleCount(); }

    // Images of at least this many pixels are reduced for painting on a worker: until the
    // smooth copy lands, a cache miss paints a quick sampled reduction, so the first paint
    // of a large photo never stalls the window. Smaller images reduce at once, in the paint
    // itself. 0 sends every reduction to the worker; default kBackgroundScaleFrom.
    static constexpr qint64 kBackgroundScaleFrom = 4'000'000;
    void setBackgroundScaleFrom(qint64 pixels)
    {
        m_backgroundScaleFrom = std::max<qint64>(0, pixels);
    }
    // True while a reduction runs on the worker.
    bool isScalingInBackground() const { return m_scaleInFlight; }

signals:
    void clicked();
    void doubleClicked();
    void entered();
    void keyPressed(const QString &text);
    void mouseMoved(QPoint position, Qt::KeyboardModifiers modifiers);
    void imagePainted();
    // A stand-in is about to be painted larger than it is (100 %, zoom, a larger area):
    // the whole image is wanted. Once per stand-in, queued.
    void fullImageWanted();
    // The fit area or the paint mode changed (see fitArea).
    void fitAreaChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;

public:
    // Lets a worker's result find this instance, or learn that it is gone (Imager.cpp).
    struct ScaleChannel;

private:
    void imageChanged();
    void refreshView(bool keepCentre);
    void updateScrollBars();
    QPoint scrollPosition() const;
    void paintReduced(QPainter &painter, const QRect &target);
    void startBackgroundScale(QSize size);
    static void runScaleJob();
    Q_INVOKABLE void backgroundScaleLanded();

    void setImage(const QImage &image, const PaintReady *ready);

    WindowlessImager m_image;
    struct StandIn {
        qint64 key = 0; // the reduced decode as set; 0: the image is the whole
        QSize size;     // its size, and the whole's, both as set (transforms may turn them)
        QSize full;
        bool asked = false; // fullImageWanted sent
    };
    StandIn m_standIn;
    QSize m_upgradeFrom; // shown size of the stand-in just replaced: its view stays

    QImage m_shown; // the image as last painted; lags m_image while AutoRepaint is off
    ScaledImageCache m_cache;
    qint64 m_backgroundScaleFrom = kBackgroundScaleFrom;
    bool m_scaleInFlight = false; // at most one worker reduction per instance at a time
    qint64 m_failedKey = 0;       // image whose reduction could not be made (memory)
    std::shared_ptr<ScaleChannel> m_scaleChannel;
    imaging::PaintSizeMode m_mode = imaging::PaintSizeMode::Fit;
    float m_zoom = 100.0f;
    QColor m_backColor;
    QPoint m_pressPos;
    bool m_dragged = false;
};

} // namespace oxlume::imaging
