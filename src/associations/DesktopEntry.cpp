#include "associations/DesktopEntry.h"

#include "platform/UniqueFd.h"

#include <QLoggingCategory>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace oxlume {

namespace {

Q_LOGGING_CATEGORY(lcAssociations, "oxlume.associations")

constexpr const char *kMarkerLine = "X-Oxlume-Generated=true";

// Desktop entries are UTF-8 text whose string values may hold no control character but
// the ones that have an escape (tab, newline, carriage return). Empty when the path can be
// written, else why not.
std::string unwritablePathReason(const std::string &path)
{
    for (std::size_t i = 0; i < path.size();) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f)
                return "it holds a control character";
            ++i;
            continue;
        }
        // The length of a well-formed sequence, overlong forms and surrogates excluded.
        std::size_t length = c >= 0xc2 && c <= 0xdf   ? 2
                             : c >= 0xe0 && c <= 0xef ? 3
                             : c >= 0xf0 && c <= 0xf4 ? 4
                                                      : 0;
        if (length == 0 || i + length > path.size())
            return "it is not UTF-8";
        const auto c1 = static_cast<unsigned char>(path[i + 1]);
        if ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 > 0x9f) || (c == 0xf0 && c1 < 0x90) ||
            (c == 0xf4 && c1 > 0x8f))
            return "it is not UTF-8";
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(path[i + k]) & 0xc0) != 0x80)
                return "it is not UTF-8";
        i += length;
    }
    return {};
}

// The escapes of a desktop entry's string values.
std::string escapeString(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

// Refreshes the desktop's cache of that folder's entries, so that file managers offer the
// change at once. A desktop without the tool has no such cache: nothing to do. The tool is
// given a few seconds and then stopped, so that saving never waits long on it.
void refreshDesktopDatabase(const std::string &folder)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char *tool = "update-desktop-database";
    char *const argv[] = {const_cast<char *>(tool), const_cast<char *>(folder.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, tool, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (rc != ENOENT)
            qCDebug(lcAssociations, "%s could not run: %s", tool, std::strerror(rc));
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            qCDebug(lcAssociations, "%s took too long and was stopped", tool);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string dataHome()
{
    if (const char *v = std::getenv("XDG_DATA_HOME"); v && v[0] == '/')
        return v;
    std::string home;
    if (const char *h = std::getenv("HOME"); h && *h)
        home = h;
    else if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    return home + "/.local/share";
}

bool readFile(const std::string &path, std::string &text)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 1024 * 1024)
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool makeFolders(const std::string &folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash)))
        return false;
    return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

bool saveAtomically(const std::string &path, const std::string &text)
{
    std::string tmpl = path + ".tmp-XXXXXX";
    platform::UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd)
        return false;
    bool ok = ::fchmod(fd.get(), 0644) == 0;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = (fd.close() == 0) && ok;
    ok = ok && ::rename(tmpl.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(tmpl.c_str());
    return ok;
}

} // namespace

std::string DesktopEntryPath()
{
    return dataHome() + "/applications/oxlume.desktop";
}

std::string DesktopExecValue(const std::string &executable)
{
    // Quoting rules of the desktop entry Exec key: an argument with a reserved character
    // is double-quoted, and inside the quotes " ` $ \\ take a backslash. A carriage return
    // is not reserved but is quoted all the same, so that no shell splitting can touch it.
    static const std::string reserved = " \t\n\r\"'\\><~|&;$*?#()`";
    std::string arg = executable;
    if (arg.find_first_of(reserved) != std::string::npos) {
        std::string quoted = "\"";
        for (char c : arg) {
            if (c == '"' || c == '`' || c == '$' || c == '\\')
                quoted += '\\';
            quoted += c;
        }
        quoted += '"';
        arg = quoted;
    }
    std::string exec;
    for (char c : arg) {
        if (c == '%')
            exec += "%%"; // a literal percent sign, not a field code
        else
            exec += c;
    }
    // GIO looks for the program named first in Exec before it turns %% back into %, so it
    // finds no such program; behind env the path reaches the program as written.
    if (executable.find('%') != std::string::npos)
        exec = "env " + exec;
    // The string-value escapes come on top of the quoting.
    return escapeString(exec) + " %f";
}

std::string DesktopEntryText(const std::string &executable, const std::string &mimeTypes)
{
    std::ostringstream out;
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Oxlume\n"
        << "Icon=oxlume\n"
        << "TryExec=" << escapeString(executable) << '\n'
        << "Exec=" << DesktopExecValue(executable) << '\n'
        << "MimeType=" << mimeTypes << '\n'
        << "Terminal=false\n"
        << "Categories=Graphics;Viewer;\n"
        << kMarkerLine << '\n';
    return out.str();
}

bool IsOurDesktopEntry(const std::string &text)
{
    std::istringstream in(text);
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[')
            inMainGroup = (line == "[Desktop Entry]");
        else if (inMainGroup && line == kMarkerLine)
            return true;
    }
    return false;
}

bool WriteDesktopEntry(const std::string &executable, const std::string &mimeTypes)
{
    const std::string path = DesktopEntryPath();
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        std::string existing;
        if (!S_ISREG(st.st_mode) || !readFile(path, existing) || !IsOurDesktopEntry(existing))
            return false; // somebody else's entry: leave it alone
    }
    if (const std::string reason = unwritablePathReason(executable); !reason.empty()) {
        qCWarning(lcAssociations, "No desktop entry written for the program %s: %s",
                  executable.c_str(), reason.c_str());
        return false;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!makeFolders(folder) || !saveAtomically(path, DesktopEntryText(executable, mimeTypes)))
        return false;
    refreshDesktopDatabase(folder);
    return true;
}

bool RemoveDesktopEntry()
{
    const std::string path = DesktopEntryPath();
    struct stat st {};
    std::string existing;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !readFile(path, existing) ||
        !IsOurDesktopEntry(existing))
        return false;
    if (::unlink(path.c_str()) != 0)
        return false;
    refreshDesktopDatabase(path.substr(0, path.rfind('/')));
    return true;
}

} // namespace oxlume
