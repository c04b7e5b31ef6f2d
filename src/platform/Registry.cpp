#include "platform/Registry.h"

#include "platform/RegFile.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace oxlume {

enum class Hive { CurrentUser, ClassesRoot };

struct RegKeyHandle {
    Hive hive;
    bool predefined = false;
    std::string file;              // the hive file (resolved at open; empty for roots)
    std::vector<std::string> path; // components below the root
};

namespace {

RegKeyHandle g_currentUser{Hive::CurrentUser, true, {}, {}};
RegKeyHandle g_classesRoot{Hive::ClassesRoot, true, {}, {}};

const char *rootName(Hive hive)
{
    return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_CLASSES_ROOT";
}

using platform::UniqueFd;

// A hive file larger than this is not one of ours: it is treated as damaged.
constexpr off_t kMaxHiveFileSize = static_cast<off_t>(reg::kMaxHiveSize);

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
    case ENOTDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_CANTWRITE;
    }
}

// Why a hive was not saved: the Win32 code, and for people the file and the reason.
// A change that fails for what it finds in the tree (a missing key, say) has no file.
struct SaveFailure {
    LONG code = ERROR_SUCCESS;
    std::string file;
    std::string reason;
};

SaveFailure saveFailure(LONG code, const std::string &file, std::string reason)
{
    return SaveFailure{code, file, std::move(reason)};
}

SaveFailure systemFailure(int err, const std::string &file)
{
    return saveFailure(errnoToError(err), file, std::generic_category().message(err));
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
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        snap.state = (errno == ENOENT) ? FileState::Missing : FileState::Unreadable;
        return snap;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        snap.state = FileState::Unreadable;
        return snap;
    }
    if (st.st_size > kMaxHiveFileSize) {
        snap.state = FileState::Damaged;
        return snap;
    }
    snap.bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            snap.state = FileState::Unreadable;
            return snap;
        }
        if (n == 0)
            break;
        snap.bytes.append(buf, static_cast<std::size_t>(n));
        if (snap.bytes.size() > reg::kMaxHiveSize) {
            snap.state = FileState::Damaged;
            return snap;
        }
    }
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
        std::string part =
            s.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
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
SaveFailure saveAtomically(const std::string &file, const std::string &bytes)
{
    std::string tmpl = file + ".tmp-XXXXXX";
    UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!fd)
        return systemFailure(errno, file);
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0 ||
        ::rename(tmpl.c_str(), file.c_str()) != 0) {
        // A full disk shows here as a short write without errno; say so.
        const int err = errno != 0 ? errno : ENOSPC;
        ::unlink(tmpl.c_str());
        return systemFailure(err, file);
    }
    const UniqueFd dir(::open(parentFolder(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
    return {};
}

// Moves a damaged hive out of the way, keeping it for the user: "<file>.bad-<time>".
SaveFailure keepDamagedFile(const std::string &file)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string target = file + ".bad-" + stamp;
    for (int n = 1; ::access(target.c_str(), F_OK) == 0; ++n)
        target = file + ".bad-" + stamp + "-" + std::to_string(n);
    if (::rename(file.c_str(), target.c_str()) != 0)
        return systemFailure(errno, file);
    return {};
}

// Deletes temporary files that a save killed half-way left behind. Only called with the
// hive's lock held, so no save of ours can be using one of them.
void removeStaleTemporaries(const std::string &file)
{
    const std::string folder = parentFolder(file);
    const std::string prefix = file.substr(folder.size() + 1) + ".tmp-";
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir.get())) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
}

std::set<std::string> g_warnedFolders;

// A folder that others may write to lets them plant a link at the hive, and a save would
// then write over whatever it points to; so such a folder is read but never written. A
// missing folder is fine: we create it private. The reason is told once on stderr.
std::string unsafeFolderReason(const std::string &folder)
{
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return {};
    std::string reason;
    if (st.st_uid != ::geteuid())
        reason = "the folder " + folder + " belongs to another user";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        reason = "the folder " + folder + " is writable by other users";
    if (!reason.empty() && g_warnedFolders.insert(folder).second)
        std::fprintf(stderr, "oxlume: settings are not saved: %s\n", reason.c_str());
    return reason;
}

// Where a save of the hive goes. A hive that is a symbolic link (kept with the user's other
// dotfiles, say) is saved where the link points, so that the link stays a link; but only
// when that is a regular file of this user, never a file of someone else or a device.
SaveFailure saveTarget(const std::string &file, std::string &target)
{
    target = file;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return {};
    const std::unique_ptr<char, void (*)(void *)> resolved(::realpath(file.c_str(), nullptr),
                                                           std::free);
    struct stat targetSt {};
    if (!resolved || ::stat(resolved.get(), &targetSt) != 0 || !S_ISREG(targetSt.st_mode) ||
        targetSt.st_uid != ::geteuid())
        return saveFailure(ERROR_ACCESS_DENIED, file,
                           "it is a symbolic link to something other than a file of yours");
    target = resolved.get();
    return {};
}

// One locked read-modify-write of a hive. apply(tree, snapshot) edits the tree read under
// the lock and returns its result; the file is written only when that succeeds and the
// text differs. The lock file stays beside the hive, also when the hive is a link.
template<typename Apply>
SaveFailure saveHive(const std::string &hiveFile, Hive hive, Apply apply)
{
    const std::string folder = parentFolder(hiveFile);
    if (std::string reason = unsafeFolderReason(folder); !reason.empty())
        return saveFailure(ERROR_ACCESS_DENIED, hiveFile, std::move(reason));
    if (const int err = makeFolders(folder))
        return systemFailure(err, hiveFile);
    std::string file;
    if (SaveFailure f = saveTarget(hiveFile, file); f.code != ERROR_SUCCESS)
        return f;
    const std::string lockFile = hiveFile + ".lock";
    const UniqueFd lock(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock)
        return systemFailure(errno, lockFile);
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return systemFailure(errno, lockFile);
    }

    const Snapshot snap = readHiveFile(file);
    if (snap.state == FileState::Unreadable) // never write over what we cannot read
        return saveFailure(ERROR_ACCESS_DENIED, hiveFile, "it is not a file that can be read");
    bool damaged = false;
    reg::RegKey tree = treeFor(hiveFile, hive, snap, &damaged);
    if (const LONG result = apply(tree, snap); result != ERROR_SUCCESS)
        return SaveFailure{result, {}, {}};

    std::string bytes = reg::writeRegFile(tree, rootName(hive));
    if (!damaged && snap.state == FileState::Ok && bytes == snap.bytes)
        return {};
    // The reader sets a larger file aside as damaged, so it is never written.
    if (bytes.size() > reg::kMaxHiveSize)
        return saveFailure(ERROR_CANTWRITE, hiveFile, "the settings would not fit in 16 MB");
    removeStaleTemporaries(file);
    if (damaged) {
        if (SaveFailure f = keepDamagedFile(file); f.code != ERROR_SUCCESS)
            return f;
    }
    if (SaveFailure f = saveAtomically(file, bytes); f.code != ERROR_SUCCESS) {
        g_cache.erase(hiveFile);
        f.file = hiveFile;
        return f;
    }
    CachedHive &cache = g_cache[hiveFile];
    cache.bytes = std::move(bytes);
    cache.parsed = true;
    cache.tree = std::move(tree);
    return {};
}

// What this process last read or wrote of each value, by hive file, key and value name
// (names in small letters). Setting a value back to exactly that is no change of ours:
// saving it would only undo what another instance saved meanwhile, so it is left out.
std::map<std::string, reg::RegValue> g_known;

std::string folded(std::string_view name)
{
    std::string out(name);
    for (char &c : out)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return out;
}

// The key of a value in g_known; with valueName absent, the prefix of all values of the key
// and of its sub-keys.
std::string knownName(const std::string &file, const std::vector<std::string> &path,
                      const std::string *valueName = nullptr)
{
    std::string name = file;
    name += '\0';
    for (const std::string &part : path)
        name += folded(part) + '\\';
    if (valueName)
        name += '\0' + folded(*valueName);
    return name;
}

void forgetKnown(const std::string &prefix)
{
    auto it = g_known.lower_bound(prefix);
    while (it != g_known.end() && it->first.compare(0, prefix.size(), prefix) == 0)
        it = g_known.erase(it);
}

using Change = std::function<LONG(reg::RegKey &)>;

// The changes that a batch holds back for one hive: the file as the batch first read it,
// the tree with the changes applied, and the changes themselves, to apply again at commit
// when another program saved the hive meanwhile.
struct PendingHive {
    Hive hive;
    Snapshot base;
    reg::RegKey tree;
    std::vector<Change> changes;
    bool mayChange = false; // checked that the hive may be saved (on the first change)
};

struct BatchState {
    int depth = 0; // 0: no batch open
    std::thread::id owner;
    std::map<std::string, PendingHive> hives;
    SaveFailure failure; // the first storage failure met
};

BatchState g_batch;

bool batching()
{
    return g_batch.depth > 0 && g_batch.owner == std::this_thread::get_id();
}

// The tree that the calls of this thread see: the batch's own while one is open, read once
// when the batch first meets the hive, so that loading many values reads the file once.
const reg::RegKey &liveTree(const std::string &file, Hive hive)
{
    if (!batching())
        return treeFor(file, hive, readHiveFile(file));
    auto it = g_batch.hives.find(file);
    if (it == g_batch.hives.end()) {
        Snapshot snap = readHiveFile(file);
        reg::RegKey tree = treeFor(file, hive, snap);
        it = g_batch.hives.emplace(file, PendingHive{hive, std::move(snap), std::move(tree), {}})
                 .first;
    }
    return it->second.tree;
}

void noteBatchFailure(const SaveFailure &f)
{
    if (g_batch.failure.code == ERROR_SUCCESS)
        g_batch.failure = f;
}

// Applies a change to a hive: at once in its own locked rewrite, or inside a batch to the
// batch's tree, saved at commit. What cannot be saved at all is refused in both cases.
LONG modifyHive(const std::string &file, Hive hive, const Change &change)
{
    if (!batching()) {
        return saveHive(file, hive,
                        [&](reg::RegKey &tree, const Snapshot &) { return change(tree); })
            .code;
    }
    liveTree(file, hive);
    PendingHive &pending = g_batch.hives.find(file)->second;
    if (!pending.mayChange) {
        SaveFailure refused;
        if (std::string reason = unsafeFolderReason(parentFolder(file)); !reason.empty())
            refused = saveFailure(ERROR_ACCESS_DENIED, file, std::move(reason));
        else if (pending.base.state == FileState::Unreadable)
            refused = saveFailure(ERROR_ACCESS_DENIED, file, "it is not a file that can be read");
        if (refused.code != ERROR_SUCCESS) {
            noteBatchFailure(refused);
            return refused.code;
        }
        pending.mayChange = true;
    }
    if (const LONG rc = change(pending.tree); rc != ERROR_SUCCESS)
        return rc;
    pending.changes.push_back(change);
    return ERROR_SUCCESS;
}

// Saves what the open batch holds, one locked rewrite per hive, and empties it.
SaveFailure commitBatch()
{
    SaveFailure first = g_batch.failure;
    for (auto &entry : g_batch.hives) {
        PendingHive &pending = entry.second;
        if (pending.changes.empty())
            continue;
        SaveFailure f =
            saveHive(entry.first, pending.hive, [&](reg::RegKey &tree, const Snapshot &now) {
                if (now.state == pending.base.state && now.bytes == pending.base.bytes) {
                    tree = std::move(pending.tree);
                } else {
                    // Another program saved meanwhile: make our changes again on its text, so
                    // that neither loses the other's values. A change whose key went is dropped,
                    // as it would have failed had it come after.
                    for (const Change &change : pending.changes)
                        change(tree);
                }
                return ERROR_SUCCESS;
            });
        if (f.code != ERROR_SUCCESS) // not saved: what we noted as written is not there
            forgetKnown(knownName(entry.first, {}));
        if (first.code == ERROR_SUCCESS)
            first = std::move(f);
    }
    g_batch.hives.clear();
    g_batch.failure = {};
    return first;
}

// The key of a handle in the current state of its hive; null when it has been deleted.
const reg::RegKey *currentKey(HKEY key)
{
    return liveTree(fileOf(key), key->hive).find(key->path);
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
    if (!splitKeyPath(subKey, parts) || key->path.size() + parts.size() > kMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    path = key->path;
    path.insert(path.end(), parts.begin(), parts.end());
    return ERROR_SUCCESS;
}

// What the create and open calls look up first: the key's full path, the names it adds
// below the handle, its hive file and the tree this thread sees of that hive.
struct KeyRequest {
    std::vector<std::string> path;
    std::vector<std::string> parts;
    std::string file;
    const reg::RegKey *tree = nullptr;
};

// The shared start of the create and open calls: clears *result and fills wanted, or says why
// the handle, the sub-key or the result pointer is bad.
LONG requestKey(HKEY root, const std::string &subKey, HKEY *result, KeyRequest &wanted)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (const LONG rc = pathBelow(root, subKey, wanted.path, wanted.parts); rc != ERROR_SUCCESS)
        return rc;
    wanted.file = fileOf(root);
    wanted.tree = &liveTree(wanted.file, root->hive);
    return ERROR_SUCCESS;
}

// Applies change to the handle's key in one save of its hive; ERROR_KEY_DELETED when the key
// is gone by then.
LONG modifyKey(HKEY key, const Change &change)
{
    return modifyHive(fileOf(key), key->hive, [path = key->path, change](reg::RegKey &t) {
        reg::RegKey *k = t.find(path);
        return k ? change(*k) : ERROR_KEY_DELETED;
    });
}

} // namespace

const HKEY HKEY_CURRENT_USER = &g_currentUser;
const HKEY HKEY_CLASSES_ROOT = &g_classesRoot;

RegistryBatch::RegistryBatch()
{
    std::lock_guard guard(g_mutex);
    if (g_batch.depth == 0) {
        g_batch.owner = std::this_thread::get_id();
        g_batch.depth = 1;
        m_state = State::Outer;
    } else if (batching()) {
        ++g_batch.depth;
        m_state = State::Inner;
    }
}

RegistryBatch::~RegistryBatch()
{
    commit();
}

LONG RegistryBatch::commit()
{
    std::lock_guard guard(g_mutex);
    if (m_state == State::Done || m_state == State::Passing)
        return ERROR_SUCCESS;
    const bool outer = m_state == State::Outer;
    m_state = State::Done;
    --g_batch.depth;
    if (!outer)
        return ERROR_SUCCESS;
    SaveFailure f = commitBatch();
    m_failedFile = std::move(f.file);
    m_failureReason = std::move(f.reason);
    return f.code;
}

std::string RegistryHivePath(HKEY root)
{
    std::lock_guard guard(g_mutex);
    return isValid(root) ? fileOf(root) : std::string();
}

LONG RegCreateKeyEx(HKEY root, const std::string &subKey, HKEY *result, DWORD *disposition)
{
    std::lock_guard guard(g_mutex);
    KeyRequest wanted;
    if (const LONG rc = requestKey(root, subKey, result, wanted); rc != ERROR_SUCCESS)
        return rc;

    // Opening an existing key needs no write.
    DWORD how = REG_OPENED_EXISTING_KEY;
    if (!wanted.tree->find(wanted.path)) {
        if (!wanted.tree->find(root->path))
            return ERROR_KEY_DELETED;
        // Another program may create the key between the look above and the locked save.
        const auto created = std::make_shared<DWORD>(REG_OPENED_EXISTING_KEY);
        const LONG rc = modifyKey(root, [parts = wanted.parts, created](reg::RegKey &parent) {
            *created = parent.find(parts) ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
            reg::RegKey *key = &parent;
            for (const std::string &p : parts)
                key = &key->addSubKey(p);
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS)
            return rc;
        how = *created;
    }
    if (disposition)
        *disposition = how;
    *result = newHandle(root->hive, std::move(wanted.file), std::move(wanted.path));
    return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY root, const std::string &subKey, HKEY *result)
{
    std::lock_guard guard(g_mutex);
    KeyRequest wanted;
    if (const LONG rc = requestKey(root, subKey, result, wanted); rc != ERROR_SUCCESS)
        return rc;
    if (!wanted.tree->find(wanted.path))
        return wanted.tree->find(root->path) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    *result = newHandle(root->hive, std::move(wanted.file), std::move(wanted.path));
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

LONG RegQueryValueEx(HKEY key, const std::string &valueName, DWORD *type, void *data, DWORD *size)
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
    const LONG rc = copyOut(v->data, data, size);
    if (rc == ERROR_SUCCESS && data)
        g_known[knownName(fileOf(key), key->path, &valueName)] = *v;
    return rc;
}

LONG RegSetValueEx(HKEY key, const std::string &valueName, DWORD type, const void *data, DWORD size)
{
    std::lock_guard guard(g_mutex);
    if (!isValid(key))
        return ERROR_INVALID_HANDLE;
    if (!validValueName(valueName) || (size && !data) || size > kMaxValueDataSize)
        return ERROR_INVALID_PARAMETER;
    std::string bytes(static_cast<const char *>(data), size);
    const std::string known = knownName(fileOf(key), key->path, &valueName);
    if (const auto it = g_known.find(known);
        it != g_known.end() && it->second.type == type && it->second.data == bytes)
        return currentKey(key) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    const LONG rc = modifyKey(key, [valueName, type, bytes](reg::RegKey &k) {
        k.setValue(valueName, type, bytes);
        return ERROR_SUCCESS;
    });
    if (rc == ERROR_SUCCESS)
        g_known[known] = reg::RegValue{valueName, type, std::move(bytes)};
    return rc;
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
    g_known.erase(knownName(fileOf(key), key->path, &valueName));
    return modifyKey(key, [valueName](reg::RegKey &k) {
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
        const reg::RegKey &tree = liveTree(file, key->hive);
        if (!tree.find(key->path))
            return ERROR_KEY_DELETED;
        if (!tree.find(target))
            return ERROR_FILE_NOT_FOUND;
    }
    forgetKnown(knownName(file, target));
    return modifyHive(file, key->hive, [target](reg::RegKey &t) {
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

LONG RegEnumValue(HKEY key, DWORD index, char *name, DWORD *nameSize, DWORD *type, void *data,
                  DWORD *dataSize)
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
    const LONG rc = copyOut(v.data, data, dataSize);
    if (rc == ERROR_SUCCESS && data)
        g_known[knownName(fileOf(key), key->path, &v.name)] = v;
    return rc;
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
