#include "Namespace.h"

#include "TrelvinImport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace oxlume {

namespace {

constexpr std::size_t kCountBytes = 2;
constexpr std::size_t kTerminatorBytes = 2;
constexpr std::size_t kMaxItemBytes = 0xFFFF;

std::size_t countAt(const std::string &bytes, std::size_t pos)
{
    return static_cast<unsigned char>(bytes[pos]) |
           (static_cast<std::size_t>(static_cast<unsigned char>(bytes[pos + 1])) << 8);
}

// Start of the last item, or npos for an absent or empty list.
std::size_t lastItemStart(const std::string &bytes)
{
    if (bytes.empty())
        return std::string::npos;
    std::size_t last = std::string::npos;
    for (std::size_t pos = 0; countAt(bytes, pos) != 0; pos += countAt(bytes, pos))
        last = pos;
    return last;
}

ItemView viewAt(const std::string &bytes, std::size_t pos)
{
    const std::size_t cb = countAt(bytes, pos);
    return {static_cast<ItemKind>(static_cast<unsigned char>(bytes[pos + kCountBytes])),
            std::string_view(bytes).substr(pos + kCountBytes + 1, cb - kCountBytes - 1)};
}

// A name that can stand for one entry of a folder.
bool isComponent(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool isAbsolutePath(std::string_view path)
{
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string_view::npos;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

void appendComponent(std::string &path, std::string_view name)
{
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
}

// The components of an absolute path after "." and ".." are applied by name.
std::vector<std::string_view> lexicalComponents(std::string_view path)
{
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (pos < path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = end + 1;
    }
    return parts;
}

// /proc/self/mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescapeMountField(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t end = std::min(line.find(' ', pos), line.size());
        if (end > pos)
            fields.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return fields;
}

int statusOfErrno(int error)
{
    switch (error) {
    case ENOENT: return kStatusFileNotFound;
    case EACCES:
    case EPERM: return kStatusAccessDenied;
    case ENOTDIR: return kStatusNotAFolder;
    case ENAMETOOLONG: return kStatusNameTooLong;
    default: return kStatusFail;
    }
}

} // namespace

// --- PIDL -------------------------------------------------------------------------------

PIDL PIDL::desktop()
{
    PIDL list;
    list.m_bytes.assign(kTerminatorBytes, '\0');
    return list;
}

PIDL PIDL::fromBytes(std::span<const std::uint8_t> bytes)
{
    std::size_t pos = 0;
    for (;;) {
        if (bytes.size() < kTerminatorBytes || pos > bytes.size() - kTerminatorBytes)
            return {};
        const std::size_t cb = bytes[pos] | (static_cast<std::size_t>(bytes[pos + 1]) << 8);
        if (cb == 0)
            break;
        // Every item has its count and a kind byte, and leaves room for the terminator.
        if (cb < kCountBytes + 1 || cb > bytes.size() - kTerminatorBytes - pos)
            return {};
        pos += cb;
    }
    if (pos + kTerminatorBytes != bytes.size())
        return {};
    PIDL list;
    list.m_bytes.assign(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return list;
}

const std::uint8_t *PIDL::data() const
{
    return isAbsent() ? nullptr : reinterpret_cast<const std::uint8_t *>(m_bytes.data());
}

std::size_t PIDL::count() const
{
    std::size_t n = 0;
    if (!isAbsent()) {
        for (std::size_t pos = 0; countAt(m_bytes, pos) != 0; pos += countAt(m_bytes, pos))
            ++n;
    }
    return n;
}

std::vector<ItemView> PIDL::items() const
{
    std::vector<ItemView> result;
    if (!isAbsent()) {
        for (std::size_t pos = 0; countAt(m_bytes, pos) != 0; pos += countAt(m_bytes, pos))
            result.push_back(viewAt(m_bytes, pos));
    }
    return result;
}

ItemView PIDL::last() const
{
    const std::size_t pos = lastItemStart(m_bytes);
    if (pos == std::string::npos)
        return {ItemKind{}, {}};
    return viewAt(m_bytes, pos);
}

bool PIDL::append(ItemKind kind, std::string_view name)
{
    const std::size_t cb = kCountBytes + 1 + name.size();
    if (name.size() > kMaxItemBytes - kCountBytes - 1)
        return false;
    if (isAbsent())
        m_bytes.assign(kTerminatorBytes, '\0');
    m_bytes.resize(m_bytes.size() - kTerminatorBytes);
    m_bytes += static_cast<char>(cb & 0xFF);
    m_bytes += static_cast<char>(cb >> 8);
    m_bytes += static_cast<char>(kind);
    m_bytes += name;
    m_bytes.append(kTerminatorBytes, '\0');
    return true;
}

bool PIDL::assignChild(ItemKind kind, std::string_view name)
{
    if (name.size() > kMaxItemBytes - kCountBytes - 1)
        return false;
    m_bytes.clear(); // keeps the buffer
    return append(kind, name);
}

void PIDL::removeLast()
{
    const std::size_t pos = lastItemStart(m_bytes);
    if (pos == std::string::npos)
        return;
    m_bytes.resize(pos);
    m_bytes.append(kTerminatorBytes, '\0');
}

bool operator==(const PIDL &a, const PIDL &b)
{
    return a.size() == b.size() && c_memcmp(a.m_bytes.data(), b.m_bytes.data(), a.size()) == 0;
}

// --- Paths ------------------------------------------------------------------------------

std::string namespacePath(const PIDL &list, const NamespaceRoots &roots)
{
    const std::vector<ItemView> items = list.items();
    if (items.empty())
        return {};
    std::string path;
    std::size_t next = 1;
    switch (items[0].kind) {
    case ItemKind::Home:
        if (!items[0].name.empty() || !isAbsolutePath(roots.home))
            return {};
        path = withoutTrailingSlashes(roots.home);
        break;
    case ItemKind::DesktopEntry:
        if (!isComponent(items[0].name) || !isAbsolutePath(roots.desktop))
            return {};
        path = withoutTrailingSlashes(roots.desktop);
        appendComponent(path, items[0].name);
        break;
    case ItemKind::Computer:
        if (!items[0].name.empty() || items.size() < 2)
            return {}; // Computer itself has no path
        if (items[1].kind == ItemKind::FileSystemRoot && items[1].name == "/")
            path = "/";
        else if (items[1].kind == ItemKind::MountPoint && isAbsolutePath(items[1].name))
            path = withoutTrailingSlashes(std::string(items[1].name));
        else
            return {};
        next = 2;
        break;
    default: return {};
    }
    for (std::size_t i = next; i < items.size(); ++i) {
        if (items[i].kind != ItemKind::FileSystemEntry || !isComponent(items[i].name))
            return {};
        appendComponent(path, items[i].name);
    }
    return path;
}

std::string lexicalPath(std::string_view absolutePath)
{
    if (absolutePath.empty() || absolutePath.front() != '/')
        return {};
    std::string path = "/";
    for (std::string_view part : lexicalComponents(absolutePath))
        appendComponent(path, part);
    return path;
}

PIDL namespaceListOfPath(std::string_view absolutePath)
{
    if (!isAbsolutePath(absolutePath))
        return {};
    PIDL list = PIDL::desktop();
    list.append(ItemKind::Computer, {});
    list.append(ItemKind::FileSystemRoot, "/");
    std::string path = "/";
    for (std::string_view part : lexicalComponents(absolutePath)) {
        if (!list.append(ItemKind::FileSystemEntry, part))
            return {};
        appendComponent(path, part);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    // "name/" asks for a folder, as it does everywhere else on the system.
    if (absolutePath.back() == '/' && !S_ISDIR(st.st_mode))
        return {};
    return list;
}

std::string itemDisplayName(ItemView item)
{
    switch (item.kind) {
    case ItemKind::Home: return "Home";
    case ItemKind::Computer: return "Computer";
    case ItemKind::FileSystemRoot: return "File System";
    case ItemKind::MountPoint: {
        const std::string path = withoutTrailingSlashes(std::string(item.name));
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }
    case ItemKind::DesktopEntry:
    case ItemKind::FileSystemEntry: return std::string(item.name);
    }
    return {};
}

std::string itemParsingName(ItemView item, const NamespaceRoots &roots)
{
    switch (item.kind) {
    case ItemKind::Home: return roots.home;
    case ItemKind::Computer: return "computer:///";
    case ItemKind::FileSystemRoot:
    case ItemKind::MountPoint:
    case ItemKind::DesktopEntry:
    case ItemKind::FileSystemEntry: return std::string(item.name);
    }
    return {};
}

// --- Mount points -----------------------------------------------------------------------

std::vector<std::string> mountPointsFromMountInfo(std::string_view text)
{
    std::vector<std::string> result;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        const std::vector<std::string_view> fields = splitFields(text.substr(pos, end - pos));
        pos = end + 1;
        // id parent major:minor root mount-point options [optional...] - type source ...
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 2 >= fields.size())
            continue;
        const std::string_view root = fields[3];
        const std::string mountPoint = unescapeMountField(fields[4]);
        const std::string_view type = fields[dash + 1];
        const std::string source = unescapeMountField(fields[dash + 2]);
        // Bind mounts of a sub-folder or a file (root other than "/") are not file systems
        // of their own; loop and squashfs mounts are package images, not drives.
        if (root != "/" || mountPoint == "/" || !isAbsolutePath(mountPoint) ||
            source.rfind("/dev/", 0) != 0 || source.rfind("/dev/loop", 0) == 0 ||
            type == "squashfs")
            continue;
        if (std::find(result.begin(), result.end(), mountPoint) == result.end())
            result.push_back(mountPoint);
    }
    return result;
}

std::vector<std::string> systemMountPoints()
{
    std::ifstream in("/proc/self/mountinfo", std::ios::binary);
    if (!in)
        return {};
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return mountPointsFromMountInfo(text);
}

// --- Enumeration ------------------------------------------------------------------------

NamespaceEnumerator::~NamespaceEnumerator()
{
    close();
}

int NamespaceEnumerator::open(const PIDL &folder, std::uint32_t flags, const NamespaceRoots &roots)
{
    close();
    if (folder.isAbsent())
        return kStatusInvalidArgument;
    m_flags = flags;
    m_childKind = ItemKind::FileSystemEntry;
    std::string path;
    const std::vector<ItemView> items = folder.items();
    if (items.empty()) {
        m_virtualNames = {std::string(), std::string()};
        m_virtual = {{ItemKind::Home, {}, kFolderAttributes},
                     {ItemKind::Computer, {}, kComputerAttributes}};
        m_childKind = ItemKind::DesktopEntry;
        path = isAbsolutePath(roots.desktop) ? roots.desktop : std::string();
    } else if (items.size() == 1 && items[0].kind == ItemKind::Computer && items[0].name.empty()) {
        m_virtualNames = systemMountPoints();
        m_virtualNames.insert(m_virtualNames.begin(), "/");
        m_virtual.clear();
        for (std::size_t i = 0; i < m_virtualNames.size(); ++i)
            m_virtual.push_back({i == 0 ? ItemKind::FileSystemRoot : ItemKind::MountPoint,
                                 m_virtualNames[i], kFolderAttributes});
    } else {
        path = namespacePath(folder, roots);
        if (path.empty())
            return kStatusInvalidArgument;
    }
    if (!path.empty()) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
            m_dir = ::fdopendir(fd);
        if (!m_dir) {
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            // The desktop still shows Home and Computer when its own folder is unreadable.
            if (m_childKind != ItemKind::DesktopEntry) {
                m_virtual.clear();
                m_virtualNames.clear();
                return statusOfErrno(error);
            }
        }
    }
    m_virtualIndex = 0;
    m_open = true;
    return kStatusOk;
}

bool NamespaceEnumerator::wanted(bool folder, std::string_view name) const
{
    if (!(m_flags & SHCONTF_INCLUDEHIDDEN) && !name.empty() && name.front() == '.')
        return false;
    return (m_flags & (folder ? SHCONTF_FOLDERS : SHCONTF_NONFOLDERS)) != 0;
}

bool NamespaceEnumerator::nextVirtual(NamespaceEntry &entry)
{
    while (m_virtualIndex < m_virtual.size()) {
        const NamespaceEntry &candidate = m_virtual[m_virtualIndex++];
        if (m_flags & SHCONTF_FOLDERS) {
            entry = candidate;
            return true;
        }
    }
    return false;
}

bool NamespaceEnumerator::next(NamespaceEntry &entry)
{
    if (!m_open)
        return false;
    if (nextVirtual(entry))
        return true;
    if (!m_dir)
        return false;
    while (const dirent *d = ::readdir(m_dir)) {
        const char *name = d->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        bool folder = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
            // Follows the link; a dangling link or a loop fails the stat and stays a file.
            struct stat st {};
            folder = ::fstatat(::dirfd(m_dir), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        const std::string_view view(name, std::strlen(name));
        if (!wanted(folder, view))
            continue;
        entry = {m_childKind, view, folder ? kFolderAttributes : kFileAttributes};
        return true;
    }
    return false;
}

void NamespaceEnumerator::close()
{
    if (m_dir) {
        ::closedir(m_dir);
        m_dir = nullptr;
    }
    m_virtual.clear();
    m_virtualNames.clear();
    m_virtualIndex = 0;
    m_open = false;
}

} // namespace oxlume
