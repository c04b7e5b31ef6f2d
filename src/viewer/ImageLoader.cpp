#include "viewer/ImageLoader.h"

#include "imaging/ImageBuffer.h"
#include "imaging/decoders/Jpeg.h"
#include "platform/Errors.h"
#include "shell/FileNameFunctions.h"
#include "viewer/Busy.h"
#include "viewer/ViewerThread.h"

#include <QFile>
#include <QWidget>

#include <cstdint>
#include <exception>
#include <string_view>

Q_LOGGING_CATEGORY(lcLoad, "oxlume.load", QtWarningMsg)

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

ImageLoader::ImageLoader(imaging::TImager &imager1, imaging::TImager &decoderImager,
                         imaging::TImager &unadjustedImager, const TOptions &options,
                         WindowHooks hooks, QObject *parent)
    : QObject(parent)
    , Imager1(imager1)
    , DecoderImager(decoderImager)
    , UnadjustedImager(unadjustedImager)
    , m_options(options)
    , m_hooks(std::move(hooks))
{
    const auto progress = [this](imaging::TImager *sender, int16_t percent) {
        Imager1ProgressStatus(sender, percent);
    };
    Imager1.setOnProgressStatus(progress);
    DecoderImager.setOnProgressStatus(progress);

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
        m_channel, DecoderImager, m_decodeLock,
        [this](int16_t percent) { Imager1ProgressStatus(&DecoderImager, percent); });
}

ImageLoader::~ImageLoader()
{
    m_stopping = true;
    DecoderImager.setEnableProgressEvent(false);
    m_channel.stop();
    m_worker.reset();
    m_handOverNotifier.reset();
    Imager1.setOnProgressStatus(nullptr);
    DecoderImager.setOnProgressStatus(nullptr);
}

void ImageLoader::prepareForExit()
{
    s_exiting = true;
    timUpdates.stop();
    DecoderImager.setEnableProgressEvent(false);
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
    if (m_options.UseWorkThread && !exiting())
        m_channel.readAheadNow(path);
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
    try {
        if (!path.empty()) {
            Imager1.LoadFile(path, 0, 0, 1);
            m_animation.play(path);
        } else {
            Imager1.setBitmapList(nullptr);
        }
        UnadjustedImager.setBitmapList(nullptr);
        if (m_hooks.applyAdjustments)
            m_hooks.applyAdjustments();
    } catch (const std::exception &error) {
        // No message box for a file that does not decode; the caption keeps its progress.
        qCDebug(lcLoad, "%s", error.what());
        reportFailure(path, error.what());
    } catch (...) {
        qCDebug(lcLoad, "%s: failed for an unknown reason", path.c_str());
    }
}

void ImageLoader::reportFailure(const std::string &path, const char *message)
{
    // Decoding messages begin with the path; the window names the file itself.
    std::string_view reason(message);
    const std::string prefix = path + ": ";
    if (reason.starts_with(prefix))
        reason.remove_prefix(prefix.size());
    emit loadFailed(path, QString::fromUtf8(reason.data(), qsizetype(reason.size())));
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
    if (putInImageArea(preview.image))
        ++m_previews;
}

// The image area shows image, adjusted as the controls say, and the unadjusted copy is
// made again from it. False when that failed (memory); failures stay on this thread.
bool ImageLoader::putInImageArea(const QImage &image)
{
    BusyGuard busy;
    m_idleRelease.start();
    try {
        Imager1.setBitmapList(image);
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
    // ShowImage runs on this thread too, so nothing newer can be asked for between this
    // check and the move. A silenced load may have stopped early, so even if its file is
    // asked for again its result cannot be trusted: it is loaded afresh. A preview is of an
    // image passed while a key is held: shown whatever is asked now, but never over an image
    // loaded on this thread after the setting changed.
    if (preview && !m_options.UseWorkThread)
        return false;
    if (!preview &&
        (!m_channel.isCurrent(loadedPath, offer.serial) || !DecoderImager.EnableProgressEvent()))
        return false;
    QImage image;
    {
        std::lock_guard decode(m_decodeLock);
        image = DecoderImager.BitmapList();
        DecoderImager.setBitmapList(nullptr);
    }
    (void)putInImageArea(image); // the worker goes on either way
    if (preview) {
        ++m_previews;
        return true;
    }
    ++m_handOvers;
    if (m_nextFile && m_options.UseWorkThread)
        m_channel.setReadAhead(m_nextFile());
    emit imageHandedOver(displayPath(loadedPath));
    if (!offer.failure.empty())
        reportFailure(loadedPath, offer.failure.c_str());
    else
        m_animation.play(loadedPath);
    return true;
}

void ImageLoader::Imager1ProgressStatus(imaging::TImager *sender, int16_t iPercent)
{
    // Decided by the instance, not by the setting: the setting may change while the
    // worker loads, and the window must never be touched from the worker.
    if (sender == &DecoderImager) {
        const bool current = m_channel.setWorkerTexts([iPercent, sender](const std::string &file) {
            if (iPercent == 100)
                return LoadChannel::Texts{loadedCaption(file, sender->BitmapList()),
                                          loadedTitle(file)};
            return LoadChannel::Texts{progressCaption(iPercent), programName()};
        });
        if (!current)
            sender->setEnableProgressEvent(false); // superseded: no more reports
        return;
    }

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
    if (!m_options.UseWorkThread)
        return;
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
