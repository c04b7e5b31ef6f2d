#include "viewer/ImageLoader.h"

#include "imaging/ImageBuffer.h"
#include "imaging/decoders/Jpeg.h"
#include "shell/FileNameFunctions.h"
#include "viewer/Busy.h"
#include "viewer/LoadLog.h"
#include "viewer/ViewerThread.h"

#include <QFile>
#include <QScreen>
#include <QWidget>

#include <cstdint>
#include <exception>

namespace oxlume {

std::atomic<bool> ImageLoader::s_exiting{false};

namespace {

constexpr int kUpdateInterval = 300; // ms

QString programName()
{
    return QStringLiteral("Oxlume");
}

// Paths are bytes; they become text only here, for the window.
QString displayPath(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// An image decoded smaller than stored (a JPEG past the pixel limit) says so after the name.
QString loadedCaption(const std::string &path, const QImage &image = QImage())
{
    const QString scale = image.text(QString::fromLatin1(imaging::kShownScaleKey));
    return QStringLiteral("Oxlume: ") + displayPath(path) +
           (scale.isEmpty() ? QString() : QStringLiteral(" (shown at %1)").arg(scale));
}

QString loadedTitle(const std::string &path)
{
    return QStringLiteral("Oxlume: ") + displayPath(fileNamePart(path));
}

QString progressCaption(int percent)
{
    return QStringLiteral("Oxlume: %1% Loaded").arg(percent);
}

} // namespace

ImageLoader::WindowHooks ImageLoader::hooksFor(QWidget &window,
                                               std::function<void()> applyAdjustments)
{
    QWidget *w = &window;
    WindowHooks hooks;
    hooks.caption = [w] { return w->windowTitle(); };
    hooks.setCaption = [w](const QString &text) { w->setWindowTitle(text); };
    hooks.title = [w] { return w->windowIconText(); };
    hooks.setTitle = [w](const QString &text) { w->setWindowIconText(text); };
    hooks.applyAdjustments = std::move(applyAdjustments);
    return hooks;
}

ImageLoader::ImageLoader(imaging::TImager &imager1, imaging::WindowlessImager &decoderImager,
                         imaging::WindowlessImager &unadjustedImager, const TOptions &options,
                         WindowHooks hooks, QObject *parent)
    : QObject(parent)
    , Imager1(imager1)
    , m_decoder(decoderImager)
    , UnadjustedImager(unadjustedImager)
    , m_options(options)
    , m_hooks(std::move(hooks))
{
    Imager1.setOnProgressStatus([this](imaging::TImager *sender, int16_t percent) {
        Imager1ProgressStatus(sender, percent);
    });
    m_decoder.lease()->setOnProgressStatus(
        [this](imaging::WindowlessImager *sender, int16_t percent) {
            decoderProgress(*sender, percent);
        });

    connect(&Imager1, &imaging::TImager::fitAreaChanged, this, &ImageLoader::updateFitArea);
    connect(&Imager1, &imaging::TImager::fullImageWanted, this,
            [this] { (void)requestWholeImage(); });
    updateFitArea();

    timUpdates.setInterval(kUpdateInterval);
    connect(&timUpdates, &QTimer::timeout, this, &ImageLoader::timUpdatesTimer);

    m_handOverNotifier =
        std::make_unique<QSocketNotifier>(m_channel.handOverFd(), QSocketNotifier::Read);
    connect(m_handOverNotifier.get(), &QSocketNotifier::activated, this,
            &ImageLoader::handOverRequested);

    m_idleRelease.setSingleShot(true);
    m_idleRelease.setInterval(kIdleReleaseMs);
    connect(&m_idleRelease, &QTimer::timeout, this, &ImageLoader::releaseWhenIdle);
    // Every frame goes through the image area as a loaded image does: zoom, fit and the
    // adjustments apply to it alike.
    connect(&m_animation, &imaging::AnimationPlayer::frameReady, this,
            [this](const QImage &frame) { (void)putInImageArea(frame); });

    m_worker = std::make_unique<TViewerThread>(
        m_channel, m_decoder, [this](imaging::WindowlessImager &decoder, int16_t percent) {
            decoderProgress(decoder, percent);
        });
}

ImageLoader::~ImageLoader()
{
    m_stopping = true;
    m_decoder.silence();
    m_channel.stop();
    m_worker.reset();
    m_handOverNotifier.reset();
    Imager1.setOnProgressStatus(nullptr);
    m_decoder.lease()->setOnProgressStatus(nullptr);
}

void ImageLoader::prepareForExit()
{
    s_exiting = true;
    timUpdates.stop();
    m_decoder.silence();
    m_channel.stop();
}

void ImageLoader::startUpdates()
{
    m_updatesWanted = true;
    timUpdates.start();
}

void ImageLoader::setNextFileProvider(std::function<std::string()> provider)
{
    m_nextFile = std::move(provider);
}

void ImageLoader::readAheadNow(const std::string &path)
{
    if (m_options.UseWorkThread && !exiting()) {
        updateFitArea();
        m_channel.readAheadNow(path);
    }
}

void ImageLoader::updateFitArea()
{
    std::optional<imaging::FitArea> fit = Imager1.fitArea();
    // Before the window is first shown its area is not laid out yet: the screen bounds it.
    if (fit && (!Imager1.isVisible() || fit->size.isEmpty())) {
        if (const QScreen *screen = Imager1.screen())
            fit = imaging::FitArea{screen->availableGeometry().size(), screen->devicePixelRatio()};
    }
    m_channel.setFitArea(fit);
}

bool ImageLoader::requestWholeImage()
{
    const std::string path = m_channel.requestedFile();
    // A preview's own request follows it, decoded for the view as it is then.
    if (exiting() || m_stopping || !Imager1.isStandIn() || path.empty() || m_previewShown)
        return false;
    if (!m_options.UseWorkThread) {
        showInForeground(path); // foreground loads are always whole
        return true;
    }
    m_channel.postWhole(path);
    if (m_updatesWanted && !timUpdates.isActive())
        timUpdates.start();
    return true;
}

void ImageLoader::releaseWhenIdle()
{
    if (!m_channel.isWorkerParked()) {
        m_idleRelease.start();
        return;
    }
    if (!m_keepReadAheadWhenIdle)
        m_channel.dropReadAhead();
    imaging::trimImagePool();
}

void ImageLoader::ShowImage(const std::string &path)
{
    if (exiting() || m_channel.isRequested(path))
        return;
    m_animation.stop();
    if (path.empty()) {
        setCaptionAndTitle(programName(), programName());
        m_channel.setTexts({programName(), programName()});
    }
    if (m_options.UseWorkThread) {
        updateFitArea();
        m_channel.post(path);
        // Runs while a load is in progress only. Not restarted when running: requests
        // closer than its interval (a fast show, a held key) would put it off for ever.
        if (m_updatesWanted && !timUpdates.isActive())
            timUpdates.start();
        return;
    }
    showInForeground(path);
}

void ImageLoader::showInForeground(const std::string &path)
{
    m_channel.postForeground(path);
    Imager1.setEnableProgressEvent(true);
    BusyGuard busy;
    std::optional<imaging::LoadFailure> failure;
    try {
        // Its copy goes before the next image is decoded, as Imager1's own image does: two
        // of the largest size do not fit in memory together.
        UnadjustedImager.setBitmapList(nullptr);
        if (!path.empty()) {
            failure = Imager1.load(path);
            if (!failure)
                m_animation.play(path);
        } else {
            Imager1.setBitmapList(nullptr);
        }
        if (!failure && m_hooks.applyAdjustments)
            m_hooks.applyAdjustments();
    } catch (const std::exception &error) {
        failure = imaging::LoadFailure{path, error.what()};
    } catch (...) {
        qCDebug(lcLoad, "%s: failed for an unknown reason", path.c_str());
        return;
    }
    if (failure) {
        // No message box for a file that does not decode; the caption keeps its progress.
        qCDebug(lcLoad, "%s", failure->message().c_str());
        reportFailure(*failure);
    }
}

void ImageLoader::reportFailure(const imaging::LoadFailure &failure)
{
    emit loadFailed(failure.path, QString::fromStdString(failure.reason));
}

void ImageLoader::handOverRequested()
{
    const std::optional<LoadChannel::HandOver> offer = m_channel.takeHandOver();
    if (offer) {
        bool moved = false;
        try {
            moved = HandOverImage(*offer);
        } catch (...) {
            // Nothing of the hand-over reaches the worker; it must be released either way.
        }
        if (moved)
            m_shownSerial = std::max(m_shownSerial, offer->serial);
        m_channel.finishHandOver(moved);
    }
    if (std::optional<LoadChannel::Preview> preview = m_channel.takePreview())
        showPreview(*preview);
}

// A preview from beside the worker: one of the images passed while a key is held. It may
// arrive after the image of its own request or a later one is on screen, and then it is
// dropped: every request ends in a hand-over of a higher serial.
void ImageLoader::showPreview(const LoadChannel::Preview &preview)
{
    if (m_stopping || exiting() || !m_options.UseWorkThread || preview.serial <= m_shownSerial)
        return;
    m_shownSerial = preview.serial;
    if (putInImageArea(preview.image, imaging::PaintReady{preview.fullSize, QImage()})) {
        ++m_previews;
        m_previewShown = true;
    }
}

// The image area shows image, adjusted as the controls say, and the unadjusted copy is
// made again from it. False when that failed (memory); failures stay on this thread.
bool ImageLoader::putInImageArea(const QImage &image, const imaging::PaintReady &ready)
{
    BusyGuard busy;
    m_idleRelease.start();
    // The image goes on screen once, adjusted: no frame of it unadjusted in between.
    struct Deferral {
        imaging::TImager &imager;
        ~Deferral() { imager.setAutoRepaint(true); }
    } deferral{Imager1};
    Imager1.setAutoRepaint(false);
    try {
        Imager1.setBitmapList(image, ready);
        UnadjustedImager.setBitmapList(nullptr);
        if (m_hooks.applyAdjustments)
            m_hooks.applyAdjustments();
    } catch (...) {
        return false;
    }
    return true;
}

bool ImageLoader::HandOverImage(const LoadChannel::HandOver &offer)
{
    const std::string &loadedPath = offer.path;
    const bool preview = offer.preview;
    if (m_stopping || exiting())
        return false;
    if (offer.makeRoom) {
        // The worker is about to decode an image that does not fit beside this one.
        if (m_channel.isCurrent(loadedPath, offer.serial)) {
            Imager1.setBitmapList(nullptr);
            UnadjustedImager.setBitmapList(nullptr);
        }
        return false;
    }
    // ShowImage runs on this thread too, so nothing newer can be asked for between this
    // check and the move. A silenced load may have stopped early, so even if its file is
    // asked for again its result cannot be trusted: it is loaded afresh. A preview is of an
    // image passed while a key is held: shown whatever is asked now, but never over an image
    // loaded on this thread after the setting changed.
    if (preview && !m_options.UseWorkThread)
        return false;
    if (!preview &&
        (!m_channel.isCurrent(loadedPath, offer.serial) || !m_decoder.progressEnabled()))
        return false;
    QImage image;
    imaging::PaintReady ready;
    {
        const DecoderAccess::Lease decoder = m_decoder.lease();
        image = decoder->BitmapList();
        ready = decoder->paintReady();
        decoder->setBitmapList(nullptr);
    }
    (void)putInImageArea(image, ready); // the worker goes on either way
    m_previewShown = preview;
    if (preview) {
        ++m_previews;
        return true;
    }
    ++m_handOvers;
    if (m_nextFile && m_options.UseWorkThread) {
        updateFitArea();
        m_channel.setReadAhead(m_nextFile());
    }
    emit imageHandedOver(displayPath(loadedPath));
    if (offer.failure)
        reportFailure(*offer.failure);
    else
        m_animation.play(loadedPath);
    return true;
}

// Decided by the instance, not by the setting: the setting may change while the worker
// loads, and the window must never be touched from the worker.
void ImageLoader::decoderProgress(imaging::WindowlessImager &decoder, int16_t iPercent)
{
    const bool current = m_channel.setWorkerTexts([iPercent, &decoder](const std::string &file) {
        if (iPercent == 100)
            return LoadChannel::Texts{loadedCaption(file, decoder.BitmapList()), loadedTitle(file)};
        return LoadChannel::Texts{progressCaption(iPercent), programName()};
    });
    if (!current)
        decoder.setEnableProgressEvent(false); // superseded: no more reports
}

void ImageLoader::Imager1ProgressStatus(imaging::TImager *sender, int16_t iPercent)
{
    LoadChannel::Texts texts{progressCaption(iPercent), programName()};
    if (iPercent == 100) {
        const std::string file = m_channel.requestedFile();
        texts = {loadedCaption(file, sender->BitmapList()), loadedTitle(file)};
    }
    setCaptionAndTitle(texts.caption, texts.title);
    m_channel.setTexts(texts);
}

void ImageLoader::timUpdatesTimer()
{
    // Also after the worker was switched off during a load: its last image still arrives,
    // and the caption must end on it. In foreground loads the texts are the window's own.
    const LoadChannel::Texts texts = m_channel.texts();
    if (m_hooks.caption && m_hooks.caption() != texts.caption && m_hooks.setCaption)
        m_hooks.setCaption(texts.caption);
    if (m_hooks.title && m_hooks.title() != texts.title && m_hooks.setTitle)
        m_hooks.setTitle(texts.title);
    // The worker parks after leaving its last texts, which are shown now: an idle viewer
    // gets no wake-ups until the next load.
    if (m_channel.isWorkerParked())
        timUpdates.stop();
}

void ImageLoader::setCaptionAndTitle(const QString &caption, const QString &title)
{
    if (m_hooks.setCaption)
        m_hooks.setCaption(caption);
    if (m_hooks.setTitle)
        m_hooks.setTitle(title);
}

std::string ImageLoader::RequestedFile() const
{
    return m_channel.requestedFile();
}

std::string ImageLoader::LoadingFile() const
{
    return m_channel.loadingFile();
}

QString ImageLoader::PendingCaption() const
{
    return m_channel.texts().caption;
}

QString ImageLoader::PendingTitle() const
{
    return m_channel.texts().title;
}

} // namespace oxlume
