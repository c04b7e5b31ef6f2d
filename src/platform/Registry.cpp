#include "platform/Registry.h"

#include "platform/RegFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace oxlume {

enum class Hive { CurrentUser, ClassesRoot };

struct RegKeyHandle {
    Hive hive;
    bool predefined = false;
    std::string file;               // the hive file (resolved at open; empty for roots)
    std::vector<std::string> path;  // components below the root
};

namespace {

RegKeyHandle g_currentUser{Hive::CurrentUser, true, {}, {}};
RegKeyHandle g_classesRoot{Hive::ClassesRoot, true, {}, {}};

const char *rootName(Hive hive)
{
    return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_CLASSES_ROOT";
}

// A hive file larger than this is not one of ours: it is treated as damaged.
constexpr off_t kMaxHiveFileSize = 16 * 1024 * 1024;

std::string homeFolder()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

// $VAR when it is an absolute path (the XDG rule for relative values: ignore them), else
// the fallback below the home folder.
std::string xdgFolder(const char *var, const char *fallbackBelowHome)
{
    if (const char *v = std::getenv(var); v && v[0] == '/')
        return v;
    return homeFolder() + fallbackBelowHome;
}

std::string hivePath(Hive hive)
{
    if (hive == Hive::CurrentUser)
        return xdgFolder("XDG_CONFIG_HOME", "/.config") + "/oxlume/user.reg";
    return xdgFolder("XDG_DATA_HOME", "/.local/share") + "/oxlume/classes.reg";
}

LONG errnoToError(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ENOTDIR:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_CANTWRITE;
    }
}

enum class FileState { Missing, Ok, Damaged, Unreadable };

struct Snapshot {
    FileState state = FileState::Missing;
    std::string bytes; // the file's content (Ok and Damaged)
};

// Reads the whole hive file. A folder, a device or a file we may not read is Unreadable;
// such a path is never written over or moved.
Snapshot readHiveFile(const std::string &file)
{
    Snapshot snap;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        snap.state = (errno == ENOENT) ? FileState::Missing : FileState::Unreadable;
        return snap;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        snap.state = FileState::Unreadable;
        return snap;
    }
    if (st.st_size > kMaxHiveFileSize) {
        ::close(fd);
        snap.state = FileState::Damaged;
        return snap;
    }
    char buf[16384];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            snap.state = FileState::Unreadable;
            return snap;
        }
        if (n == 0)
            break;
        snap.bytes.append(buf, static_cast<std::size_t>(n));
        if (snap.bytes.size() > static_cast<std::size_t>(kMaxHiveFileSize)) {
            ::close(fd);
            snap.state = FileState::Damaged;
            return snap;
        }
    }
    ::close(fd);
    snap.state = FileState::Ok;
    return snap;
}

// The last parse of each hive file, reused while the file's bytes stay the same.
struct CachedHive {
    std::string bytes;
    bool parsed = false;
    reg::RegKey tree;
};

std::mutex g_mutex; // guards everything below and serialises our own calls
std::map<std::string, CachedHive> g_cache;
std::set<const RegKeyHandle *> g_openHandles;

// The tree for a snapshot; an empty tree when the file is missing, damaged or unreadable.
// Sets damaged when the bytes do not parse.
const reg::RegKey &treeFor(const std::string &file, Hive hive, const Snapshot &snap,
                           bool *damaged = nullptr)
{
    static reg::RegKey empty;
    empty = reg::RegKey{};
    empty.name = rootName(hive);
    if (damaged)
        *damaged = snap.state == FileState::Damaged;
    if (snap.state != FileState::Ok)
        return empty;
    CachedHive &cache = g_cache[file];
    if (!cache.parsed || cache.bytes != snap.bytes) {
        Result<reg::RegKey> parsed = reg::parseRegFile(snap.bytes, rootName(hive));
        cache.bytes = snap.bytes;
        cache.parsed = parsed.ok();
        cache.tree = parsed.ok() ? std::move(parsed).value() : reg::RegKey{};
    }
    if (!cache.parsed) {
        if (damaged)
            *damaged = true;
        return empty;
    }
    return cache.tree;
}

bool isValid(HKEY key)
{
    return key == &g_currentUser || key == &g_classesRoot || g_openHandles.count(key) != 0;
}

std::string fileOf(HKEY key)
{
    return key->predefined ? hivePath(key->hive) : key->file;
}

// Splits a '\' path into components; false for an empty component, a name that is too
// long or one with control bytes. A single trailing '\' is tolerated.
bool splitKeyPath(const std::string &subKey, std::vector<std::string> &parts)
{
    parts.clear();
    if (subKey.empty())
        return true;
    std::string s = subKey;
    if (s.back() == '\\')
        s.pop_back();
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = s.find('\\', start);
        std::string part = s.substr(start, slash == std::string::npos ? std::string::npos
                                                                       : slash - start);
        if (part.empty() || part.size() > kMaxKeyNameLength)
            return false;
        for (char c : part)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return false;
        parts.push_back(std::move(part));
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

bool validValueName(const std::string &name)
{
    if (name.size() > kMaxValueNameLength)
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

std::string parentFolder(const std::string &file)
{
    const std::size_t slash = file.rfind('/');
    return slash == 0 ? std::string("/") : file.substr(0, slash);
}

// mkdir -p; the folders we add are private to the user.
int makeFolders(const std::string &folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    const std::string parent = parentFolder(folder);
    if (parent != folder) {
        if (const int err = makeFolders(parent))
            return err;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

bool writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file atomically: temporary file in the same folder, fsync, rename, fsync
// of the folder. A crash at any point leaves either the old or the new file.
LONG saveAtomically(const std::string &file, const std::string &bytes)
{
    std::string tmpl = file + ".tmp-XXXXXX";
    FileDescriptor fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return errnoToError(errno);
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        return errnoToError(err);
    }
    if (::close(fd.release()) != 0 || ::rename(tmpl.c_str(), file.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        return errnoToError(err);
    }
    FileDescriptor dir(::open(parentFolder(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return ERROR_SUCCESS;
}

// Moves a damaged hive out of the way, keeping it for the user: "<file>.bad-<time>".
LONG keepDamagedFile(const std::string &file)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm {};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string target = file + ".bad-" + stamp;
    for (int n = 1; ::access(target.c_str(), F_OK) == 0; ++n)
        target = file + ".bad-" + stamp + "-" + std::to_string(n);
    if (::rename(file.c_str(), target.c_str()) != 0)
        return errnoToError(errno);
    return ERROR_SUCCESS;
}

// Deletes temporary files that a save killed half-way left behind. Only called with the
// hive's lock held, so no save of ours can be using one of them.
void removeStaleTemporaries(const std::string &file)
{
    const std::string folder = parentFolder(file);
    const std::string prefix = file.substr(folder.size() + 1) + ".tmp-";
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// A hive that is a symbolic link (kept with the user's other dotfiles, say) is saved where
// the link points, so that the link stays a link.
std::string saveTarget(const std::string &file)
{
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return file;
    char *resolved = ::realpath(file.c_str(), nullptr);
    if (!resolved)
        return file;
    std::string target = resolved;
    std::free(resolved);
    return target;
}

// One locked read-modify-write of a hive. change() edits the tree and returns its result;
// the file is written only when change() succeeds and the text differs.
template <typename Change>
LONG modifyHive(const std::string &hiveFile, Hive hive, Change change)
{
    const std::string file = saveTarget(hiveFile);
    if (const int err = makeFolders(parentFolder(file)))
        return errnoToError(err);
    const std::string lockFile = file + ".lock";
    FileDescriptor lock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0)
        return errnoToError(errno);
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return errnoToError(errno);
    }

    const Snapshot snap = readHiveFile(file);
    if (snap.state == FileState::Unreadable)
        return ERROR_ACCESS_DENIED; // never write over what we cannot read
    bool damaged = false;
    reg::RegKey tree = treeFor(hiveFile, hive, snap, &damaged);
    if (const LONG result = change(tree); result != ERROR_SUCCESS)
        return result;

    const std::string bytes = reg::writeRegFile(tree, rootName(hive));
    if (!damaged && snap.state == FileState::Ok && bytes == snap.bytes)
        return ERROR_SUCCESS;
    removeStaleTemporaries(file);
    if (damaged) {
        if (const LONG result = keepDamagedFile(file); result != ERROR_SUCCESS)
            return result;
    }
    if (const LONG result = saveAtomically(file, bytes); result != ERROR_SUCCESS) {
        g_cache.erase(hiveFile);
        return result;
    }
    CachedHive &cache = g_cache[hiveFile];
    cache.bytes = bytes;
    cache.parsed = true;
    cache.tree = std::move(tree);
    return ERROR_SUCCESS;
}

// The key of a handle in the current state of its hive; null when it has been deleted.
const reg::RegKey *currentKey(HKEY key)
{
    const std::string file = fileOf(key);
    return treeFor(file, key->hive, readHiveFile(file)).find(key->path);
}

// Copies data into a caller's buffer by the RegQueryValueEx contract.
LONG copyOut(const std::string &data, void *buffer, DWORD *size)
{
    if (buffer && !size)
        return ERROR_INVALID_PARAMETER;
    if (!size)
        return ERROR_SUCCESS;
    const DWORD needed = static_cast<DWORD>(data.size());
    if (buffer && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (buffer && needed)
        std::memcpy(buffer, data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LONG copyName(const std::string &name, char *buffer, DWORD *size)
{
    if (!buffer || !size)
        return ERROR_INVALID_PARAMETER;
    if (*size < name.size() + 1) {
        *size = static_cast<DWORD>(name.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = '\0';
    *size = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

HKEY newHandle(Hive hive, std::string file, std::vector<std::string> path)
{
    auto *handle = new RegKeyHandle{hive, false, std::move(file), std::move(path)};
    g_openHandles.insert(handle);
    return handle;
}

// The full path of subKey below key, and the names it adds in parts; ERROR_INVALID_HANDLE or
// ERROR_INVALID_PARAMETER when the handle or the sub-key is bad.
LONG pathBelow(HKEY key, const std::string &subKey, std::vector<std::string> &path,
               std::vector<std::string> &parts)
{
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    if (!splitKeyPath(subKey, parts))
        return ERROR_INVALID_PARAMETER;
    path = key->path;
    path.insert(path.end(), parts.begin(), parts.end());
    return ERROR_SUCCESS;
}

// Applies change to the handle's key in one save of its hive; ERROR_KEY_DELETED when the key
// is gone by then.
template <typename Change>
LONG modifyKey(HKEY key, Change change)
{
    return modifyHive(fileOf(key), key->hive, [&](reg::RegKey &t) -> LONG {
        reg::RegKey *k = t.find(key->path);
        return k ? change(*k) : ERROR_KEY_DELETED;
    });
}

} // namespace

const HKEY HKEY_CURRENT_USER = &g_currentUser;
const HKEY HKEY_CLASSES_ROOT = &g_classesRoot;

std::string RegistryHivePath(HKEY root)
{
    std::lock_guard guard(g_mutex);
    return isValid(root) ? fileOf(root) : std::string();
}

LONG RegCreateKeyEx(HKEY root, const std::string &subKey, HKEY *result, DWORD *disposition)
{
    std::lock_guard guard(g_mutex);
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::string> path, parts;
    if (const LONG rc = pathBelow(root, subKey, path, parts); rc != ERROR_SUCCESS)
        return rc;
    const std::string file = fileOf(root);

    // Opening an existing key needs no write.
    const reg::RegKey &tree = treeFor(file, root->hive, readHiveFile(file));
    DWORD how = REG_OPENED_EXISTING_KEY;
    if (!tree.find(path)) {
        if (!tree.find(root->path))
            return ERROR_KEY_DELETED;
        const LONG rc = modifyKey(root, [&](reg::RegKey &parent) {
            how = parent.find(parts) ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
            reg::RegKey *key = &parent;
            for (const std::string &p : parts)
                key = &key->addSubKey(p);
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    if (disposition)
        *disposition = how;
    *result = newHandle(root->hive, file, std::move(path));
    return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY root, const std::string &subKey, HKEY *result)
{
    std::lock_guard guard(g_mutex);
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::vector<std::string> path, parts;
    if (const LONG rc = pathBelow(root, subKey, path, parts); rc != ERROR_SUCCESS)
        return rc;
    const std::string file = fileOf(root);
    const reg::RegKey &tree = treeFor(file, root->hive, readHiveFile(file));
    if (!tree.find(path))
        return tree.find(root->path) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    *result = newHandle(root->hive, file, std::move(path));
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    std::lock_guard guard(g_mutex);
    if (key == &g_currentUser || key == &g_classesRoot)
        return ERROR_SUCCESS;
    if (g_openHandles.erase(key) == 0)
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const std::string &valueName, DWORD *type, void *data,
                     DWORD *size)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    const reg::RegKey *k = currentKey(key);
    if (!k)
        return ERROR_KEY_DELETED;
    const reg::RegValue *v = k->findValue(valueName);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = v->type;
    return copyOut(v->data, data, size);
}

LONG RegSetValueEx(HKEY key, const std::string &valueName, DWORD type, const void *data,
                   DWORD size)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    if (!validValueName(valueName) || (size && !data) || size > kMaxValueDataSize)
        return ERROR_INVALID_PARAMETER;
    std::string bytes(static_cast<const char *>(data), size);
    return modifyKey(key, [&](reg::RegKey &k) {
        k.setValue(valueName, type, std::move(bytes));
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValue(HKEY key, const std::string &valueName)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    const reg::RegKey *current = currentKey(key);
    if (!current)
        return ERROR_KEY_DELETED;
    if (!current->findValue(valueName))
        return ERROR_FILE_NOT_FOUND;
    return modifyKey(key, [&](reg::RegKey &k) {
        return k.removeValue(valueName) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegDeleteKey(HKEY key, const std::string &subKey)
{
    std::lock_guard guard(g_mutex);
    std::vector<std::string> target, parts;
    if (const LONG rc = pathBelow(key, subKey, target, parts); rc != ERROR_SUCCESS)
        return rc;
    if (target.empty())
        return ERROR_ACCESS_DENIED; // a root
    const std::string file = fileOf(key);
    {
        const reg::RegKey &tree = treeFor(file, key->hive, readHiveFile(file));
        if (!tree.find(key->path))
            return ERROR_KEY_DELETED;
        if (!tree.find(target))
            return ERROR_FILE_NOT_FOUND;
    }
    return modifyHive(file, key->hive, [&](reg::RegKey &t) {
        const reg::RegKey *victim = t.find(target);
        if (!victim)
            return ERROR_FILE_NOT_FOUND;
        if (!victim->subKeys.empty())
            return ERROR_ACCESS_DENIED;
        std::vector<std::string> parentPath(target.begin(), target.end() - 1);
        t.find(parentPath)->removeSubKey(target.back());
        return ERROR_SUCCESS;
    });
}

LONG RegQueryInfoKey(HKEY key, DWORD *subKeys, DWORD *maxSubKeyLength, DWORD *values,
                     DWORD *maxValueNameLength, DWORD *maxValueLength)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    const reg::RegKey *k = currentKey(key);
    if (!k)
        return ERROR_KEY_DELETED;
    DWORD longestKey = 0, longestName = 0, longestData = 0;
    for (const reg::RegKey &s : k->subKeys)
        longestKey = std::max(longestKey, static_cast<DWORD>(s.name.size()));
    for (const reg::RegValue &v : k->values) {
        longestName = std::max(longestName, static_cast<DWORD>(v.name.size()));
        longestData = std::max(longestData, static_cast<DWORD>(v.data.size()));
    }
    if (subKeys)
        *subKeys = static_cast<DWORD>(k->subKeys.size());
    if (maxSubKeyLength)
        *maxSubKeyLength = longestKey;
    if (values)
        *values = static_cast<DWORD>(k->values.size());
    if (maxValueNameLength)
        *maxValueNameLength = longestName;
    if (maxValueLength)
        *maxValueLength = longestData;
    return ERROR_SUCCESS;
}

LONG RegEnumValue(HKEY key, DWORD index, char *name, DWORD *nameSize, DWORD *type,
                  void *data, DWORD *dataSize)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    if (data && !dataSize)
        return ERROR_INVALID_PARAMETER;
    const reg::RegKey *k = currentKey(key);
    if (!k)
        return ERROR_KEY_DELETED;
    if (index >= k->values.size())
        return ERROR_NO_MORE_ITEMS;
    const reg::RegValue &v = k->values[index];
    if (const LONG rc = copyName(v.name, name, nameSize); rc != ERROR_SUCCESS)
        return rc;
    if (type)
        *type = v.type;
    return copyOut(v.data, data, dataSize);
}

LONG RegEnumKeyEx(HKEY key, DWORD index, char *name, DWORD *nameSize)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    const reg::RegKey *k = currentKey(key);
    if (!k)
        return ERROR_KEY_DELETED;
    if (index >= k->subKeys.size())
        return ERROR_NO_MORE_ITEMS;
    return copyName(k->subKeys[index].name, name, nameSize);
}

} // namespace oxlume
