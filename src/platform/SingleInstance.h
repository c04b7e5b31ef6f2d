#pragma once
// The single-instance marker and hand-off message of this user's viewer.
//
// Marker: <runtime>/oxlume/<name>.lock, held with flock by the first instance for its whole
// life; the kernel drops the lock when the process ends, crash included. Message: a
// Unix-domain stream socket <name>.sock beside it, on which the first instance listens. A
// later start connects, writes one message and goes.
//
// Message bytes: "OXH1", a 16-bit little-endian length and the activation token, a 16-bit
// little-endian length and the path (bytes as the file system has them, any but NUL). The
// first instance answers kHandOffAck once the message is queued on a live window; a start
// that gets no answer (an instance that is closing) takes the marker itself.
//
// A socket path too long for a socket address is reached through a descriptor of its
// folder (/proc/self/fd/N/<name>), so that the folder's permissions still guard it.

#include "UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace oxlume {

inline constexpr std::size_t kMaxHandOffPath = 4095;     // longer paths go as no path
inline constexpr std::size_t kMaxActivationToken = 1024; // longer tokens are left out
inline constexpr std::size_t kMaxHandOffMessage = 4 + 2 + kMaxActivationToken + 2 + kMaxHandOffPath;
inline constexpr char kHandOffAck = 'K';
// How long a start waits for the answer before it takes the first instance for closing.
inline constexpr std::chrono::milliseconds kHandOffAckTimeout{1000};

struct HandOff {
    std::string path;            // absolute, or empty for none
    std::string activationToken; // empty for none
    bool operator==(const HandOff &) const = default;
};

// What a second start sends for its first argument: the path made absolute against this
// process's current folder (none when it is empty or longer than kMaxHandOffPath) and
// $XDG_ACTIVATION_TOKEN, else $DESKTOP_STARTUP_ID.
HandOff HandOffFor(const std::string &argument);

std::string EncodeHandOff(const HandOff &message);

enum class DecodeStatus { NeedMore, Done, Garbage };
// Reads one message from the start of bytes; Garbage for anything that cannot start one.
DecodeStatus DecodeHandOff(std::string_view bytes, HandOff &message);

// <runtime>/oxlume, runtime being $XDG_RUNTIME_DIR (absolute), else the user's own cache
// folder ($XDG_CACHE_HOME, else ~/.cache), where no other user can create it first. Each
// folder we create is made 0700; a folder that is not a real folder, belongs to another
// user or that others may write to is refused (error says which and why).
struct InstanceFolder {
    std::string path;
    std::string error;
};
InstanceFolder PrepareInstanceFolder();

enum class MarkerState {
    First,      // this process holds the lock and listens on the socket
    Running,    // another process holds the lock: hand over to socketPath
    Unavailable // no marker can be used here (error says why): start without hand-off
};

struct InstanceMarker {
    MarkerState state = MarkerState::Unavailable;
    platform::UniqueFd lock;     // First: held until the process ends
    platform::UniqueFd listener; // First: non-blocking listening socket
    std::string socketPath;
    std::string error;
};

// Takes the lock <folder>/<name>.lock or finds it taken. Exactly one of any number of
// processes that try at once becomes First. The first instance replaces a socket file left
// by one that crashed. A symbolic link at either path, a socket name that does not fit a
// socket address, or a folder where nothing can be created gives Unavailable.
InstanceMarker TakeInstanceMarker(const std::string &folder, const std::string &name);

// A non-blocking, close-on-exec socket listening at path; a socket file already there is
// replaced, anything else there is refused. Invalid (with error) on failure.
platform::UniqueFd ListenAt(const std::string &path, std::string &error);

// Connects to the socket at path, writes the message and waits up to ackTimeout for the
// answer. While nobody listens yet (the first instance is still starting) it tries to
// connect again until retryFor has passed. True only when the first instance answered that
// the message is queued on its window.
bool SendHandOff(const std::string &socketPath, const HandOff &message,
                 std::chrono::milliseconds retryFor,
                 std::chrono::milliseconds ackTimeout = kHandOffAckTimeout);

} // namespace oxlume
