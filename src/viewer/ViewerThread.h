#pragma once
// TViewerThread: the background decoder. It loads the latest request into DecoderImager,
// offers the result for the hand-over through the LoadChannel, reads the next file ahead
// and parks while nothing is asked. While requests come faster than whole decodes (a key
// held down), the images passed get quick reduced decodes that are shown at once: with a
// second processor on a thread of their own, beside the whole decode of the latest
// request; with one, each request first gets its own.

#include "imaging/ImageFile.h"
#include "viewer/DecoderAccess.h"
#include "viewer/LoadChannel.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace oxlume {

class TViewerThread {
public:
    // Called on the worker, with the decoder leased, with the decoder's progress in percent
    // for an image that came from the cache or a read-ahead (the decoder reports its own
    // loads itself).
    using Report = std::function<void(imaging::WindowlessImager &decoder, int16_t percent)>;

    // Starts the thread, parked, one step below normal priority. channel and decoder must
    // outlive the thread.
    TViewerThread(LoadChannel &channel, DecoderAccess &decoder, Report report);
    // Joins; the channel must have been stopped first.
    ~TViewerThread();
    TViewerThread(const TViewerThread &) = delete;
    TViewerThread &operator=(const TViewerThread &) = delete;

private:
    void Execute();
    // One request; true when its image went on screen.
    bool serve(LoadChannel::Request &request, bool hurry);
    std::optional<imaging::LoadFailure> loadRequest(const std::string &path, bool whole);
    bool offerPreview(const std::string &path, std::uint64_t serial);
    bool offerImage(const QImage &image, const imaging::PaintReady &ready);
    // The reduction for painting made again when the fit area changed since the decode.
    void refit(const QImage &image, imaging::PaintReady &ready,
               const std::optional<imaging::FitArea> &decodedFor) const;
    // Room in memory for the next image: see imaging::kImageBudgetBytes.
    std::int64_t bytesNeeded(const std::string &path) const;
    bool fits(std::int64_t bytes) const;
    // A read-ahead job; the request that adopted it, if one did, with the image read.
    std::optional<LoadChannel::Request> readAhead(const std::string &path);

    LoadChannel &m_channel;
    DecoderAccess &m_decoder;
    Report m_report;
    std::chrono::steady_clock::time_point m_lastPreview;
    class PreviewLane;
    std::unique_ptr<PreviewLane> m_previewLane; // none on a single processor
    std::thread m_thread;
};

} // namespace oxlume
