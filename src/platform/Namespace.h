#pragma once
// The viewer's namespace tree and its item-ID lists.
//
// Desktop (root, the empty list, no path)
//   Home            the user's home folder
//   Computer        virtual, no path
//     /             "File System"
//     <mount point> removable and block-device file systems, named by the last component
//   <entries of the desktop folder>
// and below every folder with a path, its file-system entries.
//
// An item-ID list is one byte block: items of a 16-bit little-endian byte count (counting
// the two count bytes) followed by a kind byte and the item's name bytes, ended by a 2-byte
// zero. The list alone identifies its item; nothing is kept on the side.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>

namespace oxlume {

// Shell attribute flags (the shell's published SFGAO values).
inline constexpr std::uint32_t SFGAO_CAPABILITYMASK = 0x00000177;
inline constexpr std::uint32_t SFGAO_DISPLAYATTRMASK = 0x000F0000;
inline constexpr std::uint32_t SFGAO_COMPRESSED = 0x04000000;
inline constexpr std::uint32_t SFGAO_BROWSABLE = 0x08000000;
inline constexpr std::uint32_t SFGAO_FILESYSANCESTOR = 0x10000000;
inline constexpr std::uint32_t SFGAO_FOLDER = 0x20000000;
inline constexpr std::uint32_t SFGAO_FILESYSTEM = 0x40000000;
inline constexpr std::uint32_t SFGAO_HASSUBFOLDER = 0x80000000;

// Enumeration flags.
inline constexpr std::uint32_t SHCONTF_FOLDERS = 0x20;
inline constexpr std::uint32_t SHCONTF_NONFOLDERS = 0x40;
inline constexpr std::uint32_t SHCONTF_INCLUDEHIDDEN = 0x80;

// Attributes of the kinds of item.
inline constexpr std::uint32_t kFolderAttributes =
    SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR;
inline constexpr std::uint32_t kFileAttributes = SFGAO_FILESYSTEM;
inline constexpr std::uint32_t kComputerAttributes =
    SFGAO_FOLDER | SFGAO_FILESYSANCESTOR | SFGAO_HASSUBFOLDER;

// HRESULT-like statuses of an enumeration: 0 is success, failures are negative.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusFileNotFound = static_cast<int>(0x80070002u);
inline constexpr int kStatusAccessDenied = static_cast<int>(0x80070005u);
inline constexpr int kStatusNameTooLong = static_cast<int>(0x800700CEu);
inline constexpr int kStatusNotAFolder = static_cast<int>(0x8007010Bu);
inline constexpr int kStatusInvalidArgument = static_cast<int>(0x80070057u);
inline constexpr int kStatusFail = static_cast<int>(0x80004005u);

// The kind byte that starts every item.
enum class ItemKind : std::uint8_t {
    Home = 1,           // no name bytes
    Computer = 2,       // no name bytes
    FileSystemRoot = 3, // name "/"
    MountPoint = 4,     // name: the mount point's absolute path
    DesktopEntry = 5,   // name: the entry's name in the desktop folder
    FileSystemEntry = 6 // name: the entry's name in its parent folder
};

// One item of a list, viewed in place.
struct ItemView {
    ItemKind kind;
    std::string_view name;
};

// An owning item-ID list. A default-constructed list is absent (the shell's null pointer);
// a present list is always well formed.
class PIDL {
public:
    PIDL() = default;

    // The desktop: the terminator alone.
    static PIDL desktop();
    // A list from raw bytes; absent unless the bytes are a well-formed list (counts of at
    // least 3 inside the block, terminator exactly at the end).
    static PIDL fromBytes(std::span<const std::uint8_t> bytes);

    bool isAbsent() const { return m_bytes.empty(); }
    explicit operator bool() const { return !isAbsent(); }

    // Total bytes including the terminator; 0 when absent, 2 for the desktop.
    std::size_t size() const { return m_bytes.size(); }
    // The block, nullptr when absent.
    const std::uint8_t *data() const;
    std::span<const std::uint8_t> bytes() const { return {data(), size()}; }

    // Number of items (terminator not counted); 0 when absent.
    std::size_t count() const;
    std::vector<ItemView> items() const;
    // The last item; kind 0 and no name for an absent or empty list.
    ItemView last() const;

    // Appends one item (an absent list becomes the desktop first). Reuses the buffer, so a
    // list assigned over and over costs no allocation once it is large enough. Returns
    // false (list unchanged) when the item would not fit its 16-bit count.
    bool append(ItemKind kind, std::string_view name);
    // Replaces the content by the one-item child list of (kind, name); false if too long.
    bool assignChild(ItemKind kind, std::string_view name);
    // Drops the last item; no effect on an absent or empty list.
    void removeLast();
    void reset() { m_bytes.clear(); }

    friend bool operator==(const PIDL &a, const PIDL &b);

private:
    std::string m_bytes; // a byte string so short lists live in the object itself
};

// Where the tree's two user folders are. desktop empty: the desktop shows no entries of
// its own (used when the desktop folder is missing or is the home folder itself, which is
// already on the desktop as Home).
struct NamespaceRoots {
    std::string home;
    std::string desktop;
};

// The file-system path of an absolute list; empty for the desktop, Computer, an absent or
// malformed list, or a list that needs a root path that is empty.
std::string namespacePath(const PIDL &list, const NamespaceRoots &roots);

// The absolute list of an absolute path: Computer, "/", one item per component. "." and
// empty components are dropped, ".." removes the previous component (the spelling the user
// gave is kept; symbolic links are not resolved). Absent when the path is not absolute,
// a component is too long, or the result does not exist.
PIDL namespaceListOfPath(std::string_view absolutePath);

// The lexical canonical spelling of an absolute path (as above, without the existence
// check); empty when the path is not absolute.
std::string lexicalPath(std::string_view absolutePath);

// Names of a child item as the listing shows them: the display name (never contains '/')
// and the parsing name, unique within its folder (a file-system entry's name; the path of
// Home, "/" and mount points; "computer:///" for Computer).
std::string itemDisplayName(ItemView item);
std::string itemParsingName(ItemView item, const NamespaceRoots &roots);

// Mount points to list under Computer from the text of /proc/self/mountinfo: mounts of
// block devices (source under /dev/, loop devices and squashfs left out) of a whole file
// system, in file order without repeats, "/" left out (it is listed once on its own).
std::vector<std::string> mountPointsFromMountInfo(std::string_view text);
// The same for the running system; empty when /proc/self/mountinfo cannot be read.
std::vector<std::string> systemMountPoints();

// One child of a namespace folder as the enumerator yields it. name stays valid until the
// next call of next() or close().
struct NamespaceEntry {
    ItemKind kind;
    std::string_view name;
    std::uint32_t attributes;
};

// Walks one folder of the tree. File-system folders are read with opendir/readdir; an
// entry is classified by d_type, with a stat (following links) only when the type is
// unknown or a link, so a link to a folder is a folder and a dangling or looping link is a
// file. "." and ".." are skipped; everything else is yielded as its bytes are.
class NamespaceEnumerator {
public:
    NamespaceEnumerator() = default;
    ~NamespaceEnumerator();
    NamespaceEnumerator(const NamespaceEnumerator &) = delete;
    NamespaceEnumerator &operator=(const NamespaceEnumerator &) = delete;

    // Opens the folder named by an absolute list with SHCONTF_ flags. Returns kStatusOk or
    // a failure status (missing, denied, not a folder, malformed list); on failure nothing
    // stays open.
    int open(const PIDL &folder, std::uint32_t flags, const NamespaceRoots &roots);
    // The next child; false at the end (a read error also ends the walk).
    bool next(NamespaceEntry &entry);
    void close();
    bool isOpen() const { return m_open; }

private:
    bool nextVirtual(NamespaceEntry &entry);
    bool wanted(bool folder, std::string_view name) const;

    bool m_open = false;
    std::uint32_t m_flags = 0;
    ItemKind m_childKind = ItemKind::FileSystemEntry;
    DIR *m_dir = nullptr;
    // Children of the desktop and of Computer, yielded before the desktop folder's entries.
    std::vector<NamespaceEntry> m_virtual;
    std::vector<std::string> m_virtualNames;
    std::size_t m_virtualIndex = 0;
};

} // namespace oxlume
