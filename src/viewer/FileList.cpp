#include "FileList.h"

#include "platform/Errors.h"

#include <QCollatorSortKey>
#include <QLocale>
#include <QString>

#include <algorithm>
#include <numeric>

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

    // One collation key per entry, then one sort of indexes: the entry strings are turned
    // into text once, not at every comparison.
    std::vector<QCollatorSortKey> keys;
    keys.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        keys.push_back(collator.sortKey(textOf(entries[first + k].text)));
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const int c = keys[a].compare(keys[b]);
        if (c != 0)
            return c < 0;
        return entries[first + a].text < entries[first + b].text;
    });

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
    if (CompareKeys(collator, entries[found].key(), name) == 0)
        return static_cast<long>(found);
    for (std::size_t k = 0; k < entries.size(); ++k)
        if (entries[k].key() == name)
            return static_cast<long>(k);
    return -1;
}

} // namespace oxlume
