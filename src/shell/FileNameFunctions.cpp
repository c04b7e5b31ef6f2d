#include "FileNameFunctions.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oxlume {

std::string StripTrailingSlashes(std::string_view path)
{
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    return std::string(path);
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string result = StripTrailingSlashes(folder);
    result += '/';
    result += name;
    return result;
}

std::string LastPathComponent(std::string_view path)
{
    const std::string p = StripTrailingSlashes(path);
    const std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string folderPart(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string fileNamePart(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool FolderExists(const std::string &path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string &path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string HomePath()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

namespace {

std::string configHome()
{
    if (const char *dir = std::getenv("XDG_CONFIG_HOME"); dir && *dir == '/')
        return dir;
    return JoinPath(HomePath(), ".config");
}

// The value of one line of user-dirs.dirs: a double-quoted "$HOME/..." or absolute path,
// with backslash escapes. Anything else is not a valid entry and gives "".
std::string parseUserDirValue(std::string_view value, const std::string &home)
{
    if (value.size() < 2 || value.front() != '"')
        return {};
    value.remove_prefix(1);
    std::string raw;
    bool closed = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            raw += value[++i];
        } else if (c == '"') {
            closed = true;
            break;
        } else {
            raw += c;
        }
    }
    if (!closed)
        return {};
    constexpr std::string_view kHome = "$HOME";
    if (raw.compare(0, kHome.size(), kHome) == 0 &&
        (raw.size() == kHome.size() || raw[kHome.size()] == '/'))
        return home + raw.substr(kHome.size());
    return raw.size() > 0 && raw.front() == '/' ? raw : std::string();
}

// The folder that user-dirs.dirs names for key; without a valid entry (no file, no line, a
// line that is not a quoted absolute or $HOME path) the XDG default $HOME/<defaultName>.
std::string userDir(std::string_view key, std::string_view defaultName)
{
    const std::string home = HomePath();
    const std::string fallback = JoinPath(home, defaultName);
    std::ifstream in(JoinPath(configHome(), "user-dirs.dirs"));
    if (!in)
        return fallback;
    std::string found;
    std::string line;
    while (std::getline(in, line)) {
        std::string_view view(line);
        while (!view.empty() && (view.front() == ' ' || view.front() == '\t'))
            view.remove_prefix(1);
        if (view.empty() || view.front() == '#')
            continue;
        if (view.size() <= key.size() || view.substr(0, key.size()) != key ||
            view[key.size()] != '=')
            continue;
        // A later line wins, as it would when the file is sourced by a shell.
        found = parseUserDirValue(view.substr(key.size() + 1), home);
    }
    return found.empty() ? fallback : found;
}

} // namespace

std::string SpecialFolderPath(SpecialFolder folder)
{
    std::string path;
    switch (folder) {
    case SpecialFolder::Desktop: path = userDir("XDG_DESKTOP_DIR", "Desktop"); break;
    case SpecialFolder::Documents: path = userDir("XDG_DOCUMENTS_DIR", "Documents"); break;
    }
    return FolderExists(path) ? path : std::string();
}

std::string DesktopPath()
{
    std::string path = SpecialFolderPath(SpecialFolder::Desktop);
    return path.empty() ? HomePath() : path;
}

std::string DocumentsPath()
{
    std::string path = SpecialFolderPath(SpecialFolder::Documents);
    return path.empty() ? HomePath() : path;
}

} // namespace oxlume
