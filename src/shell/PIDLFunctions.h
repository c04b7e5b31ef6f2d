#pragma once
// Item-ID lists and the folder enumerator: the program's window on the namespace tree of
// platform/Namespace.h (desktop, Home, Computer, file-system folders).
//
// Lists are owning values (PIDL); an absent list is a default-constructed PIDL. Everything
// here runs on the main thread, and only one enumeration is open at a time.

#include "platform/Namespace.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace oxlume {

// One enumerated entry.
struct TPIDLFileFind {
    std::uint32_t Attributes = 0; // SFGAO_ flags
    std::string DisplayName;      // what the user sees (never contains '/')
    std::string ParsingName;      // the entry's name in its folder, exact bytes
    PIDL IDList;                  // child list; for the parent entry the parent's absolute list
};

// --- Item-ID list helpers -------------------------------------------------------------

// The item after the one at item (its address plus its byte count); item itself when it is
// the terminator.
const std::uint8_t *PIDLNext(const std::uint8_t *item);
// Total bytes including the terminator: 0 for an absent list, 2 for the desktop.
std::size_t PIDLSize(const PIDL &list);
// Number of items; 0 for an absent list and the desktop.
std::size_t PIDLCount(const PIDL &list);
// Drops the last item so the list names the parent; no effect on absent or empty lists.
void PIDLRemoveLast(PIDL &list);
PIDL PIDLCopy(const PIDL &list);
// first (may be absent) followed by second; second absent is an assertion failure.
PIDL PIDLConcat(const PIDL &first, const PIDL &second);
// Same size and same bytes.
bool PIDLEqual(const PIDL &a, const PIDL &b);

// The file-system path of an absolute list; empty for the desktop, Computer, an absent or
// malformed list.
std::string PIDLToPath(const PIDL &list);
// The absolute list of an existing path (relative paths start at the current folder);
// absent when the path does not exist or cannot be read. An empty path is an assertion
// failure.
PIDL PathToPIDL(const std::string &path);
// PathToPIDL of the path with a trailing '/' added when it has none; an empty path is an
// assertion failure.
PIDL FolderPathToPIDL(const std::string &path);
// The canonical spelling of an existing path: "." and ".." resolved by name, doubled
// slashes dropped, symbolic links kept as spelled. Empty when it does not exist.
std::string NormalisePath(const std::string &path);
PIDL DesktopPIDL();
bool IsDesktopPIDL(const PIDL &list);
// The name of child (a one-item list, or a longer list of which the last item counts) in
// folder: the display name, or with forParsing the parsing name. Empty for an absent or
// empty child.
std::string DisplayNameOf(const PIDL &folder, const PIDL &child, bool forParsing);

// The desktop and home folders the tree uses now (from $HOME and the XDG desktop folder;
// no desktop entries when the desktop folder is missing or is the home folder).
NamespaceRoots CurrentNamespaceRoots();

// --- Enumeration ----------------------------------------------------------------------
// PIDLFindFirst(folder, SHCONTF_ flags, record) starts; a status other than 0 means nothing
// is open and no close follows. Then PIDLFindNext yields the parent entry first (names
// "..", attributes 0xB0000000, IDList the parent's absolute list; not on the desktop),
// then the folder's entries unsorted. PIDLFindClose ends it.
//
// Fast listing: pass the same record to every PIDLFindNext. Its two names and its IDList
// are assigned in place and keep their buffers, so a large folder costs no allocation per
// entry; move IDList out only for the entries you keep. The release flags only empty the
// record's IDList (lists are values; nothing leaks without them).
//
// Starting while an enumeration is open, with an absent folder list, or PIDLFindNext with
// none open are assertion failures.
int PIDLFindFirst(const PIDL &folder, std::uint32_t flags, TPIDLFileFind &record);
bool PIDLFindNext(TPIDLFileFind &record, bool releasePrevious = false);
void PIDLFindClose(TPIDLFileFind &record, bool releaseCurrent = false);

// --- Folder cache ---------------------------------------------------------------------
// The folder records of the listing on screen, searched by parsing name. 100 slots at
// first, growing by half when full (150, 225, 337, ...).
inline constexpr std::size_t kFolderCacheInitialCapacity = 100;

// Assertion failure when already initialised.
void FolderCacheInit();
// Appends the record (its IDList goes with it); assertion failure when not initialised.
void FolderCacheAdd(const TPIDLFileFind &record);
void FolderCacheAdd(TPIDLFileFind &&record);
// Copies the first record whose ParsingName equals name byte for byte; false if none.
bool FolderCacheFind(std::string_view name, TPIDLFileFind &record);
// Empties and frees the cache; the next FolderCacheInit starts afresh.
void FolderCacheClear();
std::size_t FolderCacheCount();
// 0 when not initialised.
std::size_t FolderCacheCapacity();

} // namespace oxlume
