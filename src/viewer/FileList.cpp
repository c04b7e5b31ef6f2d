#include "FileList.h"

#include "platform/Errors.h"
#include "platform/TrelvinImport.h"
#include "shell/MaskMatch.h"
#include "shell/PIDLFunctions.h"

#include <QCollatorSortKey>
#include <QLocale>
#include <QString>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

namespace oxlume {

namespace {

QString textOf(std::string_view bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

FileEntry MakeFolderEntry(std::string_view displayName, std::string_view parsingName)
{
    FileEntry entry;
    entry.text.reserve(displayName.size() + parsingName.size() + 5);
    entry.text.append(" [").append(displayName).append("]/ ");
    entry.keyStart = entry.text.size() - 1;
    entry.text.append(parsingName);
    entry.kind = parsingName == ".." ? EntryKind::Parent : EntryKind::Folder;
    return entry;
}

FileEntry MakeImageEntry(std::string_view displayName, std::string_view parsingName)
{
    FileEntry entry;
    entry.text.reserve(displayName.size() + parsingName.size() + 1);
    entry.text.append(displayName).push_back(kEntrySeparator);
    entry.keyStart = entry.text.size();
    entry.text.append(parsingName);
    return entry;
}

MaskFilter::MaskFilter(std::string_view maskList)
    : m_list(maskList)
{
    // The pieces MatchesMaskList tries, in its order. Empty pieces never match a name.
    const std::string normalised = NormaliseMaskList(maskList);
    std::string_view rest(normalised);
    for (;;) {
        const std::size_t semi = rest.find(';');
        const std::string_view piece = rest.substr(0, semi);
        if (!piece.empty()) {
            Mask mask{std::string(piece), false, {}};
            const std::string_view tail = piece.substr(1);
            if (piece.front() == '*' && !tail.empty() &&
                tail.find_first_of("*?") == std::string_view::npos) {
                mask.suffixOnly = true;
                for (char c : tail)
                    mask.suffix.push_back(char(c_tolower(static_cast<unsigned char>(c))));
            }
            m_masks.push_back(std::move(mask));
        }
        if (semi == std::string_view::npos)
            break;
        rest.remove_prefix(semi + 1);
    }
}

bool MaskFilter::matches(std::string_view name) const
{
    if (m_list.empty() || name.empty())
        return MatchesMaskList(name, m_list);
    for (const Mask &mask : m_masks) {
        if (!mask.suffixOnly) {
            if (MatchMask(name, mask.text, 0, 0))
                return true;
            continue;
        }
        // The star takes at least one character; the rest must be the suffix.
        const std::size_t length = mask.suffix.size();
        if (name.size() <= length)
            continue;
        const std::string_view tail = name.substr(name.size() - length);
        bool same = true;
        for (std::size_t k = 0; same && k < length; ++k)
            same = c_tolower(static_cast<unsigned char>(tail[k])) ==
                   static_cast<unsigned char>(mask.suffix[k]);
        if (same)
            return true;
    }
    return false;
}

QCollator EntryCollator()
{
    // The user's locale; the C/POSIX locale has no collation of its own (Qt falls back to
    // code-point order there, where sort keys and comparisons do not even agree), so it
    // gets the common order that ICU's root collation gives.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setIgnorePunctuation(false);
    collator.setNumericMode(false);
    return collator;
}

int CompareKeys(const QCollator &collator, std::string_view a, std::string_view b)
{
    const int order = collator.compare(textOf(a), textOf(b));
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

namespace {

// Fast path for listings whose names are all printable ASCII. Under the collations we use
// (secondary strength, punctuation not ignorable) such strings compare as sequences of
// per-character primary weights, unless the locale joins characters into one letter (as
// Danish "aa" or Hungarian "cs" do). The weights are read off the collator itself, and the
// table is used only when all two-character strings sort the same way through it.
constexpr int kFirstPrintable = 0x20;
constexpr int kLastPrintable = 0x7E;
constexpr std::size_t kAsciiTableMinimum = 2000; // smaller listings: collation keys only

struct AsciiWeights {
    std::array<std::uint8_t, 128> rank{};
    bool usable = false;
};

AsciiWeights buildAsciiWeights(const QCollator &collator)
{
    AsciiWeights weights;
    std::vector<char> chars;
    for (int c = kFirstPrintable; c <= kLastPrintable; ++c)
        chars.push_back(char(c));
    const auto text = [](std::string_view s) { return textOf(s); };
    std::stable_sort(chars.begin(), chars.end(), [&](char a, char b) {
        return collator.compare(text({&a, 1}), text({&b, 1})) < 0;
    });
    std::uint8_t rank = 0;
    for (std::size_t k = 0; k < chars.size(); ++k) {
        if (k == 0 || collator.compare(text({&chars[k - 1], 1}), text({&chars[k], 1})) != 0)
            ++rank;
        weights.rank[std::size_t(chars[k])] = rank;
    }

    std::vector<std::string> pairs;
    for (int a = kFirstPrintable; a <= kLastPrintable; ++a)
        for (int b = kFirstPrintable; b <= kLastPrintable; ++b)
            pairs.push_back({char(a), char(b)});
    std::vector<QCollatorSortKey> keys;
    keys.reserve(pairs.size());
    for (const std::string &pair : pairs)
        keys.push_back(collator.sortKey(textOf(pair)));
    std::vector<std::size_t> order(pairs.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return keys[a].compare(keys[b]) < 0; });
    const auto ranked = [&](std::size_t index) {
        return std::pair(weights.rank[std::size_t(pairs[index][0])],
                         weights.rank[std::size_t(pairs[index][1])]);
    };
    for (std::size_t k = 1; k < order.size(); ++k) {
        const int byKeys = keys[order[k - 1]].compare(keys[order[k]]);
        const auto before = ranked(order[k - 1]), after = ranked(order[k]);
        if (byKeys == 0 ? before != after : !(before < after))
            return weights; // the locale joins characters: not usable
    }
    weights.usable = true;
    return weights;
}

const AsciiWeights &asciiWeightsFor(const QCollator &collator)
{
    static std::mutex lock;
    static std::map<QString, AsciiWeights> cache;
    const QString id = collator.locale().name() +
                       (collator.caseSensitivity() == Qt::CaseInsensitive ? u'i' : u's') +
                       (collator.ignorePunctuation() ? u'p' : u'-') +
                       (collator.numericMode() ? u'n' : u'-');
    const std::lock_guard guard(lock);
    auto found = cache.find(id);
    if (found == cache.end()) {
        // Numeric mode and case sensitivity change the picture: only the plain
        // case-insensitive collation gets a table.
        AsciiWeights weights;
        if (collator.caseSensitivity() == Qt::CaseInsensitive && !collator.numericMode() &&
            !collator.ignorePunctuation())
            weights = buildAsciiWeights(collator);
        found = cache.emplace(id, weights).first;
    }
    return found->second;
}

bool printableAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return c >= char(kFirstPrintable) && c <= char(kLastPrintable);
    });
}

// Below this many entries one thread sorts; above it the work is split in two.
constexpr std::size_t kParallelSortThreshold = 20000;

QCollator sameCollation(const QCollator &collator)
{
    // A collator of its own for another thread: copies share state that is set up lazily.
    QCollator copy(collator.locale());
    copy.setCaseSensitivity(collator.caseSensitivity());
    copy.setIgnorePunctuation(collator.ignorePunctuation());
    copy.setNumericMode(collator.numericMode());
    return copy;
}

void makeSortKeys(const std::vector<FileEntry> &entries, std::size_t first, std::size_t begin,
                  std::size_t end, const QCollator &collator, std::vector<QCollatorSortKey> &keys)
{
    for (std::size_t k = begin; k < end; ++k)
        keys.push_back(collator.sortKey(textOf(entries[first + k].text)));
}

} // namespace

void SortEntries(std::vector<FileEntry> &entries, const QCollator &collator)
{
    auto parent = std::find_if(entries.begin(), entries.end(),
                               [](const FileEntry &e) { return e.isParent(); });
    if (parent != entries.end())
        std::iter_swap(entries.begin(), parent);
    const std::size_t first = parent != entries.end() ? 1 : 0;
    const std::size_t count = entries.size() - first;
    if (count < 2)
        return;

    if (count >= kAsciiTableMinimum &&
        std::all_of(entries.begin() + std::ptrdiff_t(first), entries.end(),
                    [](const FileEntry &e) { return printableAscii(e.text); })) {
        const AsciiWeights &weights = asciiWeightsFor(collator);
        if (weights.usable) {
            const auto less = [&weights](const FileEntry &a, const FileEntry &b) {
                const std::size_t n = std::min(a.text.size(), b.text.size());
                for (std::size_t k = 0; k < n; ++k) {
                    const auto x = weights.rank[std::size_t(a.text[k])];
                    const auto y = weights.rank[std::size_t(b.text[k])];
                    if (x != y)
                        return x < y;
                }
                if (a.text.size() != b.text.size())
                    return a.text.size() < b.text.size();
                return a.text < b.text;
            };
            std::sort(entries.begin() + std::ptrdiff_t(first), entries.end(), less);
            return;
        }
    }

    // One collation key per entry, then one sort of indexes: the entry strings are turned
    // into text once, not at every comparison. Large listings use two threads.
    const bool split = count >= kParallelSortThreshold;
    const std::size_t half = split ? count / 2 : count;
    std::vector<QCollatorSortKey> keys;
    keys.reserve(count);
    if (split) {
        std::vector<QCollatorSortKey> upper;
        upper.reserve(count - half);
        const QCollator other = sameCollation(collator);
        std::thread helper(makeSortKeys, std::cref(entries), first, half, count, std::cref(other),
                           std::ref(upper));
        makeSortKeys(entries, first, 0, half, collator, keys);
        helper.join();
        std::move(upper.begin(), upper.end(), std::back_inserter(keys));
    } else {
        makeSortKeys(entries, first, 0, count, collator, keys);
    }

    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t(0));
    const auto less = [&](std::size_t a, std::size_t b) {
        const int c = keys[a].compare(keys[b]);
        if (c != 0)
            return c < 0;
        return entries[first + a].text < entries[first + b].text;
    };
    if (split) {
        const auto middle = order.begin() + std::ptrdiff_t(half);
        std::thread helper([&] { std::sort(middle, order.end(), less); });
        std::sort(order.begin(), middle, less);
        helper.join();
        std::inplace_merge(order.begin(), middle, order.end(), less);
    } else {
        std::sort(order.begin(), order.end(), less);
    }

    std::vector<FileEntry> sorted;
    sorted.reserve(entries.size());
    if (first == 1)
        sorted.push_back(std::move(entries[0]));
    for (std::size_t index : order)
        sorted.push_back(std::move(entries[first + index]));
    entries = std::move(sorted);
}

std::size_t FindEntry(const std::vector<FileEntry> &entries, const QCollator &collator,
                      std::string_view key, std::size_t low, std::size_t high)
{
    if (low > high || high >= entries.size())
        throw RangeCheckError();
    const QString wanted = textOf(key);
    const auto compareAt = [&](std::size_t index) {
        return collator.compare(textOf(entries[index].key()), wanted);
    };
    for (;;) {
        if (low == high)
            return low;
        if (low + 1 == high)
            return compareAt(low) >= 0 ? low : high;
        const std::size_t mid = low + (high - low) / 2;
        const int c = compareAt(mid);
        if (c == 0)
            return mid;
        if (c > 0)
            high = mid;
        else
            low = mid;
    }
}

long LocateKey(const std::vector<FileEntry> &entries, const QCollator &collator,
               std::string_view name)
{
    if (entries.empty())
        return -1;
    const std::size_t found = FindEntry(entries, collator, name, 0, entries.size() - 1);
    if (CompareKeys(collator, entries[found].key(), name) == 0) {
        if (entries[found].key() == name)
            return static_cast<long>(found);
        // A tie under the collation (names differing only in case): the exact bytes decide,
        // else the entry found stands.
        for (std::size_t k = found; k-- > 0 && CompareKeys(collator, entries[k].key(), name) == 0;)
            if (entries[k].key() == name)
                return static_cast<long>(k);
        for (std::size_t k = found + 1;
             k < entries.size() && CompareKeys(collator, entries[k].key(), name) == 0; ++k)
            if (entries[k].key() == name)
                return static_cast<long>(k);
    }
    for (std::size_t k = 0; k < entries.size(); ++k)
        if (entries[k].key() == name)
            return static_cast<long>(k);
    if (CompareKeys(collator, entries[found].key(), name) == 0)
        return static_cast<long>(found);
    return -1;
}

int nextImageRow(const std::vector<FileEntry> &entries, int from, int step)
{
    const int count = static_cast<int>(entries.size());
    const int direction = step < 0 ? -1 : 1;
    int row = from < 0 ? (direction > 0 ? -1 : count) : from;
    for (row += direction; row >= 0 && row < count; row += direction)
        if (!entries[static_cast<std::size_t>(row)].isFolderOrParent())
            return row;
    return -1;
}

namespace {

constexpr std::uint32_t kListingFlags =
    SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN;

// Closes an open enumeration however the listing ends.
struct EnumerationCloser {
    TPIDLFileFind &record;
    ~EnumerationCloser() { PIDLFindClose(record); }
};

} // namespace

std::optional<FolderListing> ListFolder(const PIDL &folder, const MaskFilter &filter,
                                        const QCollator &collator)
{
    TPIDLFileFind record;
    if (PIDLFindFirst(folder, kListingFlags, record) != kStatusOk)
        return std::nullopt;
    EnumerationCloser closer{record};
    FolderCacheClear();
    FolderCacheInit();

    FolderListing listing;
    const bool keepPaths = PIDLToPath(folder).empty();
    while (PIDLFindNext(record)) {
        if (record.Attributes & SFGAO_FOLDER) {
            if (!(record.Attributes & (SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR)))
                continue;
            if (record.ParsingName == "..")
                listing.parent = PIDLCopy(record.IDList);
            listing.entries.push_back(MakeFolderEntry(record.DisplayName, record.ParsingName));
            FolderCacheAdd(record);
        } else if (filter.matches(record.ParsingName)) {
            FileEntry entry = MakeImageEntry(record.DisplayName, record.ParsingName);
            if (keepPaths)
                entry.path = PIDLToPath(PIDLConcat(folder, record.IDList));
            listing.entries.push_back(std::move(entry));
            ++listing.imageCount;
        }
    }
    SortEntries(listing.entries, collator);
    return listing;
}

} // namespace oxlume
