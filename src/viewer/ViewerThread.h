#pragma once
// TViewerThread: the background decoder. It loads the latest request into DecoderImager,
// has the user-interface thread take the result over, and parks while nothing is asked.

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace oxlume {

class ImageLoader;

class TViewerThread {
public:
    // Starts the thread, parked, one step below normal priority.
    explicit TViewerThread(ImageLoader &loader);
    // Joins; the loader must have asked the worker to stop first.
    ~TViewerThread();
    TViewerThread(const TViewerThread &) = delete;
    TViewerThread &operator=(const TViewerThread &) = delete;

private:
    void Execute();
    // Waits under NameLock for a request later than the one counted `seen`; false when
    // the worker is to end.
    bool park(std::unique_lock<std::mutex> &nameLock, std::uint64_t seen);
    bool stopRequested() const;
    void loadRequest(const std::string &path);
    // Has the user-interface thread run the hand-over and waits for it; true when the image
    // was moved into the image area, false when it was passed over or the wait given up.
    bool handOver(const std::string &path);

    ImageLoader &m_loader;
    std::thread m_thread;
};

} // namespace oxlume
