#include "associations/DesktopEntry.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace oxlume {

namespace {

constexpr const char *kMarkerLine = "X-Oxlume-Generated=true";

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
    // is double-quoted, and inside the quotes " ` $ \ take a backslash.
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
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
        else if (c == '\\')
            exec += "\\\\"; // the string-value escape, applied on top of the quoting
        else if (c == '\n')
            exec += "\\n";
        else
            exec += c;
    }
    return exec + " %f";
}

std::string DesktopEntryText(const std::string &executable, const std::string &mimeTypes)
{
    std::ostringstream out;
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Oxlume\n"
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
    if (!makeFolders(path.substr(0, path.rfind('/'))))
        return false;
    return saveAtomically(path, DesktopEntryText(executable, mimeTypes));
}

bool RemoveDesktopEntry()
{
    const std::string path = DesktopEntryPath();
    struct stat st {};
    std::string existing;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !readFile(path, existing)
        || !IsOurDesktopEntry(existing))
        return false;
    return ::unlink(path.c_str()) == 0;
}

} // namespace oxlume
