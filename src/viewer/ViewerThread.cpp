#include "viewer/ViewerThread.h"

#include "imaging/ImageBuffer.h"
#include "imaging/ImageFile.h"
#include "platform/Processors.h"
#include "viewer/LoadLog.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace oxlume {

namespace {

// Linux does not let a user raise a thread above normal, so the worker steps down instead:
// the user-interface thread keeps the edge when both want the processor.
void lowerOwnPriority()
{
    const pid_t tid = gettid();
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice + 1);
}

} // namespace

namespace {

constexpr std::chrono::milliseconds kPreviewSpacing{80};

// Large JPEGs only: smaller images decode whole about as fast as a preview. A 24 MP photo
// gets 1/8 of its size (750 x 500), enough to recognise it while it flies past.
constexpr int64_t kPreviewFromPixels = 4'000'000;
constexpr int64_t kPreviewPixels = 350'000;

// Stops a read-ahead as soon as it is no longer wanted.
class ReadAheadObserver : public imaging::DecodeObserver {
public:
    explicit ReadAheadObserver(const LoadChannel &channel)
        : m_channel(channel)
    {
    }
    bool cancelled() const override { return m_channel.readAheadCancelled(); }

private:
    const LoadChannel &m_channel;
};

// Stops a preview only when the viewer closes.
class StopObserver : public imaging::DecodeObserver {
public:
    StopObserver(const LoadChannel &channel, const std::atomic<bool> &stop)
        : m_channel(channel)
        , m_stop(stop)
    {
    }
    bool cancelled() const override { return m_stop.load() || m_channel.stopRequested(); }

private:
    const LoadChannel &m_channel;
    const std::atomic<bool> &m_stop;
};

// Reading ahead doubles the images held; it waits when the system has little to spare.
bool memoryIsShort()
{
    constexpr long long kReserveKb = 384LL << 10;
    FILE *f = std::fopen("/proc/meminfo", "re");
    if (!f)
        return false;
    long long availableKb = -1;
    char line[128];
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "MemAvailable: %lld kB", &availableKb) == 1)
            break;
    std::fclose(f);
    return availableKb >= 0 && availableKb < kReserveKb;
}

} // namespace

// Previews on a thread of their own: the worker starts the whole decode of each request at
// once, so the last one is not held up by a preview, while the images passed are previewed
// on the second processor. Only the latest job waits; a preview is not cancelled when a
// newer one is asked for, because it is one of the images passed.
class TViewerThread::PreviewLane {
public:
    explicit PreviewLane(LoadChannel &channel)
        : m_channel(channel)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~PreviewLane()
    {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    void ask(const std::string &path, std::uint64_t serial)
    {
        {
            std::lock_guard lock(m_lock);
            m_job = Job{path, serial};
        }
        m_wake.notify_one();
    }

private:
    struct Job {
        std::string path;
        std::uint64_t serial = 0;
    };

    void run()
    {
        lowerOwnPriority();
        StopObserver observer(m_channel, m_stop);
        while (true) {
            Job job;
            {
                std::unique_lock lock(m_lock);
                m_wake.wait(lock, [&] { return m_stop.load() || m_job.has_value(); });
                if (m_stop)
                    return;
                job = std::move(*m_job);
                m_job.reset();
            }
            QSize fullSize;
            Result<QImage> preview = imaging::loadReducedJpeg(job.path, kPreviewFromPixels,
                                                              kPreviewPixels, observer, &fullSize);
            if (preview)
                m_channel.leavePreview(
                    {job.path, job.serial, std::move(preview).value(), fullSize});
        }
    }

    LoadChannel &m_channel;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::optional<Job> m_job;        // guarded by m_lock
    std::atomic<bool> m_stop{false}; // written under m_lock
    std::thread m_thread;
};

TViewerThread::TViewerThread(LoadChannel &channel, DecoderAccess &decoder, Report report)
    : m_channel(channel)
    , m_decoder(decoder)
    , m_report(std::move(report))
{
    if (platform::usableProcessors() > 1)
        m_previewLane = std::make_unique<PreviewLane>(channel);
    m_thread = std::thread([this] { Execute(); });
}

TViewerThread::~TViewerThread()
{
    if (m_thread.joinable())
        m_thread.join();
}

void TViewerThread::Execute()
{
    lowerOwnPriority();
    LoadChannel::Request done; // the last request served
    bool shown = false;
    // Created parked: any request wakes it, also one made already.
    while (std::optional<LoadChannel::Request> job = m_channel.nextRequest(done, shown)) {
        if (job->readAhead) {
            job->cached.reset(); // the image it replaces goes before the next is decoded
            std::optional<LoadChannel::Request> adopted = readAhead(job->path);
            if (!adopted)
                continue;
            job = std::move(adopted);
        }
        // A request passed over for a newer one means requests outrun whole decodes. The
        // lane previews the image passed, while this one is decoded whole at once; so the
        // last request of a held key never waits for a preview of its own.
        const bool hurry = !shown && done.serial != 0;
        if (hurry && m_previewLane && !done.path.empty())
            m_previewLane->ask(done.path, done.serial);
        shown = serve(*job, hurry && !m_previewLane);
        done = std::move(*job);
    }
}

bool TViewerThread::serve(LoadChannel::Request &request, bool hurry)
{
    const std::string &path = request.path;
    std::optional<imaging::LoadFailure> failure;
    if (request.cached && !request.cached->image.isNull() &&
        request.cached->stamp == LoadChannel::FileStamp::of(path)) {
        refit(request.cached->image, request.cached->ready, request.cached->fit);
        if (!offerImage(request.cached->image, request.cached->ready))
            return false;
    } else {
        request.cached.reset(); // the file changed since it was read ahead
        // Alone, a preview costs most of a decode, so they are spaced out: enough of them
        // to follow the images passed, and the last request then mostly starts its whole
        // decode at once.
        const auto now = std::chrono::steady_clock::now();
        if (hurry && !path.empty() && now - m_lastPreview >= kPreviewSpacing) {
            if (offerPreview(path, request.serial)) {
                m_lastPreview = now;
                if (!m_channel.isCurrent(path, request.serial))
                    return false;
            }
        }
        // The image shown goes first when the two would not fit in memory together: what is
        // read ahead, then, if that is not enough, the image on screen.
        const std::int64_t need = path.empty() ? 0 : bytesNeeded(path);
        if (!fits(need)) {
            m_channel.dropCachedImage();
            if (!fits(need))
                (void)m_channel.offerHandOver({path, request.serial, false, std::nullopt, true});
            // A reduction for painting may hold the image shown a moment longer.
            for (int wait = 0; wait < 100 && !fits(need) && !m_channel.stopRequested(); ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        failure = loadRequest(path, request.whole);
    }
    // A silenced load may have stopped early, so its result is never offered. No lock is
    // held while the user-interface thread works.
    const bool wanted = m_decoder.progressEnabled() && m_channel.isCurrent(path, request.serial);
    return wanted && m_channel.offerHandOver({path, request.serial, false, std::move(failure)});
}

// Puts an image decoded elsewhere into the decoder, as if it had just loaded it; false when
// the worker is to stop.
bool TViewerThread::offerImage(const QImage &image, const imaging::PaintReady &ready)
{
    const DecoderAccess::Lease decoder = m_decoder.lease();
    decoder->setEnableProgressEvent(true);
    if (m_channel.stopRequested()) {
        decoder->setEnableProgressEvent(false);
        return false;
    }
    decoder->setBitmapList(image, ready);
    if (m_report)
        m_report(*decoder, 100);
    return true;
}

void TViewerThread::refit(const QImage &image, imaging::PaintReady &ready,
                          const std::optional<imaging::FitArea> &decodedFor) const
{
    const std::optional<imaging::FitArea> now = m_channel.fitArea();
    if (image.isNull() || now == decodedFor)
        return;
    ready.reduced = QImage();
    if (now) {
        try {
            ready.reduced = imaging::reductionForArea(image, *now, ready.fullSize);
        } catch (const std::bad_alloc &) {
            // Short of memory: the painting control reduces it itself.
        }
    }
}

// The quick preview of a large JPEG, shown whatever is asked meanwhile, because it is one of
// the images passed. Not cancelled: it is short.
bool TViewerThread::offerPreview(const std::string &path, std::uint64_t serial)
{
    imaging::DecodeObserver quiet;
    QSize fullSize;
    Result<QImage> preview =
        imaging::loadReducedJpeg(path, kPreviewFromPixels, kPreviewPixels, quiet, &fullSize);
    if (!preview)
        return false;
    {
        const DecoderAccess::Lease decoder = m_decoder.lease();
        if (m_channel.stopRequested())
            return false;
        // It stands in for the whole: never painted as if it were the whole at 100 %.
        decoder->setBitmapList(preview.value(), imaging::PaintReady{fullSize, QImage()});
    }
    return m_channel.offerHandOver({path, serial, true, {}});
}

// What path's image will take in memory, where that matters: 0 while there is room for any
// image (the header is then not read: one more read of the file), and when the header cannot
// be read (the load will say why).
std::int64_t TViewerThread::bytesNeeded(const std::string &path) const
{
    if (fits(imaging::kMaxImageBytes))
        return 0;
    const Result<imaging::ImageInfo> info = imaging::readImageFileInfo(path);
    return info ? std::int64_t(info->width) * info->height * 4 : 0;
}

bool TViewerThread::fits(std::int64_t bytes) const
{
    return imaging::liveImageBytes() + bytes <= m_channel.imageBudget();
}

std::optional<LoadChannel::Request> TViewerThread::readAhead(const std::string &path)
{
    LoadChannel::Cached result{
        path, QImage(), LoadChannel::FileStamp::of(path), {}, m_channel.fitArea()};
    if (!fits(bytesNeeded(path))) {
        qCDebug(lcLoad, "read ahead: %s does not fit beside the images held", path.c_str());
    } else if (memoryIsShort()) {
        qCDebug(lcLoad, "read ahead: memory is short, %s not read", path.c_str());
    } else {
        // Decoded for the area it will be shown in, with the reduction painted there: a step
        // to it paints the final picture at once.
        ReadAheadObserver observer(m_channel);
        std::string why;
        if (result.fit) {
            Result<imaging::FittedImage> loaded =
                imaging::decodeImageFileFitted(path, *result.fit, observer);
            if (loaded) {
                result.image = std::move(loaded.value().image);
                result.ready = std::move(loaded.value().ready);
            } else {
                why = loaded.error().message;
            }
        } else {
            Result<QImage> loaded = imaging::decodeImageFile(path, observer);
            if (loaded)
                result.image = std::move(loaded).value();
            else
                why = loaded.error().message;
        }
        if (!why.empty() && !m_channel.readAheadCancelled())
            qCDebug(lcLoad, "read ahead: %s: %s", path.c_str(), why.c_str());
    }
    const std::optional<std::uint64_t> adopted = m_channel.finishReadAhead(result);
    if (!adopted)
        return std::nullopt;
    // Asked for while it was read: served as a request with the image it already has,
    // which is checked against the file like any cached image.
    return LoadChannel::Request{path, *adopted, false, std::move(result)};
}

// Returns why the load failed, or nothing when it did not.
std::optional<imaging::LoadFailure> TViewerThread::loadRequest(const std::string &path, bool whole)
{
    std::optional<imaging::LoadFailure> failure;
    try {
        const DecoderAccess::Lease decoder = m_decoder.lease();
        decoder->setEnableProgressEvent(true);
        // A stop may have silenced the decoder just before the line above.
        if (m_channel.stopRequested()) {
            decoder->setEnableProgressEvent(false);
            return std::nullopt;
        }
        // The whole image only when asked for it; otherwise what the fit area shows.
        const std::optional<imaging::FitArea> fit = whole ? std::nullopt : m_channel.fitArea();
        if (!path.empty())
            failure = decoder->load(path, fit);
        else
            decoder->setBitmapList(nullptr);
        if (!failure && !path.empty() && fit) {
            imaging::PaintReady ready = decoder->paintReady();
            const QImage image = decoder->BitmapList();
            refit(image, ready, fit);
            decoder->setBitmapList(image, ready);
        }
    } catch (const std::exception &error) {
        failure = imaging::LoadFailure{path, error.what()}; // the progress report's, or memory
    } catch (...) {
        failure = imaging::LoadFailure{path, "failed for an unknown reason"};
    }
    // A file that does not decode is silent; the hand-over shows what the decoder holds and
    // the window says why in the image area. The log is for those who ask.
    if (failure)
        qCDebug(lcLoad, "%s", failure->message().c_str());
    return failure;
}

} // namespace oxlume
