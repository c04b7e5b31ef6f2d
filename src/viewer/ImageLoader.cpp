#include "viewer/ImageLoader.h"

#include "platform/Errors.h"
#include "shell/FileNameFunctions.h"
#include "viewer/Busy.h"
#include "viewer/ViewerThread.h"

#include <QFile>
#include <QWidget>

#include <cstdint>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>

namespace oxlume {

std::atomic<bool> ImageLoader::s_exiting{false};

namespace {

constexpr int kUpdateInterval = 300; // ms

QString programName() { return QStringLiteral("Oxlume"); }

// Paths are bytes; they become text only here, for the window.
QString displayPath(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QString loadedCaption(const std::string &path)
{
    return QStringLiteral("Oxlume: ") + displayPath(path);
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
    : QObject(parent),
      Imager1(imager1),
      DecoderImager(decoderImager),
      UnadjustedImager(unadjustedImager),
      m_options(options),
      m_hooks(std::move(hooks))
{
    m_handOverBell = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_handOverBell < 0)
        throw ProgramError("Cannot create the decoder's hand-over event");
    const auto progress = [this](imaging::TImager *sender, int16_t percent) {
        Imager1ProgressStatus(sender, percent);
    };
    Imager1.setOnProgressStatus(progress);
    DecoderImager.setOnProgressStatus(progress);

    timUpdates.setInterval(kUpdateInterval);
    connect(&timUpdates, &QTimer::timeout, this, &ImageLoader::timUpdatesTimer);

    m_handOverNotifier = std::make_unique<QSocketNotifier>(m_handOverBell, QSocketNotifier::Read);
    connect(m_handOverNotifier.get(), &QSocketNotifier::activated, this,
            &ImageLoader::handOverRequested);

    m_worker = std::make_unique<TViewerThread>(*this);
}

ImageLoader::~ImageLoader()
{
    m_stopping = true;
    DecoderImager.setEnableProgressEvent(false);
    {
        // Orders the flag with a worker about to wait, so the wake-up is not missed.
        std::lock_guard lock(m_nameLock);
    }
    m_wake.notify_all();
    m_worker.reset();
    m_handOverNotifier.reset();
    ::close(m_handOverBell);
    Imager1.setOnProgressStatus(nullptr);
    DecoderImager.setOnProgressStatus(nullptr);
}

void ImageLoader::prepareForExit()
{
    s_exiting = true;
    timUpdates.stop();
    DecoderImager.setEnableProgressEvent(false);
    {
        std::lock_guard lock(m_nameLock); // as in the destructor
    }
    m_wake.notify_all();
}

void ImageLoader::startUpdates() { timUpdates.start(); }

void ImageLoader::ShowImage(const std::string &path)
{
    if (exiting())
        return;
    {
        std::lock_guard lock(m_nameLock);
        if (path == m_requestedFile)
            return;
    }
    if (path.empty()) {
        setCaptionAndTitle(programName(), programName());
        std::lock_guard lock(m_nameLock);
        m_pendingCaption = programName();
        m_pendingTitle = programName();
    }
    if (m_options.UseWorkThread) {
        {
            std::lock_guard lock(m_nameLock);
            m_requestedFile = path;
            ++m_requestSerial;
            m_parked = false; // busy from now on, before the worker even runs
        }
        m_wake.notify_all();
        return;
    }
    showInForeground(path);
}

void ImageLoader::showInForeground(const std::string &path)
{
    {
        std::lock_guard lock(m_nameLock);
        m_requestedFile = path;
        m_loadingFile = path;
    }
    Imager1.setEnableProgressEvent(true);
    BusyGuard busy;
    try {
        if (!path.empty())
            Imager1.LoadFile(path, 0, 0, 1);
        else
            Imager1.setBitmapList(nullptr);
        UnadjustedImager.setBitmapList(nullptr);
        if (m_hooks.applyAdjustments)
            m_hooks.applyAdjustments();
    } catch (const std::exception &error) {
        // No message box for a file that does not decode; the caption keeps its progress.
        reportFailure(path, error.what());
    } catch (...) {
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

bool ImageLoader::stillWanted(const std::string &loadedPath) const
{
    // A silenced load may have stopped early, so even if its file is asked for again its
    // result cannot be trusted: it is loaded afresh.
    return loadedPath == m_requestedFile && DecoderImager.EnableProgressEvent();
}

void ImageLoader::handOverRequested()
{
    std::uint64_t rings = 0;
    while (::read(m_handOverBell, &rings, sizeof rings) > 0) {
    }
    std::string path;
    {
        std::lock_guard lock(m_nameLock);
        if (!m_handOverPending)
            return;
        path = m_handOverPath;
    }
    bool moved = false;
    try {
        moved = HandOverImage(path);
    } catch (...) {
        // Nothing of the hand-over reaches the worker; it must be released either way.
    }
    {
        std::lock_guard lock(m_nameLock);
        m_handOverPending = false;
        m_handedOver = moved;
    }
    m_wake.notify_all();
}

bool ImageLoader::HandOverImage(const std::string &loadedPath)
{
    if (m_stopping || exiting())
        return false;
    std::string failure;
    {
        // ShowImage runs on this thread too, so nothing newer can be asked for between
        // this check and the move.
        std::lock_guard lock(m_nameLock);
        if (!stillWanted(loadedPath))
            return false;
        failure = std::move(m_failure);
        m_failure.clear();
    }
    BusyGuard busy;
    try {
        {
            std::lock_guard decode(m_decodeLock);
            Imager1.setBitmapList(DecoderImager.BitmapList());
            DecoderImager.setBitmapList(nullptr);
        }
        UnadjustedImager.setBitmapList(nullptr);
        if (m_hooks.applyAdjustments)
            m_hooks.applyAdjustments();
    } catch (...) {
        // Failures stay on this thread; the worker goes on either way.
    }
    ++m_handOvers;
    emit imageHandedOver(displayPath(loadedPath));
    if (!failure.empty())
        reportFailure(loadedPath, failure.c_str());
    return true;
}

void ImageLoader::Imager1ProgressStatus(imaging::TImager *sender, int16_t iPercent)
{
    // Decided by the instance, not by the setting: the setting may change while the
    // worker loads, and the window must never be touched from the worker.
    if (sender == &DecoderImager) {
        std::lock_guard lock(m_nameLock);
        if (m_workerFile != m_requestedFile) {
            sender->setEnableProgressEvent(false); // superseded: no more reports
            return;
        }
        if (iPercent == 100) {
            m_pendingCaption = loadedCaption(m_requestedFile);
            m_pendingTitle = loadedTitle(m_requestedFile);
        } else {
            m_pendingCaption = progressCaption(iPercent);
            m_pendingTitle = programName();
        }
        return;
    }

    QString caption;
    QString title;
    if (iPercent == 100) {
        std::lock_guard lock(m_nameLock);
        caption = loadedCaption(m_requestedFile);
        title = loadedTitle(m_requestedFile);
    } else {
        caption = progressCaption(iPercent);
        title = programName();
    }
    setCaptionAndTitle(caption, title);
    std::lock_guard lock(m_nameLock);
    m_pendingCaption = caption;
    m_pendingTitle = title;
}

void ImageLoader::timUpdatesTimer()
{
    if (!m_options.UseWorkThread)
        return;
    QString caption;
    QString title;
    {
        std::lock_guard lock(m_nameLock);
        caption = m_pendingCaption;
        title = m_pendingTitle;
    }
    if (m_hooks.caption && m_hooks.caption() != caption && m_hooks.setCaption)
        m_hooks.setCaption(caption);
    if (m_hooks.title && m_hooks.title() != title && m_hooks.setTitle)
        m_hooks.setTitle(title);
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
    std::lock_guard lock(m_nameLock);
    return m_requestedFile;
}

std::string ImageLoader::LoadingFile() const
{
    std::lock_guard lock(m_nameLock);
    return m_loadingFile;
}

QString ImageLoader::PendingCaption() const
{
    std::lock_guard lock(m_nameLock);
    return m_pendingCaption;
}

QString ImageLoader::PendingTitle() const
{
    std::lock_guard lock(m_nameLock);
    return m_pendingTitle;
}

} // namespace oxlume
