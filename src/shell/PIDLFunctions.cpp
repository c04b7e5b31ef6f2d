#include "PIDLFunctions.h"

#include "FileNameFunctions.h"
#include "platform/Errors.h"
#include "platform/TrelvinImport.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace oxlume {

namespace {

constexpr const char *kUnit = "PIDLFunctions";
constexpr std::uint32_t kParentAttributes =
    SFGAO_HASSUBFOLDER | SFGAO_FOLDER | SFGAO_FILESYSANCESTOR;

// The open enumeration. Main thread only, one at a time.
NamespaceEnumerator g_folderEnum;
PIDL g_folderIDList;
NamespaceRoots g_roots;
bool g_firstFind = false;

// The folder cache.
std::vector<TPIDLFileFind> g_cache;
std::size_t g_cacheCapacity = 0;

bool needsRoots(const PIDL &list)
{
    const ItemKind first = list.count() > 0 ? list.items().front().kind : ItemKind::Computer;
    return first == ItemKind::Home || first == ItemKind::DesktopEntry;
}

bool sameFolder(const std::string &a, const std::string &b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string currentFolder()
{
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()))
            return buffer.data();
        if (errno != ERANGE || buffer.size() > (1u << 20))
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

// Fills the record's names without a temporary string for the common file-system entry.
void assignNames(TPIDLFileFind &record, const NamespaceEntry &entry)
{
    if (entry.kind == ItemKind::FileSystemEntry || entry.kind == ItemKind::DesktopEntry) {
        record.DisplayName.assign(entry.name);
        record.ParsingName.assign(entry.name);
    } else {
        const ItemView item{entry.kind, entry.name};
        record.DisplayName = itemDisplayName(item);
        record.ParsingName = itemParsingName(item, g_roots);
    }
}

} // namespace

// --- Item-ID list helpers ---------------------------------------------------------------

const std::uint8_t *PIDLNext(const std::uint8_t *item)
{
    OX_ASSERT(item, kUnit);
    return item + (item[0] | (static_cast<std::size_t>(item[1]) << 8));
}

std::size_t PIDLSize(const PIDL &list)
{
    return list.size();
}

std::size_t PIDLCount(const PIDL &list)
{
    return list.count();
}

void PIDLRemoveLast(PIDL &list)
{
    list.removeLast();
}

PIDL PIDLCopy(const PIDL &list)
{
    return list;
}

PIDL PIDLConcat(const PIDL &first, const PIDL &second)
{
    OX_ASSERT(!second.isAbsent(), kUnit);
    std::vector<std::uint8_t> bytes;
    const std::size_t head = first.isAbsent() ? 0 : first.size() - 2;
    bytes.reserve(head + second.size());
    bytes.insert(bytes.end(), first.data(), first.data() + head);
    bytes.insert(bytes.end(), second.data(), second.data() + second.size());
    PIDL result = PIDL::fromBytes(bytes);
    OX_ASSERT(!result.isAbsent(), kUnit); // two well-formed lists always join into one
    return result;
}

bool PIDLEqual(const PIDL &a, const PIDL &b)
{
    return PIDLSize(a) == PIDLSize(b) && c_memcmp(a.data(), b.data(), PIDLSize(a)) == 0;
}

NamespaceRoots CurrentNamespaceRoots()
{
    NamespaceRoots roots;
    roots.home = HomePath();
    roots.desktop = SpecialFolderPath(SpecialFolder::Desktop);
    // Home is already on the desktop; listing its content there again would show every
    // file twice.
    if (!roots.desktop.empty() && sameFolder(roots.desktop, roots.home))
        roots.desktop.clear();
    return roots;
}

std::string PIDLToPath(const PIDL &list)
{
    return namespacePath(list, needsRoots(list) ? CurrentNamespaceRoots() : NamespaceRoots());
}

PIDL PathToPIDL(const std::string &path)
{
    OX_ASSERT(!path.empty(), kUnit);
    if (path.front() == '/')
        return namespaceListOfPath(path);
    const std::string cwd = currentFolder();
    if (cwd.empty())
        return {};
    return namespaceListOfPath(cwd + '/' + path);
}

PIDL FolderPathToPIDL(const std::string &path)
{
    OX_ASSERT(!path.empty(), kUnit);
    return PathToPIDL(path.back() == '/' ? path : path + '/');
}

std::string NormalisePath(const std::string &path)
{
    // An empty name (say an empty command-line argument) names nothing.
    if (path.empty())
        return {};
    return PIDLToPath(PathToPIDL(path));
}

PIDL DesktopPIDL()
{
    return PIDL::desktop();
}

bool IsDesktopPIDL(const PIDL &list)
{
    return PIDLEqual(list, DesktopPIDL());
}

std::string DisplayNameOf(const PIDL &folder, const PIDL &child, bool forParsing)
{
    (void)folder; // every item names itself; the folder adds nothing
    if (child.count() == 0)
        return {};
    const ItemView item = child.last();
    if (!forParsing)
        return itemDisplayName(item);
    return itemParsingName(item, item.kind == ItemKind::Home ? CurrentNamespaceRoots()
                                                             : NamespaceRoots());
}

// --- Enumeration ------------------------------------------------------------------------

int PIDLFindFirst(const PIDL &folder, std::uint32_t flags, TPIDLFileFind &record)
{
    OX_ASSERT(!g_folderEnum.isOpen() && !folder.isAbsent(), kUnit);
    record.Attributes = 0;
    record.DisplayName.clear();
    record.ParsingName.clear();
    record.IDList.reset();
    g_firstFind = true;
    g_folderIDList = folder;
    g_roots = CurrentNamespaceRoots();
    const int status = g_folderEnum.open(folder, flags, g_roots);
    if (status != kStatusOk) {
        g_folderIDList.reset();
        g_firstFind = false;
    }
    return status;
}

bool PIDLFindNext(TPIDLFileFind &record, bool releasePrevious)
{
    OX_ASSERT(g_folderEnum.isOpen(), kUnit);
    if (releasePrevious)
        record.IDList.reset();
    const bool first = g_firstFind;
    g_firstFind = false;
    if (first && PIDLCount(g_folderIDList) > 0) {
        record.IDList = g_folderIDList;
        PIDLRemoveLast(record.IDList);
        record.DisplayName = "..";
        record.ParsingName = "..";
        record.Attributes = kParentAttributes;
        return true;
    }
    NamespaceEntry entry;
    if (!g_folderEnum.next(entry))
        return false;
    // Names come from readdir (at most 255 bytes) or the mount table, so they always fit.
    const bool fits = record.IDList.assignChild(entry.kind, entry.name);
    OX_ASSERT(fits, kUnit);
    assignNames(record, entry);
    record.Attributes = entry.attributes;
    return true;
}

void PIDLFindClose(TPIDLFileFind &record, bool releaseCurrent)
{
    if (releaseCurrent)
        record.IDList.reset();
    g_folderEnum.close();
    g_folderIDList.reset();
    g_firstFind = false;
}

// --- Folder cache -----------------------------------------------------------------------

void FolderCacheInit()
{
    OX_ASSERT(g_cacheCapacity == 0, kUnit);
    g_cache.reserve(kFolderCacheInitialCapacity);
    g_cacheCapacity = kFolderCacheInitialCapacity;
}

void FolderCacheAdd(TPIDLFileFind &&record)
{
    OX_ASSERT(g_cacheCapacity != 0, kUnit);
    if (g_cache.size() == g_cacheCapacity) {
        g_cacheCapacity = checkedMul<std::size_t>(g_cacheCapacity, 3) / 2;
        g_cache.reserve(g_cacheCapacity);
    }
    g_cache.push_back(std::move(record));
}

void FolderCacheAdd(const TPIDLFileFind &record)
{
    FolderCacheAdd(TPIDLFileFind(record));
}

bool FolderCacheFind(std::string_view name, TPIDLFileFind &record)
{
    for (const TPIDLFileFind &candidate : g_cache) {
        if (candidate.ParsingName == name) {
            record = candidate;
            return true;
        }
    }
    return false;
}

void FolderCacheClear()
{
    std::vector<TPIDLFileFind>().swap(g_cache);
    g_cacheCapacity = 0;
}

std::size_t FolderCacheCount()
{
    return g_cache.size();
}

std::size_t FolderCacheCapacity()
{
    return g_cacheCapacity;
}

} // namespace oxlume
