#pragma once
// A small registry with the calling conventions of the Win32 registry API, kept in two
// hand-editable text files in the regedit format (see RegFile.h):
//   HKEY_CURRENT_USER  -> $XDG_CONFIG_HOME/oxlume/user.reg     (default ~/.config)
//   HKEY_CLASSES_ROOT  -> $XDG_DATA_HOME/oxlume/classes.reg    (default ~/.local/share)
// The environment is read again whenever a key is opened, so a handle stays bound to the
// file that was current when it was opened.
//
// Handles are live, as in Win32: every call sees the file as it is now (a read re-parses
// only when the file's bytes changed since the last parse). Every modifying call is a
// locked read-modify-write of the whole file, saved by temporary file + fsync + rename, so
// a crash leaves the old or the new file and two processes never lose each other's change.
// A RegistryBatch groups the changes of one operation into one such rewrite per hive, and
// reads each hive file once for all the calls inside it.
//
// Two running instances never undo each other's changes: setting a value to exactly what
// this process last read or wrote of it is no change and writes nothing, so a program that
// saves all its settings at the end writes only those it changed, and what another
// instance saved meanwhile stays. Deleting a value or a key is always a change.
//
// Saving refuses a folder that belongs to another user or that others may write to (said
// once on stderr; reading still works), and follows a hive that is a symbolic link only to
// a regular file of this user.
//
// Key names are compared without regard to ASCII case and keep the spelling they were
// created with. All functions return Win32 error numbers and never throw on bad input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace oxlume {

using DWORD = std::uint32_t;
using LONG = std::int32_t;

struct RegKeyHandle;
using HKEY = RegKeyHandle *;

// The two predefined roots. They need no opening and closing them does nothing.
extern const HKEY HKEY_CURRENT_USER;
extern const HKEY HKEY_CLASSES_ROOT;

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_CANTWRITE = 1013;   // the hive file could not be saved
inline constexpr LONG ERROR_KEY_DELETED = 1018; // the handle's key was deleted meanwhile

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits as in Win32: a key name component up to 255 bytes, a value name up to 16383.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
// Keys nest at most this deep below a root, as in Win32; a deeper path is refused
// (ERROR_INVALID_PARAMETER), and a hive file with a deeper section is taken as damaged.
inline constexpr std::size_t kMaxKeyDepth = 512;
// Larger values are refused (ERROR_INVALID_PARAMETER); the hive is a small text file.
inline constexpr std::size_t kMaxValueDataSize = 1024 * 1024;

// Opens subKey below root, creating it (and missing parents) when absent. disposition
// (optional) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. subKey uses '\' as
// separator; "" opens root itself. A malformed name (empty component, control bytes, too
// long, deeper than kMaxKeyDepth) gives ERROR_INVALID_PARAMETER. A hive that may not be
// saved (no permission, a read-only file system, an unsafe folder, a path that is not a
// file) gives ERROR_ACCESS_DENIED, one that fails while saving (a full disk, a result
// larger than the reader accepts) ERROR_CANTWRITE; the file is then left as it was.
LONG RegCreateKeyEx(HKEY root, const std::string &subKey, HKEY *result,
                    DWORD *disposition = nullptr);

// Opens an existing key; ERROR_FILE_NOT_FOUND when it is absent (also when the hive file
// is missing, unreadable or damaged).
LONG RegOpenKeyEx(HKEY root, const std::string &subKey, HKEY *result);

// Releases a handle. ERROR_INVALID_HANDLE for a handle that is not open.
LONG RegCloseKey(HKEY key);

// Reads a value; valueName "" is the default (unnamed) value. type may be null. With data
// null, *size receives the size. With data given, *size is the buffer size on entry and
// the stored size on return; a short buffer gives ERROR_MORE_DATA with *size the size
// needed and nothing copied. Data is returned exactly as stored (a REG_SZ written with its
// terminating zero comes back with it).
LONG RegQueryValueEx(HKEY key, const std::string &valueName, DWORD *type, void *data, DWORD *size);

// Stores a value of any type and size up to kMaxValueDataSize; creates or replaces. A
// value name with control bytes gives ERROR_INVALID_PARAMETER; a hive that cannot be saved
// gives the codes of RegCreateKeyEx.
LONG RegSetValueEx(HKEY key, const std::string &valueName, DWORD type, const void *data,
                   DWORD size);

// Removes one value; ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegDeleteValue(HKEY key, const std::string &valueName);

// Deletes subKey of key ("" deletes key itself) with its values. A key that has sub-keys
// is not deleted: ERROR_ACCESS_DENIED, as in Win32. Roots cannot be deleted.
LONG RegDeleteKey(HKEY key, const std::string &subKey);

// Counts and longest lengths (bytes, without terminator); every pointer may be null.
LONG RegQueryInfoKey(HKEY key, DWORD *subKeys, DWORD *maxSubKeyLength, DWORD *values,
                     DWORD *maxValueNameLength, DWORD *maxValueLength);

// Values in the order they were first set. *nameSize is the capacity of name in bytes,
// terminator included, on entry, and the name's length without terminator on return;
// when the name does not fit: ERROR_MORE_DATA, nothing copied, *nameSize the length
// needed without terminator. type, data and dataSize follow RegQueryValueEx (all
// optional). ERROR_NO_MORE_ITEMS past the last value.
LONG RegEnumValue(HKEY key, DWORD index, char *name, DWORD *nameSize, DWORD *type, void *data,
                  DWORD *dataSize);

// Sub-keys in case-insensitive name order; the name contract of RegEnumValue.
LONG RegEnumKeyEx(HKEY key, DWORD index, char *name, DWORD *nameSize);

// An open key that is closed when its owner goes, on every path out of a scope. Pass
// receive() to the call that opens it; it converts to the HKEY for the other calls.
class ScopedRegKey {
public:
    ScopedRegKey() = default;
    explicit ScopedRegKey(HKEY key)
        : m_key(key)
    {
    }
    ~ScopedRegKey() { reset(); }
    ScopedRegKey(ScopedRegKey &&other) noexcept
        : m_key(std::exchange(other.m_key, nullptr))
    {
    }
    ScopedRegKey &operator=(ScopedRegKey &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_key = std::exchange(other.m_key, nullptr);
        }
        return *this;
    }
    ScopedRegKey(const ScopedRegKey &) = delete;
    ScopedRegKey &operator=(const ScopedRegKey &) = delete;

    HKEY get() const { return m_key; }
    operator HKEY() const { return m_key; }
    // Closes what is held and gives the place for an opening call to store the new key.
    HKEY *receive()
    {
        reset();
        return &m_key;
    }
    void reset()
    {
        if (m_key)
            RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

// Groups every change that this thread makes while the batch is open into one locked
// read-modify-write per hive at commit (one temporary file, one fsync, one rename). Calls
// inside see each hive as the batch first read it, with their own changes; a save at
// commit still merges them into what another program saved meanwhile. A hive that cannot
// be saved at all is refused at the first change. A batch opened inside another one joins
// it; other threads are not affected.
class RegistryBatch {
public:
    RegistryBatch();
    ~RegistryBatch(); // commits what is still held; its result is then lost
    RegistryBatch(const RegistryBatch &) = delete;
    RegistryBatch &operator=(const RegistryBatch &) = delete;

    // Saves the changes. ERROR_SUCCESS, or the first failure met by a call inside the batch
    // or by the save (the codes of RegCreateKeyEx); failedFile() and failureReason() then
    // name the file and say why. An inner batch's commit does nothing and succeeds.
    LONG commit();
    const std::string &failedFile() const { return m_failedFile; }
    const std::string &failureReason() const { return m_failureReason; }

private:
    enum class State { Outer, Inner, Passing, Done };
    State m_state = State::Passing; // Passing: another thread's batch is open
    std::string m_failedFile;
    std::string m_failureReason;
};

// The file that holds a root's hive, from the environment as it is now.
std::string RegistryHivePath(HKEY root);

} // namespace oxlume
