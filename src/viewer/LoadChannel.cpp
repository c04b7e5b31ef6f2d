#include "viewer/LoadChannel.h"

#include "platform/Errors.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace oxlume {

LoadChannel::FileStamp LoadChannel::FileStamp::of(const std::string &path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return {};
    return {std::int64_t(st.st_size),
            std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            std::uint64_t(st.st_ino)};
}

LoadChannel::LoadChannel()
    : m_bell(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!m_bell)
        throw ProgramError("Cannot create the decoder's hand-over event");
}

void LoadChannel::wakeAll()
{
    // Taking the lock orders a flag set outside it with a waiter about to sleep, so the
    // wake-up is not missed.
    {
        std::lock_guard lock(m_nameLock);
    }
    m_wake.notify_all();
}

void LoadChannel::post(const std::string &path)
{
    postRequest(path, false);
}

void LoadChannel::postRequest(const std::string &path, bool whole)
{
    {
        std::lock_guard lock(m_nameLock);
        m_requestedFile = path;
        ++m_requestSerial;
        if (whole)
            m_wholeSerial = m_requestSerial;
        m_parked = false;
        // A new target comes with the next hand-over; the running read-ahead goes on only
        // when it is of the file asked for now.
        m_readAheadTarget.clear();
        if (m_readingAhead) {
            if (path == m_workerFile)
                m_loadingFile = path;
            else
                m_readAheadCancelled = true;
        }
    }
    m_wake.notify_all();
}

void LoadChannel::postWhole(const std::string &path)
{
    postRequest(path, true);
}

void LoadChannel::setFitArea(const std::optional<imaging::FitArea> &area)
{
    std::lock_guard lock(m_nameLock);
    m_fitArea = area;
}

std::optional<imaging::FitArea> LoadChannel::fitArea() const
{
    std::lock_guard lock(m_nameLock);
    return m_fitArea;
}

void LoadChannel::postForeground(const std::string &path)
{
    std::lock_guard lock(m_nameLock);
    m_requestedFile = path;
    m_loadingFile = path;
    m_readAheadTarget.clear();
    if (m_readingAhead)
        m_readAheadCancelled = true;
}

void LoadChannel::setReadAhead(const std::string &path)
{
    {
        std::lock_guard lock(m_nameLock);
        const bool needless =
            path.empty() || path == m_requestedFile || (m_cache && m_cache->path == path);
        m_readAheadTarget = needless ? std::string() : path;
    }
    m_wake.notify_all();
}

void LoadChannel::readAheadNow(const std::string &path)
{
    {
        std::lock_guard lock(m_nameLock);
        m_readAheadTarget = path;
        m_readAheadNow = !path.empty();
    }
    m_wake.notify_all();
}

namespace {

bool directlyIn(const std::string &path, std::string folder)
{
    if (folder.empty())
        return false;
    if (folder.back() != '/')
        folder += '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path.find('/', folder.size()) == std::string::npos;
}

} // namespace

void LoadChannel::dropReadAhead(const std::string &keepFolder)
{
    std::optional<Cached> dropped; // freed outside the lock
    std::lock_guard lock(m_nameLock);
    if (!directlyIn(m_readAheadTarget, keepFolder)) {
        m_readAheadTarget.clear();
        m_readAheadNow = false;
    }
    if (m_cache && !directlyIn(m_cache->path, keepFolder))
        dropped = std::exchange(m_cache, std::nullopt);
    if (m_readingAhead && !directlyIn(m_workerFile, keepFolder))
        m_readAheadCancelled = true;
}

void LoadChannel::dropCachedImage()
{
    std::optional<Cached> dropped; // freed outside the lock
    std::lock_guard lock(m_nameLock);
    dropped = std::exchange(m_cache, std::nullopt);
}

std::optional<LoadChannel::HandOver> LoadChannel::takeHandOver()
{
    std::uint64_t rings = 0;
    while (::read(m_bell.get(), &rings, sizeof rings) > 0) {
    }
    std::lock_guard lock(m_nameLock);
    if (!m_handOverPending)
        return std::nullopt;
    return m_handOver;
}

void LoadChannel::finishHandOver(bool moved)
{
    {
        std::lock_guard lock(m_nameLock);
        m_handOverPending = false;
        m_handedOver = moved;
    }
    m_wake.notify_all();
}

std::optional<LoadChannel::Preview> LoadChannel::takePreview()
{
    std::lock_guard lock(m_nameLock);
    std::optional<Preview> preview = std::move(m_preview);
    m_preview.reset();
    return preview;
}

void LoadChannel::leavePreview(Preview preview)
{
    {
        std::lock_guard lock(m_nameLock);
        m_preview = std::move(preview);
    }
    const std::uint64_t ring = 1;
    // A full counter (never in practice) only delays the preview to the next ring.
    (void)!::write(m_bell.get(), &ring, sizeof ring);
}

void LoadChannel::stop()
{
    m_stopping = true;
    m_readAheadCancelled = true;
    wakeAll();
}

std::optional<LoadChannel::Request> LoadChannel::nextRequest(const Request &done, bool shown)
{
    // Checking and parking are one step under NameLock, so a request posted after the
    // check still wakes the worker. A file asked for again after it was passed over is not
    // on screen, so it goes round again. Only a newer background request counts: one made
    // in foreground mode after the setting changed is not the worker's business. Reading
    // ahead waits until the request is on screen.
    std::unique_lock lock(m_nameLock);
    // Only the very request offered counts as shown: the user-interface thread takes an
    // offer only while its serial is current, so the same file asked for again in between
    // (another file, then this one) must be served again, or it never reaches the screen.
    const bool satisfied = shown && m_requestedFile == done.path && m_requestSerial == done.serial;
    const std::uint64_t seen = done.serial;
    const auto ready = [&] {
        return m_requestSerial != seen || m_stopping ||
               ((satisfied || m_readAheadNow) && !m_readAheadTarget.empty());
    };
    if (!ready()) {
        m_parked = true;
        m_wake.wait(lock, ready);
    }
    if (m_stopping)
        return std::nullopt;
    m_readingAhead = false;
    if (m_requestSerial != seen) {
        m_parked = false;
        m_loadingFile = m_requestedFile;
        m_workerFile = m_requestedFile;
        Request request{m_requestedFile, m_requestSerial, false, std::nullopt};
        request.whole = m_wholeSerial == m_requestSerial;
        if (m_cache && m_cache->path == m_requestedFile && !request.whole)
            request.cached = std::exchange(m_cache, std::nullopt);
        return request;
    }
    // Only reading ahead: the worker still counts as parked, and the one cached image
    // makes room for the next.
    m_parked = true;
    m_readingAhead = true;
    m_readAheadNow = false;
    m_readAheadCancelled = false;
    m_workerFile = std::exchange(m_readAheadTarget, std::string());
    ++m_readAheadsBegun;
    Request job{m_workerFile, m_requestSerial, true, std::exchange(m_cache, std::nullopt)};
    return job;
}

std::optional<std::uint64_t> LoadChannel::finishReadAhead(const Cached &result)
{
    std::lock_guard lock(m_nameLock);
    m_readingAhead = false;
    if (!result.image.isNull())
        ++m_readAheadsDecoded;
    if (m_readAheadCancelled || m_stopping)
        return std::nullopt;
    if (m_requestedFile == result.path) {
        m_parked = false;
        return m_requestSerial;
    }
    if (!result.image.isNull())
        m_cache = result;
    return std::nullopt;
}

bool LoadChannel::offerHandOver(const HandOver &offer)
{
    {
        std::lock_guard lock(m_nameLock);
        m_handOverPending = true;
        m_handOver = offer;
    }
    const std::uint64_t ring = 1;
    if (::write(m_bell.get(), &ring, sizeof ring) != sizeof ring) {
        std::lock_guard lock(m_nameLock); // only on a counter overflow
        m_handOverPending = false;
        return false;
    }
    // The user-interface thread may never get to it at exit; the stop releases us.
    std::unique_lock lock(m_nameLock);
    m_wake.wait(lock, [&] { return !m_handOverPending || m_stopping; });
    if (m_handOverPending) {
        m_handOverPending = false;
        return false;
    }
    return m_handedOver;
}

bool LoadChannel::setWorkerTexts(const std::function<Texts(const std::string &)> &textsFor)
{
    std::lock_guard lock(m_nameLock);
    if (m_workerFile != m_requestedFile)
        return false;
    m_texts = textsFor(m_requestedFile);
    return true;
}

bool LoadChannel::isRequested(const std::string &path) const
{
    std::lock_guard lock(m_nameLock);
    return m_requestedFile == path;
}

bool LoadChannel::isCurrent(const std::string &path, std::uint64_t serial) const
{
    std::lock_guard lock(m_nameLock);
    return m_requestedFile == path && m_requestSerial == serial;
}

std::string LoadChannel::requestedFile() const
{
    std::lock_guard lock(m_nameLock);
    return m_requestedFile;
}

std::string LoadChannel::loadingFile() const
{
    std::lock_guard lock(m_nameLock);
    return m_loadingFile;
}

LoadChannel::Texts LoadChannel::texts() const
{
    std::lock_guard lock(m_nameLock);
    return m_texts;
}

void LoadChannel::setTexts(const Texts &texts)
{
    std::lock_guard lock(m_nameLock);
    m_texts = texts;
}

std::string LoadChannel::cachedFile() const
{
    std::lock_guard lock(m_nameLock);
    return m_cache ? m_cache->path : std::string();
}

} // namespace oxlume
