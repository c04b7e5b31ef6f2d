#include "SingleInstance.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace oxlume {

using platform::UniqueFd;

namespace {

constexpr std::string_view kMagic = "OXH1";

std::string errorText(int error)
{
    return std::strerror(error);
}

void putLength(std::string &out, std::size_t length)
{
    out += static_cast<char>(length & 0xFF);
    out += static_cast<char>((length >> 8) & 0xFF);
}

// Reads a 16-bit length and that many bytes at offset; false when bytes ends first.
bool takeField(std::string_view bytes, std::size_t &offset, std::size_t limit, std::string &field,
               bool &tooLong)
{
    if (bytes.size() < offset + 2)
        return false;
    const std::size_t length = static_cast<unsigned char>(bytes[offset]) |
                               std::size_t(static_cast<unsigned char>(bytes[offset + 1])) << 8;
    if (length > limit) {
        tooLong = true;
        return false;
    }
    if (bytes.size() < offset + 2 + length)
        return false;
    field.assign(bytes.substr(offset + 2, length));
    offset += 2 + length;
    return true;
}

// Creates path 0700 when missing, then checks that it is a folder of ours that nobody else
// may write to. lstat, so that a symbolic link planted in its place is refused.
std::string ensurePrivateFolder(const std::string &path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + path + ": " + errorText(errno);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "cannot read " + path + ": " + errorText(errno);
    if (!S_ISDIR(st.st_mode))
        return path + " is not a folder";
    if (st.st_uid != ::geteuid())
        return path + " belongs to another user";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return path + " may be written by other users";
    return {};
}

bool fillAddress(const std::string &path, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The address of the socket at path. A path too long for one (a long runtime folder) is
// reached through a descriptor of its folder, which folder holds while the address is in
// use: unlike an abstract socket, that still passes through the folder's permissions.
bool socketAddress(const std::string &path, sockaddr_un &address, UniqueFd &folder)
{
    if (fillAddress(path, address))
        return true;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return false;
    const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    folder = UniqueFd(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return folder &&
           fillAddress("/proc/self/fd/" + std::to_string(folder.get()) + path.substr(slash),
                       address);
}

// mkdir -p, the folders it adds private to the user.
std::string makeFolders(const std::string &path)
{
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create " + part + ": " + errorText(errno);
        if (slash == std::string::npos)
            return {};
    }
}

// Where the marker goes without $XDG_RUNTIME_DIR: the user's cache folder, below the home
// folder, which no other user can write to (unlike /tmp, where anyone could take the name
// first and so switch the single instance off).
std::string privateRuntimeFolder()
{
    if (const char *cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
        return cache;
    const char *home = std::getenv("HOME");
    if (!home || *home != '/') {
        const passwd *pw = ::getpwuid(::geteuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || *home != '/')
        return {};
    return std::string(home) + "/.cache";
}

// Waits up to timeout for the first instance's answer on fd.
bool awaitAck(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        char answer = 0;
        const ssize_t n = ::recv(fd, &answer, 1, 0);
        if (n == 1)
            return answer == kHandOffAck;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false; // closed without an answer: the instance is going
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
}

// Writes all of data to a non-blocking socket, waiting at most until deadline.
bool writeAll(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline)
{
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        return false;
    }
    return true;
}

} // namespace

HandOff HandOffFor(const std::string &argument)
{
    HandOff message;
    if (!argument.empty()) {
        std::string path = argument;
        if (path.front() != '/') {
            // The running instance has a current folder of its own: resolve here.
            char buffer[PATH_MAX];
            if (::getcwd(buffer, sizeof buffer))
                path = std::string(buffer) + (buffer[1] ? "/" : "") + argument;
        }
        if (path.front() == '/' && path.size() <= kMaxHandOffPath)
            message.path = std::move(path);
    }
    const char *token = std::getenv("XDG_ACTIVATION_TOKEN");
    if (!token || !*token)
        token = std::getenv("DESKTOP_STARTUP_ID");
    if (token && std::strlen(token) <= kMaxActivationToken)
        message.activationToken = token;
    return message;
}

std::string EncodeHandOff(const HandOff &message)
{
    std::string out(kMagic);
    putLength(out, message.activationToken.size());
    out += message.activationToken;
    putLength(out, message.path.size());
    out += message.path;
    return out;
}

DecodeStatus DecodeHandOff(std::string_view bytes, HandOff &message)
{
    const std::size_t head = std::min(bytes.size(), kMagic.size());
    if (bytes.substr(0, head) != kMagic.substr(0, head))
        return DecodeStatus::Garbage;
    std::size_t offset = kMagic.size();
    HandOff read;
    bool tooLong = false;
    if (!takeField(bytes, offset, kMaxActivationToken, read.activationToken, tooLong) ||
        !takeField(bytes, offset, kMaxHandOffPath, read.path, tooLong))
        return tooLong ? DecodeStatus::Garbage : DecodeStatus::NeedMore;
    // A path is absolute and a name never holds NUL: anything else was not written by us.
    if (read.path.find('\0') != std::string::npos ||
        (!read.path.empty() && read.path.front() != '/'))
        return DecodeStatus::Garbage;
    message = std::move(read);
    return DecodeStatus::Done;
}

InstanceFolder PrepareInstanceFolder()
{
    InstanceFolder folder;
    std::string runtime;
    if (const char *dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir == '/') {
        runtime = dir;
        ::mkdir(runtime.c_str(), 0700); // normally there already; the user's, unchecked
    } else {
        runtime = privateRuntimeFolder();
        folder.error =
            runtime.empty() ? "no private folder for the instance marker" : makeFolders(runtime);
        if (!folder.error.empty())
            return folder;
    }
    while (runtime.size() > 1 && runtime.back() == '/')
        runtime.pop_back();
    folder.path = runtime + "/oxlume";
    folder.error = ensurePrivateFolder(folder.path);
    return folder;
}

UniqueFd ListenAt(const std::string &path, std::string &error)
{
    sockaddr_un address;
    UniqueFd folder;
    if (!socketAddress(path, address, folder)) {
        error = "the socket path is too long: " + path;
        return {};
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " is not a socket";
            return {};
        }
        ::unlink(path.c_str()); // left by an instance that ended without cleaning up
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 64) != 0) {
        error = "cannot listen at " + path + ": " + errorText(errno);
        return {};
    }
    return fd;
}

InstanceMarker TakeInstanceMarker(const std::string &folder, const std::string &name)
{
    InstanceMarker marker;
    marker.socketPath = folder + "/" + name + ".sock";
    sockaddr_un address;
    UniqueFd addressFolder;
    if (!socketAddress(marker.socketPath, address, addressFolder)) {
        // Checked before the lock, so that no start waits on a socket that cannot exist.
        marker.error = "the socket path is too long: " + marker.socketPath;
        return marker;
    }
    const std::string lockPath = folder + "/" + name + ".lock";
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) {
        marker.error = "cannot open " + lockPath + ": " + errorText(errno);
        return marker;
    }
    int result;
    do {
        result = ::flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EWOULDBLOCK) {
            marker.state = MarkerState::Running;
            return marker;
        }
        marker.error = "cannot lock " + lockPath + ": " + errorText(errno);
        return marker;
    }
    marker.listener = ListenAt(marker.socketPath, marker.error);
    if (!marker.listener)
        return marker; // the lock goes with it: a later start tries again
    marker.lock = std::move(lock);
    marker.state = MarkerState::First;
    return marker;
}

bool SendHandOff(const std::string &socketPath, const HandOff &message,
                 std::chrono::milliseconds retryFor, std::chrono::milliseconds ackTimeout)
{
    sockaddr_un address;
    UniqueFd folder;
    if (!socketAddress(socketPath, address, folder))
        return false;
    const std::string bytes = EncodeHandOff(message);
    const auto deadline = std::chrono::steady_clock::now() + retryFor;
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd)
            return false;
        if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
            0) {
            const auto writeDeadline =
                std::max(deadline, std::chrono::steady_clock::now() + ackTimeout);
            return writeAll(fd.get(), bytes, writeDeadline) && awaitAck(fd.get(), ackTimeout);
        }
        // No socket yet, a stale one not yet replaced, or a full queue: the first instance
        // is starting (or busy); try again shortly.
        const int error = errno;
        if (error != ENOENT && error != ECONNREFUSED && error != EAGAIN && error != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace oxlume
