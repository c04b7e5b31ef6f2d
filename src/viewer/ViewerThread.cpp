#include "viewer/ViewerThread.h"

#include "viewer/ImageLoader.h"
#include "viewer/LoadChannel.h"

#include <cerrno>
#include <cstdint>
#include <exception>
#include <optional>
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

TViewerThread::TViewerThread(LoadChannel &channel, imaging::TImager &decoder,
                             std::mutex &decodeLock)
    : m_channel(channel), m_decoder(decoder), m_decodeLock(decodeLock)
{
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
    LoadChannel::Request done;
    bool shown = false;
    // Created parked: any request wakes it, also one made already.
    while (std::optional<LoadChannel::Request> request = m_channel.nextRequest(done, shown)) {
        loadRequest(request->path);
        // A silenced load may have stopped early, so its result is never offered. No lock
        // is held while the user-interface thread works.
        const bool wanted =
            m_decoder.EnableProgressEvent() && m_channel.isRequested(request->path);
        shown = wanted && m_channel.offerHandOver(request->path);
        done = std::move(*request);
    }
}

void TViewerThread::loadRequest(const std::string &path)
{
    try {
        std::lock_guard decode(m_decodeLock);
        m_decoder.setEnableProgressEvent(true);
        // A stop may have silenced the decoder just before the line above.
        if (m_channel.stopRequested()) {
            m_decoder.setEnableProgressEvent(false);
            return;
        }
        if (!path.empty())
            m_decoder.LoadFile(path, 0, 0, 1);
        else
            m_decoder.setBitmapList(nullptr);
    } catch (const std::exception &error) {
        // A file that does not decode is silent; the hand-over shows what the decoder
        // holds. Why it failed is for those who ask.
        qCDebug(lcLoad, "%s", error.what());
    } catch (...) {
        qCDebug(lcLoad, "%s: failed for an unknown reason", path.c_str());
    }
}

} // namespace oxlume
