#pragma once
// LoadChannel: what the user-interface thread and the background decoder share, and the
// only way they talk. It owns NameLock and everything NameLock guards: the requested,
// loading and worker file names, the request serial, the progress texts and the hand-over
// of a finished image. The user-interface thread posts requests and runs hand-overs; the
// worker waits for a request, offers its result and waits for the answer. Only the latest
// request counts: each post bumps the serial, and the worker compares names, never queues.
//
// Read-ahead: once the request is on screen and the worker would park, it decodes the file
// set with setReadAhead into a one-image cache; a request for that file takes the cached
// image. A read-ahead is a silenced load: any other request or a drop cancels it at once.
// A request for the very file being read ahead adopts the read-ahead instead.
//
// Lock order: DecodeLock (held by the decoder's user) is taken before NameLock; nothing
// here takes DecodeLock, and no function calls out while holding NameLock.

#include "imaging/ImageFile.h"
#include "imaging/Limits.h"
#include "platform/UniqueFd.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace oxlume {

class LoadChannel {
public:
    // What identifies a file's contents cheaply: a changed file gets decoded again.
    struct FileStamp {
        std::int64_t size = -1;
        std::int64_t mtimeNs = 0;
        std::uint64_t inode = 0;
        bool operator==(const FileStamp &) const = default;
        static FileStamp of(const std::string &path); // size -1 when it cannot be read
    };
    struct Cached {
        std::string path;
        QImage image;
        FileStamp stamp;
        imaging::PaintReady ready{};           // made beside the image for fit
        std::optional<imaging::FitArea> fit{}; // the fit area when it was decoded
    };
    struct Request {
        std::string path; // empty: clear the image
        std::uint64_t serial = 0;
        bool readAhead = false;       // a read-ahead job, not a request
        std::optional<Cached> cached; // the read-ahead of this file, to check and show
        bool whole = false;           // the whole image, never a reduced decode
    };
    struct HandOver {
        std::string path;
        std::uint64_t serial = 0; // of the request it answers
        bool preview = false;     // a quick reduced decode while requests outrun decodes
        std::optional<imaging::LoadFailure> failure; // why the load failed, if it did
        // No image: the image area is to be emptied first, to make room for this load.
        bool makeRoom = false;
    };
    struct Texts {
        QString caption;
        QString title;
    };
    // A quick reduced decode made beside the worker, for the request of serial.
    struct Preview {
        std::string path;
        std::uint64_t serial = 0;
        QImage image;
        QSize fullSize{}; // of the whole picture it stands in for
    };

    // Throws ProgramError when the hand-over event cannot be made.
    LoadChannel();
    LoadChannel(const LoadChannel &) = delete;
    LoadChannel &operator=(const LoadChannel &) = delete;

    // --- User-interface thread ---

    // A background request: becomes the requested file and wakes the worker. The worker
    // counts as busy from here on, before it even runs.
    void post(const std::string &path);
    // The same for the whole image of the file shown, which is a reduced decode standing in
    // for it: the request is served by a whole decode, never from the cache.
    void postWhole(const std::string &path);
    // Where images are shown fitted (none: not fitted); decodes are made for it.
    void setFitArea(const std::optional<imaging::FitArea> &area);
    // A request served on this thread: requested and loading file at once, no wake-up;
    // a read-ahead is cancelled.
    void postForeground(const std::string &path);
    // The file to read ahead once the request is on screen (empty: none).
    void setReadAhead(const std::string &path);
    // Reads path ahead now, before any request was shown (the file named at start-up, so
    // that its decode runs beside the window's own start).
    void readAheadNow(const std::string &path);
    // Forgets the read-ahead target and the cached image and cancels a read-ahead, except
    // for a file directly in keepFolder (the folder now listed; empty keeps nothing).
    void dropReadAhead(const std::string &keepFolder = {});
    // Readable when the worker offers a hand-over (for a socket notifier).
    int handOverFd() const { return m_bell.get(); }
    // Clears the event and gives what is offered, if a hand-over is still waiting.
    std::optional<HandOver> takeHandOver();
    // Answers the hand-over taken: moved says whether its image went on screen.
    void finishHandOver(bool moved);
    // The preview left since the last call, if any (also announced by the hand-over event).
    std::optional<Preview> takePreview();
    // The worker ends at its next step and every wait of it is released. Idempotent.
    void stop();

    // --- Worker thread ---

    // Ends the round of request done (shown: its image went on screen) and waits for the
    // next request. The worker rests while the shown file is still the one requested;
    // otherwise a request newer than done is taken at once. The request taken becomes the
    // loading and worker file. nullopt once stopped. First call: nextRequest({}, false).
    std::optional<Request> nextRequest(const Request &done, bool shown);
    // Offers the worker's result for the hand-over and waits for the answer; true when it
    // was moved into the image area, false when passed over or given up at a stop.
    bool offerHandOver(const HandOver &offer);
    // Leaves a preview for the user-interface thread, in place of one it has not taken yet,
    // and rings; never waits (any thread beside the worker).
    void leavePreview(Preview preview);
    // True once the running read-ahead is no longer wanted (for its decode observer).
    bool readAheadCancelled() const { return m_readAheadCancelled.load(); }
    // Ends a read-ahead job with its result (null on failure). Returns the serial of the
    // request that adopted it, if one did: the image is then the worker's result to offer.
    // Otherwise a sound result waits in the cache.
    std::optional<std::uint64_t> finishReadAhead(const Cached &result);
    // Forgets the image read ahead, if one waits in the cache.
    void dropCachedImage();
    // Records the texts of the worker's load while it is still the request; false (nothing
    // recorded) once it has been superseded. textsFor gets the requested file; it runs
    // under NameLock, so it must not call back in here.
    bool setWorkerTexts(const std::function<Texts(const std::string &requested)> &textsFor);

    // --- Any thread ---

    bool stopRequested() const { return m_stopping.load(); }
    // True while the worker waits for a request.
    bool isWorkerParked() const { return m_parked.load(); }
    std::optional<imaging::FitArea> fitArea() const;
    bool isRequested(const std::string &path) const;
    // True while path is requested and nothing was posted since the request of serial: a
    // result is shown only for the request standing, never for an older one of the same
    // name (the file may have changed since).
    bool isCurrent(const std::string &path, std::uint64_t serial) const;
    std::string requestedFile() const;
    std::string loadingFile() const;
    Texts texts() const;
    void setTexts(const Texts &texts);
    // The file whose image waits in the cache, if any.
    std::string cachedFile() const;
    // What the decoded images held at once may take (imaging::liveImageBytes).
    std::int64_t imageBudget() const { return m_imageBudget.load(); }
    void setImageBudget(std::int64_t bytes) { m_imageBudget.store(bytes); }
    // Read-aheads begun, and those whose decode ran to its end (adopted, cached or dropped
    // after): one cancelled in time stops short and is not counted there.
    int readAheadsBegun() const { return m_readAheadsBegun.load(); }
    int readAheadsDecoded() const { return m_readAheadsDecoded.load(); }

private:
    void wakeAll();
    void postRequest(const std::string &path, bool whole);

    mutable std::mutex m_nameLock;  // NameLock
    std::condition_variable m_wake; // with NameLock: parking and hand-over waits

    // Guarded by m_nameLock.
    std::string m_requestedFile;
    std::string m_loadingFile;         // also written by foreground loads
    std::string m_workerFile;          // the worker's current load
    std::uint64_t m_requestSerial = 0; // counts background requests
    std::uint64_t m_wholeSerial = 0;   // the request that wants the whole image
    std::optional<imaging::FitArea> m_fitArea;
    Texts m_texts;
    bool m_handOverPending = false;
    bool m_handedOver = false; // what the last hand-over did
    HandOver m_handOver;
    std::string m_readAheadTarget;
    bool m_readingAhead = false; // the worker's job is a read-ahead of m_workerFile
    bool m_readAheadNow = false; // the target need not wait for a request on screen
    std::optional<Cached> m_cache;
    std::optional<Preview> m_preview;

    std::atomic<bool> m_parked{true};
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_readAheadCancelled{false};
    std::atomic<std::int64_t> m_imageBudget{imaging::kImageBudgetBytes};
    std::atomic<int> m_readAheadsBegun{0};
    std::atomic<int> m_readAheadsDecoded{0};
    // The worker rings this eventfd to have the user-interface thread run the hand-over:
    // no Qt object is made or posted on the worker.
    platform::UniqueFd m_bell;
};

} // namespace oxlume
