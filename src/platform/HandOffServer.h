#pragma once
// The receiving end of the hand-off socket, served on the thread that owns it (the user-
// interface thread): accepts peers of this user id only, reads one bounded message from
// each within a deadline, answers the sender unless hand-offs are refused now, and hands the
// message on. A
// client that sends nothing, garbage or too much is dropped without blocking anything;
// when too many are open at once, the oldest idle one makes room for the newcomer.

#include "SingleInstance.h"
#include "UniqueFd.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <list>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace oxlume {

class HandOffServer : public QObject {
    Q_OBJECT
public:
    using Receiver = std::function<void(const HandOff &message)>;
    // Whether hand-offs are taken now. A refused sender gets no answer (and so starts as the
    // first instance itself, once this one has gone).
    using Accepting = std::function<bool()>;

    static constexpr std::size_t kMaxClients = 16;
    static constexpr std::chrono::milliseconds kDeadline{1000};

    // listener: a listening socket (ListenAt); an invalid one serves nothing. Without
    // accepting, every message is taken.
    HandOffServer(platform::UniqueFd listener, Receiver receiver, Accepting accepting = {},
                  QObject *parent = nullptr);
    ~HandOffServer() override;

    // Connections refused because the peer runs as another user, and clients dropped
    // (silent past the deadline, garbage, too long, too many at once): for tests and logs.
    int refusedPeers() const { return m_refusedPeers; }
    int droppedClients() const { return m_droppedClients; }
    std::size_t openClients() const { return m_clients.size(); }

private:
    struct Client;
    void acceptAll();
    void readFrom(Client *client);
    void drop(Client *client, bool counted);
    void makeRoom();

    platform::UniqueFd m_listener;
    Receiver m_receiver;
    Accepting m_accepting;
    QSocketNotifier *m_notifier = nullptr;
    std::list<std::unique_ptr<Client>> m_clients;
    int m_refusedPeers = 0;
    int m_droppedClients = 0;
};

} // namespace oxlume
