#include "HandOffServer.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHandOff, "oxlume.handoff")

namespace oxlume {

using platform::UniqueFd;

struct HandOffServer::Client {
    UniqueFd fd;
    std::string bytes;
    QSocketNotifier *notifier = nullptr; // owned through deleteLater
    QTimer *deadline = nullptr;
};

HandOffServer::HandOffServer(UniqueFd listener, Receiver receiver, Accepting accepting,
                             QObject *parent)
    : QObject(parent)
    , m_listener(std::move(listener))
    , m_receiver(std::move(receiver))
    , m_accepting(std::move(accepting))
{
    if (!m_listener)
        return;
    m_notifier = new QSocketNotifier(m_listener.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { acceptAll(); });
}

HandOffServer::~HandOffServer()
{
    for (auto &client : m_clients) {
        delete client->notifier;
        delete client->deadline;
    }
}

void HandOffServer::acceptAll()
{
    for (;;) {
        UniqueFd fd(::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN: all taken; anything else: try again at the next wake-up
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            ++m_refusedPeers;
            qCDebug(lcHandOff) << "refused a hand-off from uid" << peer.uid;
            continue;
        }
        if (m_clients.size() >= kMaxClients)
            makeRoom();
        auto client = std::make_unique<Client>();
        Client *raw = client.get();
        client->fd = std::move(fd);
        client->notifier = new QSocketNotifier(raw->fd.get(), QSocketNotifier::Read);
        connect(client->notifier, &QSocketNotifier::activated, this,
                [this, raw] { readFrom(raw); });
        client->deadline = new QTimer;
        client->deadline->setSingleShot(true);
        connect(client->deadline, &QTimer::timeout, this, [this, raw] {
            qCDebug(lcHandOff) << "a hand-off client sent no message in time";
            drop(raw, true);
        });
        client->deadline->start(kDeadline);
        m_clients.push_back(std::move(client));
        // A real sender has written its message by now: served at once, before later
        // connections of this burst can push it out.
        readFrom(raw);
    }
}

void HandOffServer::makeRoom()
{
    // Those that have sent nothing yet go first, oldest first: a sender writes as soon as
    // it has connected, so the newest connection is the likeliest real one.
    auto victim = m_clients.begin();
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if ((*it)->bytes.empty()) {
            victim = it;
            break;
        }
    }
    qCDebug(lcHandOff) << "too many hand-off clients at once; dropped the oldest";
    drop(victim->get(), true);
}

void HandOffServer::readFrom(Client *client)
{
    char buffer[4096];
    bool ended = false;
    for (;;) {
        const ssize_t n = ::read(client->fd.get(), buffer, sizeof buffer);
        if (n > 0) {
            client->bytes.append(buffer, static_cast<std::size_t>(n));
            if (client->bytes.size() > kMaxHandOffMessage)
                break; // more than any message: decoding says garbage
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    HandOff message;
    switch (DecodeHandOff(client->bytes, message)) {
    case DecodeStatus::Done: {
        UniqueFd peer = std::move(client->fd);
        drop(client, false);
        if (m_accepting && !m_accepting())
            return; // closing: the sender takes over
        // Answered first, so that the sender goes at once; the receiver runs straight after,
        // before any other event (a close of the window, say) can come between. After the
        // drop: the receiver may run a nested event loop, which must find us consistent.
        (void)::send(peer.get(), &kHandOffAck, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        peer.reset();
        if (m_receiver)
            m_receiver(message);
        return;
    }
    case DecodeStatus::Garbage:
        qCDebug(lcHandOff) << "a hand-off client sent something else than a message";
        drop(client, true);
        return;
    case DecodeStatus::NeedMore:
        if (ended || client->bytes.size() > kMaxHandOffMessage) {
            qCDebug(lcHandOff) << "a hand-off client ended in the middle of a message";
            drop(client, true);
        }
        return;
    }
}

void HandOffServer::drop(Client *client, bool counted)
{
    if (counted)
        ++m_droppedClients;
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if (it->get() != client)
            continue;
        // Called from the client's own notifier or timer: they go once control is back in
        // the event loop.
        client->notifier->setEnabled(false);
        client->notifier->deleteLater();
        client->deadline->stop();
        client->deadline->deleteLater();
        m_clients.erase(it);
        return;
    }
}

} // namespace oxlume
