#pragma once
// The user's D-Bus session bus, when there is one. Without one, libdbus would launch a bus
// of its own (dbus-launch) for the first caller, which costs a start dearly and leaves a
// daemon behind; only a bus that is already there is used.

#include <optional>
#include <string>

namespace oxlume::platform {

// A session bus is announced: DBUS_SESSION_BUS_ADDRESS is set, or the user bus socket
// $XDG_RUNTIME_DIR/bus exists.
bool SessionBusAnnounced();

// While it lives, and only when no session bus is announced, the session bus cannot be
// launched: this process's first request for it fails at once. Libdbus keeps that answer
// for the process; the environment that children inherit is put back as it was.
class NoBusAutolaunch {
public:
    NoBusAutolaunch();
    ~NoBusAutolaunch();
    NoBusAutolaunch(const NoBusAutolaunch &) = delete;
    NoBusAutolaunch &operator=(const NoBusAutolaunch &) = delete;

private:
    bool m_set = false;
    std::optional<std::string> m_before; // DBUS_SESSION_BUS_ADDRESS as it was (set but empty)
};

} // namespace oxlume::platform
