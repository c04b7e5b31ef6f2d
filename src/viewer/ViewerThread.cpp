#include "viewer/ViewerThread.h"

#include "viewer/ImageLoader.h"

#include <cerrno>
#include <cstdint>
#include <sys/resource.h>
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

TViewerThread::TViewerThread(ImageLoader &loader) : m_loader(loader)
{
    m_thread = std::thread([this] { Execute(); });
}

TViewerThread::~TViewerThread()
{
    if (m_thread.joinable())
        m_thread.join();
}

bool TViewerThread::stopRequested() const
{
    return m_loader.m_stopping.load() || ImageLoader::exiting();
}

void TViewerThread::Execute()
{
    lowerOwnPriority();
    {
        std::unique_lock lock(m_loader.m_nameLock);
        if (!park(lock, 0)) // created parked: any request wakes it, also one made already
            return;
    }
    for (;;) {
        std::string path;
        std::uint64_t taken = 0;
        {
            std::lock_guard lock(m_loader.m_nameLock);
            if (stopRequested())
                return;
            taken = m_loader.m_requestSerial;
            m_loader.m_loadingFile = m_loader.m_requestedFile;
            m_loader.m_workerFile = m_loader.m_requestedFile;
            path = m_loader.m_requestedFile;
        }
        loadRequest(path);

        bool wanted;
        {
            std::lock_guard lock(m_loader.m_nameLock);
            wanted = m_loader.stillWanted(path);
        }
        // No lock is held while the user-interface thread works.
        const bool shown = wanted && handOver(path);

        // Checking and parking are one step under NameLock, so a request recorded after
        // the check still wakes the worker. The worker rests once its image is on screen
        // and still the one asked for; a file asked for again after it was passed over is
        // not on screen, so it goes round again. Only a newer background request counts:
        // one made in foreground mode after the setting changed is not its business.
        std::unique_lock lock(m_loader.m_nameLock);
        const bool satisfied = shown && m_loader.stillWanted(path);
        if (!satisfied && m_loader.m_requestSerial != taken)
            continue;
        if (!park(lock, m_loader.m_requestSerial))
            return;
    }
}

bool TViewerThread::park(std::unique_lock<std::mutex> &nameLock, std::uint64_t seen)
{
    m_loader.m_parked = true;
    m_loader.m_wake.wait(nameLock, [this, seen] {
        return m_loader.m_requestSerial != seen || stopRequested();
    });
    m_loader.m_parked = false;
    return !stopRequested();
}

void TViewerThread::loadRequest(const std::string &path)
{
    imaging::TImager &decoder = m_loader.DecoderImager;
    {
        std::lock_guard lock(m_loader.m_nameLock);
        m_loader.m_failure.clear(); // it spoke of an earlier load
    }
    try {
        std::lock_guard decode(m_loader.m_decodeLock);
        decoder.setEnableProgressEvent(true);
        // The exit may have silenced the decoder just before the line above.
        if (stopRequested()) {
            decoder.setEnableProgressEvent(false);
            return;
        }
        if (!path.empty())
            decoder.LoadFile(path, 0, 0, 1);
        else
            decoder.setBitmapList(nullptr);
    } catch (const std::exception &error) {
        // A file that does not decode is silent; the hand-over shows what the decoder holds
        // and the window says why in the image area.
        std::lock_guard lock(m_loader.m_nameLock);
        m_loader.m_failure = error.what();
    } catch (...) {
    }
}

bool TViewerThread::handOver(const std::string &path)
{
    ImageLoader &loader = m_loader;
    {
        std::lock_guard lock(loader.m_nameLock);
        loader.m_handOverPending = true;
        loader.m_handOverPath = path;
    }
    const std::uint64_t ring = 1;
    if (::write(loader.m_handOverBell, &ring, sizeof ring) != sizeof ring) {
        std::lock_guard lock(loader.m_nameLock); // only on a counter overflow
        loader.m_handOverPending = false;
        return false;
    }

    // The user-interface thread may never get to it at exit; the exit flag releases us.
    std::unique_lock lock(loader.m_nameLock);
    loader.m_wake.wait(lock, [&] { return !loader.m_handOverPending || stopRequested(); });
    if (loader.m_handOverPending) {
        loader.m_handOverPending = false;
        return false;
    }
    return loader.m_handedOver;
}

} // namespace oxlume
