#pragma once
// TImager: the imaging control. One class serves as the painting image area (Imager1) and
// as the windowless decoder and keeper of the unadjusted copy (a TImager never shown is
// windowless: it only holds an image).
//
// Threads. An instance is used by one thread at a time (the program serialises the decoder
// instance with its own lock). The image and the load settings live in an ImageState, which
// holds no widget state, so another thread than the one that created the instance may call
// exactly these: LoadFile, BitmapList / setBitmapList, BitmapListCount,
// EnableProgressEvent / setEnableProgressEvent, setOnProgressStatus and the five transforms.
// Called from such a thread they change the image only and never touch the widget; the
// view of that instance catches up at the next change made on its own thread.
// Everything else (painting properties, AutoRepaint, BackColor) belongs to the creating
// thread. Reductions of large images for painting run on Qt's global thread pool on a copy
// of the image handle; their result comes back to the creating thread as a queued call.
//
// Events: OnProgressStatus is a callback run directly on the loading thread. The widget
// events are signals: clicked (OnClick), doubleClicked (OnDblClick), entered (OnEnter,
// focus gained), keyPressed (OnKeyPress), mouseMoved (OnMouseMove); imagePainted follows
// every paint that drew an image (for start-up measurements).

#include "imaging/ImageState.h"
#include "imaging/Scaler.h"
#include "imaging/ViewGeometry.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QImage>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

    // --- Callable from the loading thread (see above) ---

    // Loads a regular file, format by content. On success the instance holds the complete
    // image. On failure it holds no image and ProgramError is raised with a message naming
    // the file and the reason; a load silenced through EnableProgressEvent may stop early
    // and fail that way. The three numbers are accepted and ignored. Returns 0.
    int16_t LoadFile(const std::string &path, int16_t = 0, int16_t = 0, int16_t = 1);

    bool EnableProgressEvent() const { return m_state.progressEnabled(); }
    void setEnableProgressEvent(bool enable) { m_state.setProgressEnabled(enable); }
    void setOnProgressStatus(ProgressHandler handler);

    // 1 while the instance holds an image, else 0.
    int16_t BitmapListCount() const { return m_state.isEmpty() ? 0 : 1; }
    // The held image as an implicitly shared handle: copying it is O(1), and a later
    // transform of either holder never changes the other. Null when empty.
    QImage BitmapList() const;
    void setBitmapList(const QImage &image);
    void setBitmapList(std::nullptr_t) { setBitmapList(QImage()); }

    // Transforms of the held image (nothing happens without one). Brightness and contrast
    // run -1000..1000 (clamped); the angle is in hundredths of a degree, clockwise, a
    // multiple of 9000, else ProgramError. Each returns 0. While AutoRepaint is off they are
    // only recorded, and applied in one pass when the image is next needed (BitmapList, or
    // AutoRepaint on again): see ImageState.
    int16_t ChangeBrightness(int16_t value);
    int16_t ChangeContrast(int16_t value);
    int16_t FlipTopBottom();
    int16_t FlipLeftRight();
    int16_t RotateImage(int32_t angle, bool = true, int32_t = 0);

    // --- Creating thread only ---

    // false: changes are not painted; true again: painted once with all changes (never
    // throws, so it can be restored from a destructor).
    bool AutoRepaint() const { return !m_state.isDeferring(); }
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
    qint64 backgroundScaleFrom() const { return m_backgroundScaleFrom; }
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
    bool onOwnerThread() const;
    void paintReduced(QPainter &painter, const QRect &target);
    void startBackgroundScale(QSize size);
    static void runScaleJob();
    Q_INVOKABLE void backgroundScaleLanded();

    ImageState m_state;        // what a loading thread may touch: no widget state in here
    const void *m_ownerThread; // QThread that created the instance

    // Painting state, owner thread only.
    QImage m_shown; // the image as last painted; lags m_state while AutoRepaint is off
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
