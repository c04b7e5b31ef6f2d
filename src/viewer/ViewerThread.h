#pragma once
// TViewerThread: the background decoder. It loads the latest request into DecoderImager,
// offers the result for the hand-over through the LoadChannel, and parks while nothing is
// asked.

#include "imaging/Imager.h"

#include <mutex>
#include <string>
#include <thread>

namespace oxlume {

class LoadChannel;

class TViewerThread {
public:
    // Starts the thread, parked, one step below normal priority. decodeLock guards
    // decoder; all three must outlive the thread.
    TViewerThread(LoadChannel &channel, imaging::TImager &decoder, std::mutex &decodeLock);
    // Joins; the channel must have been stopped first.
    ~TViewerThread();
    TViewerThread(const TViewerThread &) = delete;
    TViewerThread &operator=(const TViewerThread &) = delete;

private:
    void Execute();
    void loadRequest(const std::string &path);

    LoadChannel &m_channel;
    imaging::TImager &m_decoder;
    std::mutex &m_decodeLock;
    std::thread m_thread;
};

} // namespace oxlume
