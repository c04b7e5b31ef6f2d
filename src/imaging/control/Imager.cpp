#include "imaging/control/Imager.h"

#include "imaging/PoolJobs.h"
#include "platform/Errors.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScrollBar>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>

namespace oxlume::imaging {

namespace {

// Zoomed enlargements by less than this use bilinear smoothing; from here on each image
// pixel becomes a visible block, which is what one zooms in for. Fit always smooths.
constexpr double kNearestFromScale = 2.0;
constexpr int kScrollStep = 20;

} // namespace

// Shared between an instance and the reduction it started on the worker. Work and result
// pass through it under its mutex, never inside Qt's queues, so that the thread checker sees
// every hand-over (Qt's own locks are invisible to it). A worker posts the landing only while
// `imager` is set, and the destructor clears it under the same lock: a landing is either
// queued before the instance goes (and dropped by ~QObject with its other posted events) or
// never sent.
struct TImager::ScaleChannel {
    struct Job {
        QImage image; // the source on the way out, the reduction on the way back
        qint64 key = 0;
        QSize size;
    };
    std::mutex mutex;
    TImager *imager = nullptr;
    Job job;
    std::optional<Job> done;
    // The image being shown; a waiting reduction of another image is skipped unstarted.
    std::atomic<qint64> shownKey{0};
};

TImager::TImager(QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_scaleChannel(std::make_shared<ScaleChannel>())
{
    m_scaleChannel->imager = this;
    setFrameShape(QFrame::NoFrame);
    viewport()->setMouseTracking(true);
    // The paint event covers every pixel; Qt need not clear the area first.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    m_backColor = palette().color(QPalette::Dark);
    horizontalScrollBar()->setSingleStep(kScrollStep);
    verticalScrollBar()->setSingleStep(kScrollStep);
}

TImager::~TImager()
{
    const std::lock_guard<std::mutex> lock(m_scaleChannel->mutex);
    m_scaleChannel->imager = nullptr;
}

void TImager::setOnProgressStatus(ProgressHandler handler)
{
    if (!handler) {
        m_image.setOnProgressStatus(nullptr);
        return;
    }
    m_image.setOnProgressStatus(
        [this, handler = std::move(handler)](WindowlessImager *, int16_t percent) {
            handler(this, percent);
        });
}

std::optional<LoadFailure> TImager::load(const std::string &path)
{
    // The painted copy goes with the image before the next is decoded (nothing paints
    // until the load returns); while AutoRepaint is off it must stay, as the picture shown.
    if (AutoRepaint()) {
        m_shown = QImage();
        m_cache.clear();
        m_scaleChannel->shownKey.store(0);
    }
    m_standIn = {};
    m_upgradeFrom = {};
    std::optional<LoadFailure> failure = m_image.load(path);
    imageChanged(); // a failed load emptied the instance
    return failure;
}

int16_t TImager::LoadFile(const std::string &path, int16_t, int16_t, int16_t)
{
    if (const std::optional<LoadFailure> failure = load(path))
        throw ProgramError(failure->message());
    return 0;
}

void TImager::setBitmapList(const QImage &image)
{
    setImage(image, nullptr);
}

void TImager::setBitmapList(const QImage &image, const PaintReady &ready)
{
    setImage(image, &ready);
}

void TImager::setImage(const QImage &image, const PaintReady *ready)
{
    const qint64 key = image.cacheKey();
    if (ready && !ready->reduced.isNull() && !image.isNull())
        m_cache.store(key, ready->reduced.size(), ready->reduced);
    if (ready && !image.isNull() && !ready->fullSize.isEmpty() && ready->fullSize != image.size())
        m_standIn = StandIn{key, image.size(), ready->fullSize, false};
    else if (isStandIn() && key != m_standIn.key) {
        // The whole replacing its stand-in keeps the view as it is (scroll position).
        m_upgradeFrom = shownSize();
        m_standIn = {};
    }
    m_image.setBitmapList(image);
    imageChanged();
}

QSize TImager::shownSize() const
{
    if (isStandIn()) {
        if (m_shown.size() == m_standIn.size)
            return m_standIn.full;
        if (m_shown.size() == m_standIn.size.transposed())
            return m_standIn.full.transposed();
    }
    return m_shown.size();
}

std::optional<FitArea> TImager::fitArea() const
{
    if (m_mode != imaging::PaintSizeMode::Fit)
        return std::nullopt;
    return FitArea{viewport()->size(), viewport()->devicePixelRatioF()};
}

int16_t TImager::ChangeBrightness(int16_t value)
{
    if (m_image.state().changeBrightness(value))
        imageChanged();
    return 0;
}

int16_t TImager::ChangeContrast(int16_t value)
{
    if (m_image.state().changeContrast(value))
        imageChanged();
    return 0;
}

int16_t TImager::FlipTopBottom()
{
    if (m_image.state().flipTopBottom())
        imageChanged();
    return 0;
}

int16_t TImager::FlipLeftRight()
{
    if (m_image.state().flipLeftRight())
        imageChanged();
    return 0;
}

int16_t TImager::RotateImage(int32_t angle, bool, int32_t)
{
    if (m_image.state().rotate(angle))
        imageChanged();
    return 0;
}

void TImager::setAutoRepaint(bool on)
{
    const bool wasOff = m_image.state().isDeferring();
    m_image.state().setDeferring(!on);
    if (on && wasOff)
        refreshView(false);
}

void TImager::setPaintSizeMode(int16_t mode)
{
    if (mode != 0 && mode != 3 && mode != 4)
        throw ProgramError("PaintSizeMode " + std::to_string(mode) + " is not one of 0, 3 and 4");
    const bool changed = m_mode != imaging::PaintSizeMode(mode);
    m_mode = imaging::PaintSizeMode(mode);
    refreshView(true);
    if (changed)
        emit fitAreaChanged();
}

void TImager::setPaintZoomFactor(float percent)
{
    if (!std::isfinite(percent))
        throw ProgramError("PaintZoomFactor is not a number");
    m_zoom = float(std::clamp<double>(percent, ViewGeometry::kMinZoom, ViewGeometry::kMaxZoom));
    refreshView(true);
}

void TImager::setBackColor(const QColor &color)
{
    m_backColor = color;
    if (AutoRepaint())
        viewport()->update();
}

ViewGeometry TImager::viewGeometry() const
{
    return ViewGeometry(shownSize(), viewport()->size(), viewport()->devicePixelRatioF(), m_mode,
                        m_zoom);
}

void TImager::imageChanged()
{
    if (AutoRepaint())
        refreshView(false);
}

// Shows the current image and settings; keepCentre keeps the point in the middle of the
// area in the middle across a change of scale.
void TImager::refreshView(bool keepCentre)
{
    if (!AutoRepaint())
        return;
    QImage image;
    try {
        image = m_image.BitmapList();
    } catch (const std::exception &) {
        // Switching AutoRepaint back on must not fail (callers do it in destructors): short
        // of memory for the adjusted copy, the image is shown unadjusted.
        image = m_image.BitmapList();
    }
    double fx = 0.5, fy = 0.5;
    if (keepCentre) {
        const ViewGeometry before = viewGeometry();
        const QSize c = before.contentSize();
        if (c.width() > 0 && c.height() > 0) {
            fx = (scrollPosition().x() + viewport()->width() / 2.0) / c.width();
            fy = (scrollPosition().y() + viewport()->height() / 2.0) / c.height();
        }
    }
    const bool newImage = m_shown.cacheKey() != image.cacheKey();
    m_shown = std::move(image);
    m_scaleChannel->shownKey.store(m_shown.cacheKey());
    const bool upgrade = m_upgradeFrom.isValid() && m_upgradeFrom == shownSize();
    m_upgradeFrom = {};
    updateScrollBars();
    if (keepCentre || (newImage && !upgrade)) {
        const QSize c = viewGeometry().contentSize();
        horizontalScrollBar()->setValue(
            int(std::lround(fx * c.width() - viewport()->width() / 2.0)));
        verticalScrollBar()->setValue(
            int(std::lround(fy * c.height() - viewport()->height() / 2.0)));
    }
    viewport()->update();
}

void TImager::updateScrollBars()
{
    const ViewGeometry g = viewGeometry();
    horizontalScrollBar()->setRange(0, g.maxScrollX());
    verticalScrollBar()->setRange(0, g.maxScrollY());
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width()));
    verticalScrollBar()->setPageStep(std::max(1, viewport()->height()));
}

QPoint TImager::scrollPosition() const
{
    return QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
}

void TImager::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const ViewGeometry g = viewGeometry();
    const QRect target = g.targetDeviceRect(scrollPosition());
    const double dpr = g.devicePixelRatio();
    if (m_shown.isNull() || target.isEmpty()) {
        painter.fillRect(event->rect(), m_backColor);
        return;
    }
    // Drawn in device pixels, so that 1:1 and reduced images map one pixel to one pixel.
    painter.scale(1.0 / dpr, 1.0 / dpr);
    const QRect deviceArea(QPoint(0, 0), (QSizeF(viewport()->size()) * dpr).toSize());
    if (m_shown.hasAlphaChannel()) {
        painter.fillRect(deviceArea, m_backColor);
    } else {
        for (const QRect &r : QRegion(deviceArea).subtracted(QRegion(target)))
            painter.fillRect(r, m_backColor);
    }
    // A stand-in painted larger than it is wants the whole (asked after this paint).
    if (isStandIn() && !m_standIn.asked &&
        (target.width() > m_shown.width() || target.height() > m_shown.height())) {
        m_standIn.asked = true;
        QMetaObject::invokeMethod(
            this, [this] { emit fullImageWanted(); }, Qt::QueuedConnection);
    }
    if (target.width() < m_shown.width() && target.height() < m_shown.height()) {
        paintReduced(painter, target);
    } else if (target.size() == m_shown.size()) {
        painter.drawImage(target.topLeft(), m_shown);
    } else {
        // Fitting a small image to the area is not zooming in to see its pixels: smooth.
        painter.setRenderHint(QPainter::SmoothPixmapTransform,
                              m_mode == imaging::PaintSizeMode::Fit ||
                                  g.scale() < kNearestFromScale);
        painter.drawImage(target, m_shown);
    }
    emit imagePainted();
}

void TImager::paintReduced(QPainter &painter, const QRect &target)
{
    const QSize size = target.size();
    if (const QImage *cached = m_cache.find(m_shown, size)) {
        painter.drawImage(target.topLeft(), *cached);
        return;
    }
    // A stand-in is at most a few times the area: smooth at once beats a grainy first frame.
    if (isStandIn() || qint64(m_shown.width()) * m_shown.height() < m_backgroundScaleFrom) {
        painter.drawImage(target.topLeft(), m_cache.scaled(m_shown, size));
        return;
    }
    // A 24 MP photo takes tens of milliseconds to average down, too long for this thread.
    // Meanwhile nearest sampling straight into the target costs only the target's pixels.
    if (m_failedKey != m_shown.cacheKey())
        startBackgroundScale(size);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    if (const QImage sampled = sampleForPainting(m_shown, size); !sampled.isNull())
        painter.drawImage(target.topLeft(), sampled);
    else
        painter.drawImage(target, m_shown);
}

void TImager::startBackgroundScale(QSize size)
{
    // One at a time: its landing repaints, and that paint asks for whatever is current then.
    if (m_scaleInFlight)
        return;
    m_scaleInFlight = true;
    {
        const std::lock_guard<std::mutex> lock(m_scaleChannel->mutex);
        m_scaleChannel->job = ScaleChannel::Job{m_shown, m_shown.cacheKey(), size};
        m_scaleChannel->done.reset();
    }
    PoolJobs<ScaleChannel>::start(m_scaleChannel, &runScaleJob);
}

// On the worker: the oldest waiting reduction.
void TImager::runScaleJob()
{
    const std::shared_ptr<ScaleChannel> channel = PoolJobs<ScaleChannel>::take();
    if (!channel)
        return;
    ScaleChannel::Job job;
    {
        const std::lock_guard<std::mutex> lock(channel->mutex);
        job = std::move(channel->job);
        channel->job = {};
    }
    QImage scaled;
    if (channel->shownKey.load() == job.key) { // else replaced while it waited: skip the work
        try {
            scaled = reduceForPainting(job.image, job.size);
        } catch (const std::exception &) {
            // Short of memory: lands empty, and the sampled picture stays.
        }
    }
    job.image = QImage(); // the last holder may be this thread; let it go before landing
    const std::lock_guard<std::mutex> lock(channel->mutex);
    channel->done = ScaleChannel::Job{std::move(scaled), job.key, job.size};
    if (channel->imager)
        QMetaObject::invokeMethod(channel->imager, "backgroundScaleLanded", Qt::QueuedConnection);
}

void TImager::backgroundScaleLanded()
{
    std::optional<ScaleChannel::Job> done;
    {
        const std::lock_guard<std::mutex> lock(m_scaleChannel->mutex);
        done.swap(m_scaleChannel->done);
    }
    if (!done)
        return;
    m_scaleInFlight = false;
    if (done->key == m_shown.cacheKey()) {
        if (done->image.isNull())
            m_failedKey = done->key; // don't retry in a loop; the sampled picture stays
        else
            m_cache.store(done->key, done->size, done->image);
    }
    // Shows the result, or, when it came too late, asks for the reduction of what is current.
    if (AutoRepaint())
        viewport()->update();
}

void TImager::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    emit fitAreaChanged();
}

void TImager::scrollContentsBy(int, int)
{
    viewport()->update();
}

void TImager::mousePressEvent(QMouseEvent *event)
{
    m_pressPos = event->position().toPoint();
    m_dragged = false;
    QAbstractScrollArea::mousePressEvent(event);
}

void TImager::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint pos = event->position().toPoint();
    emit mouseMoved(pos, event->modifiers());
    // Dragging with the left button pans an image that is larger than the area.
    if ((event->buttons() & Qt::LeftButton) &&
        (horizontalScrollBar()->maximum() > 0 || verticalScrollBar()->maximum() > 0)) {
        const QPoint delta = pos - m_pressPos;
        if (m_dragged || delta.manhattanLength() >= 4) {
            m_dragged = true;
            horizontalScrollBar()->setValue(horizontalScrollBar()->value() - delta.x());
            verticalScrollBar()->setValue(verticalScrollBar()->value() - delta.y());
            m_pressPos = pos;
        }
    }
}

void TImager::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !m_dragged)
        emit clicked();
    m_dragged = false;
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void TImager::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
    QAbstractScrollArea::mouseDoubleClickEvent(event);
}

void TImager::keyPressEvent(QKeyEvent *event)
{
    emit keyPressed(event->text());
    QAbstractScrollArea::keyPressEvent(event);
}

void TImager::focusInEvent(QFocusEvent *event)
{
    emit entered();
    QAbstractScrollArea::focusInEvent(event);
}

} // namespace oxlume::imaging
