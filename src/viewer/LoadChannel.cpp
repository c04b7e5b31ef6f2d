#include "viewer/LoadChannel.h"

#include "platform/Errors.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace oxlume {

LoadChannel::LoadChannel() : m_bell(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
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
    {
        std::lock_guard lock(m_nameLock);
        m_requestedFile = path;
        ++m_requestSerial;
        m_parked = false;
    }
    m_wake.notify_all();
}

void LoadChannel::postForeground(const std::string &path)
{
    std::lock_guard lock(m_nameLock);
    m_requestedFile = path;
    m_loadingFile = path;
}

std::optional<std::string> LoadChannel::takeHandOver()
{
    std::uint64_t rings = 0;
    while (::read(m_bell.get(), &rings, sizeof rings) > 0) {
    }
    std::lock_guard lock(m_nameLock);
    if (!m_handOverPending)
        return std::nullopt;
    return m_handOverPath;
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

void LoadChannel::stop()
{
    m_stopping = true;
    wakeAll();
}

std::optional<LoadChannel::Request> LoadChannel::nextRequest(const Request &done, bool shown)
{
    // Checking and parking are one step under NameLock, so a request posted after the
    // check still wakes the worker. A file asked for again after it was passed over is not
    // on screen, so it goes round again. Only a newer background request counts: one made
    // in foreground mode after the setting changed is not the worker's business.
    std::unique_lock lock(m_nameLock);
    const bool satisfied = shown && m_requestedFile == done.path;
    const std::uint64_t seen = satisfied ? m_requestSerial : done.serial;
    if (m_requestSerial == seen && !m_stopping) {
        m_parked = true;
        m_wake.wait(lock, [&] { return m_requestSerial != seen || m_stopping; });
        m_parked = false;
    }
    if (m_stopping)
        return std::nullopt;
    m_loadingFile = m_requestedFile;
    m_workerFile = m_requestedFile;
    return Request{m_requestedFile, m_requestSerial};
}

bool LoadChannel::offerHandOver(const std::string &path)
{
    {
        std::lock_guard lock(m_nameLock);
        m_handOverPending = true;
        m_handOverPath = path;
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

} // namespace oxlume
