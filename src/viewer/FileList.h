#pragma once
// The file list's entries: one string per entry, its drawn part and its key joined by '/'
// (a byte no file name can hold). A folder's key is a blank and its parsing name, the
// parent entry's key " ..", a file's key its name. Keys are the file system's bytes; the drawn part
// is turned into text only for painting.

#include "platform/Namespace.h"

#include <QCollator>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oxlume {

inline constexpr char kEntrySeparator = '/';
inline constexpr std::string_view kParentKey = " ..";

enum class EntryKind : std::uint8_t { Image, Folder, Parent };

struct FileEntry {
    std::string text;         // drawn part + '/' + key
    std::size_t keyStart = 0; // first byte of the key
    // Kept beside the string: a file whose name begins with a blank has a key that begins
    // with a blank too, and must still open as a file.
    EntryKind kind = EntryKind::Image;
    // The file's full path when it cannot be built from the listed folder's path (a folder
    // without a path, such as the desktop); empty otherwise.
    std::string path;

    std::string_view drawn() const { return std::string_view(text).substr(0, keyStart - 1); }
    std::string_view key() const { return std::string_view(text).substr(keyStart); }
    bool isFolderOrParent() const { return kind != EntryKind::Image; }
    bool isParent() const { return kind == EntryKind::Parent; }
};

// " [" + displayName + "]/ " + parsingName; the parent entry is built from ".." and "..".
FileEntry MakeFolderEntry(std::string_view displayName, std::string_view parsingName);
// displayName + "/" + parsingName.
FileEntry MakeImageEntry(std::string_view displayName, std::string_view parsingName);

// A filter's mask list prepared once per listing: matches(name) gives what
// MatchesMaskList(name, list) gives, without taking the list apart again for every file.
// Masks of the form "*" + plain text (all of the image filters) are a suffix test.
class MaskFilter {
public:
    explicit MaskFilter(std::string_view maskList);
    bool matches(std::string_view name) const;

private:
    struct Mask {
        std::string text;
        bool suffixOnly = false; // "*" followed by text without '*' or '?'
        std::string suffix;      // that text in lower case
    };
    std::string m_list;
    std::vector<Mask> m_masks;
};

// The user's collation: case-insensitive, punctuation significant (so a leading blank
// sorts before letters and digits). Bytes that are not UTF-8 collate as replacement
// characters; entries that collate equal keep a fixed order by their bytes.
QCollator EntryCollator();

// Sorts a whole listing once, by collation keys of the entry strings. The parent entry is
// always put first, whatever the collation makes of "..": some punctuation ('_', '-')
// collates before '.', and the way up must stay at the top.
void SortEntries(std::vector<FileEntry> &entries, const QCollator &collator);

// Collation comparison of two byte strings (<0, 0, >0).
int CompareKeys(const QCollator &collator, std::string_view a, std::string_view b);

// Halving search by key over entries[low..high] (inclusive, low <= high): the index of an
// entry whose key equals key, else the first one whose key is not less, else high.
// Indexes outside the vector raise RangeCheckError.
std::size_t FindEntry(const std::vector<FileEntry> &entries, const QCollator &collator,
                      std::string_view key, std::size_t low, std::size_t high);

// The index of the entry whose key equals name under the collation, or -1. Tries the
// halving search first; because the list is ordered by whole entry strings and not by keys
// (a name that is a prefix of another can order differently), it falls back to a scan for
// the exact bytes so that an existing entry is always found. Among keys that collate equal
// (a.jpg and A.jpg) the one with exactly name's bytes wins.
long LocateKey(const std::vector<FileEntry> &entries, const QCollator &collator,
               std::string_view name);

// The row of the next (step > 0) or previous (step < 0) image entry from row from, or -1
// when there is none that way. From -1 (nothing selected) the first or the last image.
int nextImageRow(const std::vector<FileEntry> &entries, int from, int step);

// One folder's listing as the list shows it.
struct FolderListing {
    std::vector<FileEntry> entries; // sorted: the parent entry, folders, then images
    int imageCount = 0;
    PIDL parent; // the parent entry's list; absent where there is none (the desktop)
};

// Enumerates folder, hidden entries included: the parent entry, sub-folders that are or
// hold file-system folders, and the files that filter passes, sorted by collator. Where
// the folder has no path, each image carries the path of its own item-ID list. The folder
// cache is refilled with the listed folders' records. nullopt when the folder cannot be
// enumerated; the cache is then left as it was.
std::optional<FolderListing> ListFolder(const PIDL &folder, const MaskFilter &filter,
                                        const QCollator &collator);

} // namespace oxlume
