#include "platform/RegFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace oxlume::reg {

namespace {

char foldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Orders names the way the lookups compare them.
bool nameLess(std::string_view a, std::string_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(foldAscii(x)) < static_cast<unsigned char>(foldAscii(y));
    });
}

std::vector<RegKey>::iterator lowerBound(std::vector<RegKey> &keys, std::string_view name)
{
    return std::lower_bound(
        keys.begin(), keys.end(), name,
        [](const RegKey &k, std::string_view n) { return nameLess(k.name, n); });
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parses 1..maxDigits hex digits as a whole; false on anything else.
bool parseHexNumber(std::string_view s, std::size_t maxDigits, DWORD &out)
{
    if (s.empty() || s.size() > maxDigits)
        return false;
    DWORD v = 0;
    for (char c : s) {
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<DWORD>(d);
    }
    out = v;
    return true;
}

// Reads a quoted string at the start of s (s[0] == '"'); sets rest to what follows it.
// One more byte is reserved, for the terminator that string values get.
bool parseQuoted(std::string_view s, std::string &out, std::string_view &rest)
{
    out.clear();
    std::size_t i = 1;
    while (true) {
        std::size_t special = i;
        while (special < s.size() && s[special] != '"' && s[special] != '\\')
            ++special;
        if (special == s.size())
            return false; // no closing quote: a cut-off line
        if (out.empty() && s[special] == '"') {
            out.reserve(special - i + 1);
            out.assign(s.data() + i, special - i);
        } else {
            out.append(s.data() + i, special - i);
        }
        if (s[special] == '"') {
            rest = s.substr(special + 1);
            return true;
        }
        if (special + 1 >= s.size())
            return false;
        out += s[special + 1]; // \\ and \" ; any other escaped byte stands for itself
        i = special + 2;
    }
}

// A comma-separated list of bytes, each one or two hex digits with blanks around it; blanks
// alone are an empty list. One pass over the bytes, as long lists make up much of a hive.
bool parseHexList(std::string_view s, std::string &out)
{
    out.resize(s.size() / 2 + 1); // every byte but the last takes a digit and a comma at least
    std::size_t size = 0;
    bool first = true;  // no comma yet
    bool blank = false; // a '\r' before the first item, which only blanks may follow
    bool after = false; // blanks after the digits of an item
    unsigned digits = 0;
    unsigned byte = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        // Most items are two digits and a comma, as this program writes them.
        if (digits == 0 && !blank && i + 2 < s.size() && s[i + 2] == ',') {
            const int high = hexDigit(c);
            const int low = hexDigit(s[i + 1]);
            if (high >= 0 && low >= 0) {
                out[size++] = static_cast<char>((high << 4) | low);
                first = false;
                i += 2;
                continue;
            }
        }
        if (c == ',') {
            if (digits == 0)
                return false;
            out[size++] = static_cast<char>(byte);
            digits = byte = 0;
            after = first = false;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            if (digits != 0) {
                after = true;
            } else if (c == '\r') {
                if (!first)
                    return false;
                blank = true;
            }
            continue;
        }
        const int d = hexDigit(c);
        if (d < 0 || after || blank || digits == 2)
            return false;
        byte = (byte << 4) | static_cast<unsigned>(d);
        ++digits;
    }
    if (digits != 0)
        out[size++] = static_cast<char>(byte);
    else if (!first)
        return false; // after a comma, the last item is empty
    out.resize(size);
    return true;
}

bool quotable(const RegValue &v)
{
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != '\0')
        return false;
    for (std::size_t i = 0; i + 1 < v.data.size(); ++i) {
        const auto c = static_cast<unsigned char>(v.data[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

void appendQuoted(std::string &out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

void appendValue(std::string &out, const RegValue &v)
{
    std::size_t lineStart = out.size();
    if (v.name.empty())
        out += '@';
    else
        appendQuoted(out, v.name);
    out += '=';
    if (quotable(v)) {
        appendQuoted(out, std::string_view(v.data).substr(0, v.data.size() - 1));
        out += '\n';
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = 0;
        for (int i = 3; i >= 0; --i)
            d = (d << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x\n", d);
        out += buf;
        return;
    }
    char buf[24];
    if (v.type == REG_BINARY)
        out += "hex:";
    else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out += buf;
    }
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(v.data[i]));
        out += buf;
        if (i + 1 < v.data.size()) {
            out += ',';
            // Wrap long lists like regedit does, so the file stays readable.
            if (out.size() - lineStart > 76) {
                out += "\\\n  ";
                lineStart = out.size() - 2;
            }
        }
    }
    out += '\n';
}

Error lineError(std::size_t line, const char *what)
{
    return makeError("line " + std::to_string(line) + ": " + what);
}

} // namespace

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    return true;
}

RegKey *RegKey::findSubKey(std::string_view subName)
{
    auto it = lowerBound(subKeys, subName);
    return (it != subKeys.end() && sameName(it->name, subName)) ? &*it : nullptr;
}

const RegKey *RegKey::findSubKey(std::string_view subName) const
{
    return const_cast<RegKey *>(this)->findSubKey(subName);
}

RegKey &RegKey::addSubKey(std::string_view subName)
{
    auto it = lowerBound(subKeys, subName);
    if (it != subKeys.end() && sameName(it->name, subName))
        return *it;
    RegKey key;
    key.name = std::string(subName);
    return *subKeys.insert(it, std::move(key));
}

bool RegKey::removeSubKey(std::string_view subName)
{
    auto it = lowerBound(subKeys, subName);
    if (it == subKeys.end() || !sameName(it->name, subName))
        return false;
    subKeys.erase(it);
    return true;
}

RegValue *RegKey::findValue(std::string_view valueName)
{
    for (RegValue &v : values)
        if (sameName(v.name, valueName))
            return &v;
    return nullptr;
}

const RegValue *RegKey::findValue(std::string_view valueName) const
{
    return const_cast<RegKey *>(this)->findValue(valueName);
}

void RegKey::setValue(std::string_view valueName, DWORD type, std::string data)
{
    if (RegValue *v = findValue(valueName)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    values.push_back(RegValue{std::string(valueName), type, std::move(data)});
}

bool RegKey::removeValue(std::string_view valueName)
{
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const RegValue &v) { return sameName(v.name, valueName); });
    if (it == values.end())
        return false;
    values.erase(it);
    return true;
}

RegKey *RegKey::find(const std::vector<std::string> &path)
{
    RegKey *key = this;
    for (const std::string &part : path) {
        key = key->findSubKey(part);
        if (!key)
            return nullptr;
    }
    return key;
}

const RegKey *RegKey::find(const std::vector<std::string> &path) const
{
    return const_cast<RegKey *>(this)->find(path);
}

bool RegKey::operator==(const RegKey &other) const
{
    if (name != other.name || values.size() != other.values.size() || subKeys != other.subKeys)
        return false;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i].name != other.values[i].name || values[i].type != other.values[i].type ||
            values[i].data != other.values[i].data)
            return false;
    return true;
}

namespace {

// The parse collects the keys in a flat table and builds the tree once at the end, so that
// neither many siblings nor many values in one key make it quadratic: keys are found
// through a hash of (parent, case-folded name) and their children are sorted once. Values
// are appended to their key as they come and merged once at the end, as most hives set
// each value only once.
constexpr std::uint32_t kNone = 0xffffffffu;

struct ParsedKey {
    std::uint32_t owner; // the parent key
    std::uint64_t hash;
    std::string name;
    bool removed = false;
    std::vector<RegValue> values{};         // every line that set or deleted one, in order
    std::vector<std::uint32_t> deletions{}; // the positions in values of "name"=- lines
};

std::uint64_t nameHash(std::uint32_t owner, std::string_view name)
{
    std::uint64_t h = 0xcbf29ce484222325ull ^ (std::uint64_t(owner) * 0x9e3779b97f4a7c15ull);
    for (char c : name)
        h = (h ^ static_cast<unsigned char>(foldAscii(c))) * 0x100000001b3ull;
    return h ^ (h >> 29);
}

// A slot of an open-addressing table of item indices. It keeps part of the hash, so that
// a probe looks at an item only when that part matches.
struct IndexSlot {
    std::uint32_t index = 0; // item index + 1; 0 is an empty slot
    std::uint32_t tag = 0;
};

// The keys by (parent, name). Removed keys stay in their slots until the next growth, so
// probing stays correct.
class KeyIndex {
public:
    explicit KeyIndex(const std::vector<ParsedKey> &keys)
        : m_keys(keys)
    {
    }

    std::uint32_t find(std::uint32_t owner, std::string_view name, std::uint64_t hash) const
    {
        if (m_slots.empty())
            return kNone;
        const std::size_t mask = m_slots.size() - 1;
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const IndexSlot slot = m_slots[i];
            if (slot.index == 0)
                return kNone;
            if (slot.tag != tag)
                continue;
            const ParsedKey &key = m_keys[slot.index - 1];
            if (!key.removed && key.hash == hash && key.owner == owner && sameName(key.name, name))
                return slot.index - 1;
        }
    }

    // Adds the key that was just appended to the table.
    void add()
    {
        if ((m_used + 1) * 2 > m_slots.size())
            grow();
        place(static_cast<std::uint32_t>(m_keys.size() - 1));
    }

private:
    void place(std::uint32_t index)
    {
        const std::size_t mask = m_slots.size() - 1;
        const std::uint64_t hash = m_keys[index].hash;
        std::size_t i = hash & mask;
        while (m_slots[i].index != 0)
            i = (i + 1) & mask;
        m_slots[i] = IndexSlot{index + 1, static_cast<std::uint32_t>(hash >> 32)};
        ++m_used;
    }

    void grow()
    {
        std::size_t size = 64;
        while (size < m_keys.size() * 3)
            size *= 2;
        m_slots.assign(size, IndexSlot{});
        m_used = 0;
        for (std::uint32_t i = 0; i + 1 < m_keys.size(); ++i)
            if (!m_keys[i].removed)
                place(i);
    }

    const std::vector<ParsedKey> &m_keys;
    std::vector<IndexSlot> m_slots;
    std::size_t m_used = 0;
};

class HiveParser {
public:
    explicit HiveParser(std::string_view rootName)
        : m_rootName(rootName)
    {
        m_keys.push_back(ParsedKey{kNone, 0, std::string(rootName)});
    }

    // One logical line (continuations joined, ends trimmed); false with m_error set.
    bool line(std::size_t number, std::string_view text);
    Result<RegKey> finish();
    Error error() const { return m_error; }

private:
    bool section(std::size_t number, std::string_view text);
    bool value(std::size_t number, std::string_view text);
    bool fail(std::size_t number, const char *what)
    {
        m_error = lineError(number, what);
        return false;
    }
    std::uint32_t child(std::uint32_t parent, std::string_view name, bool create);
    void sortChildren(const std::vector<std::uint32_t> &start,
                      std::vector<std::uint32_t> &children) const;
    void mergeValues(ParsedKey &key);
    void build(RegKey &out, std::uint32_t key, const std::vector<std::uint32_t> &childStart,
               const std::vector<std::uint32_t> &children);

    std::string_view m_rootName;
    std::vector<ParsedKey> m_keys;
    KeyIndex m_keyIndex{m_keys};
    std::uint32_t m_current = kNone;       // the key of the section being read
    bool m_skipping = false;               // inside a [-key] deletion section
    std::vector<std::string_view> m_parts; // of the section being read
    // The previous section's name, its parts and their keys. Sections in a row mostly share
    // their parents, which then need no look-up. Emptied by a deletion.
    std::string m_lastName;
    std::vector<std::string_view> m_lastParts;
    std::vector<std::uint32_t> m_lastKeys;
    std::vector<std::uint8_t> m_dropped; // mergeValues' scratch
    std::vector<IndexSlot> m_slots;      // mergeValues' scratch
    std::vector<std::uint64_t> m_hashes; // mergeValues' scratch
    Error m_error;
};

std::uint32_t HiveParser::child(std::uint32_t parent, std::string_view name, bool create)
{
    const std::uint64_t hash = nameHash(parent, name);
    const std::uint32_t found = m_keyIndex.find(parent, name, hash);
    if (found != kNone || !create)
        return found;
    m_keys.push_back(ParsedKey{parent, hash, std::string(name)});
    m_keyIndex.add();
    return static_cast<std::uint32_t>(m_keys.size() - 1);
}

bool HiveParser::line(std::size_t number, std::string_view text)
{
    if (text.empty() || text.front() == ';')
        return true;
    if (text.front() == '[')
        return section(number, text);
    if (m_skipping)
        return true;
    if (m_current == kNone)
        return fail(number, "a value before the first section");
    return value(number, text);
}

bool HiveParser::section(std::size_t number, std::string_view text)
{
    if (text.back() != ']')
        return fail(number, "a section name without its closing ]");
    std::string_view name = text.substr(1, text.size() - 2);
    const bool deletion = !name.empty() && name.front() == '-';
    if (deletion)
        name.remove_prefix(1);
    std::size_t slash = name.find('\\');
    if (!sameName(name.substr(0, slash), m_rootName))
        return fail(number, "a section outside this hive's root");
    std::vector<std::string_view> &parts = m_parts;
    parts.clear();
    while (slash != std::string_view::npos) {
        const std::size_t start = slash + 1;
        slash = name.find('\\', start);
        const std::string_view part = name.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty() || part.size() > kMaxKeyNameLength)
            return fail(number, "an empty or too long key name");
        parts.push_back(part);
    }
    // A limit on the depth bounds the stack the tree's walks need, and the length of the
    // section names that saving writes for every level.
    if (parts.size() > kMaxKeyDepth)
        return fail(number, "a key nested deeper than 512 levels");
    if (deletion && parts.empty())
        return fail(number, "the root key cannot be deleted");
    if (deletion) {
        std::uint32_t key = 0;
        for (std::size_t i = 0; i < parts.size() && key != kNone; ++i)
            key = child(key, parts[i], false);
        // Its sub-keys and values can no longer be reached, so they are left out at the end.
        if (key != kNone)
            m_keys[key].removed = true;
        m_lastParts.clear();
        m_lastKeys.clear();
        m_current = kNone;
        m_skipping = true;
        return true;
    }
    std::size_t shared = 0;
    while (shared < parts.size() && shared < m_lastParts.size() &&
           parts[shared] == m_lastParts[shared])
        ++shared;
    m_lastKeys.resize(shared);
    std::uint32_t key = shared == 0 ? 0 : m_lastKeys.back();
    for (std::size_t i = shared; i < parts.size(); ++i) {
        key = child(key, parts[i], true);
        m_lastKeys.push_back(key);
    }
    m_lastName.assign(name);
    m_lastParts.clear();
    for (const std::string_view part : parts)
        m_lastParts.emplace_back(m_lastName.data() + (part.data() - name.data()), part.size());
    m_current = key;
    m_skipping = false;
    return true;
}

bool HiveParser::value(std::size_t number, std::string_view text)
{
    // Read straight into the key's list: a failed line fails the whole parse.
    ParsedKey &key = m_keys[m_current];
    RegValue &entry = key.values.emplace_back();
    std::string_view rest;
    if (text.front() == '@') {
        rest = text.substr(1);
    } else if (text.front() == '"') {
        if (!parseQuoted(text, entry.name, rest))
            return fail(number, "a value name without its closing quote");
    } else {
        return fail(number, "neither a section, a value nor a comment");
    }
    rest = trim(rest);
    if (rest.empty() || rest.front() != '=')
        return fail(number, "no '=' after the value name");
    rest = trim(rest.substr(1));

    if (rest == "-") {
        key.deletions.push_back(static_cast<std::uint32_t>(key.values.size() - 1));
        return true;
    }
    if (!rest.empty() && rest.front() == '"') {
        std::string_view after;
        if (!parseQuoted(rest, entry.data, after))
            return fail(number, "a string value without its closing quote");
        if (!trim(after).empty())
            return fail(number, "text after a string value");
        entry.data += '\0';
        entry.type = REG_SZ;
        return true;
    }
    if (rest.substr(0, 6) == "dword:") {
        DWORD d = 0;
        if (!parseHexNumber(trim(rest.substr(6)), 8, d))
            return fail(number, "a dword that is not 1 to 8 hex digits");
        entry.data.resize(4);
        for (std::size_t b = 0; b < 4; ++b)
            entry.data[b] = static_cast<char>((d >> (8 * b)) & 0xff);
        entry.type = REG_DWORD;
        return true;
    }
    if (rest.substr(0, 3) == "hex") {
        DWORD type = REG_BINARY;
        std::string_view list;
        if (rest.substr(0, 4) == "hex:") {
            list = rest.substr(4);
        } else if (rest.substr(0, 4) == "hex(") {
            const std::size_t close = rest.find("):");
            if (close == std::string_view::npos ||
                !parseHexNumber(rest.substr(4, close - 4), 8, type))
                return fail(number, "a bad hex(type) prefix");
            list = rest.substr(close + 2);
        } else {
            return fail(number, "a bad hex value");
        }
        if (!parseHexList(list, entry.data))
            return fail(number, "a hex list with an item that is not a byte");
        entry.type = type;
        return true;
    }
    return fail(number, "a value of unknown form");
}

// Replays a key's value lines the way setting them one by one would: a value keeps the
// place where it was first set (after its last deletion) and the data last set.
void HiveParser::mergeValues(ParsedKey &key)
{
    std::vector<RegValue> &values = key.values;
    const std::size_t count = values.size();
    if (count < 2 && key.deletions.empty())
        return;
    // Few values are compared with each other; many go through a hash table.
    const bool hashed = count > 8;
    std::size_t mask = 0;
    if (hashed) {
        std::size_t size = 16;
        while (size < count * 2)
            size *= 2;
        m_slots.assign(size, IndexSlot{});
        mask = size - 1;
        // Hashed up front, so that the slots can be asked for well before they are probed.
        m_hashes.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            m_hashes[i] = nameHash(0, values[i].name);
    }
    std::vector<std::uint8_t> &dropped = m_dropped;
    dropped.assign(count, 0);
    bool anyDropped = false;
    std::size_t nextDeletion = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string &name = values[i].name;
        std::uint32_t same = kNone; // the value of this name that is set at this point
        std::size_t free = 0;
        std::uint32_t tag = 0;
        if (hashed) {
            if (i + 16 < count)
                __builtin_prefetch(&m_slots[m_hashes[i + 16] & mask]);
            const std::uint64_t hash = m_hashes[i];
            tag = static_cast<std::uint32_t>(hash >> 32);
            for (free = hash & mask; m_slots[free].index != 0; free = (free + 1) & mask) {
                const IndexSlot slot = m_slots[free];
                if (slot.tag == tag && !dropped[slot.index - 1] &&
                    sameName(values[slot.index - 1].name, name)) {
                    same = slot.index - 1;
                    break;
                }
            }
        } else {
            for (std::uint32_t j = 0; j < i; ++j) {
                if (!dropped[j] && sameName(values[j].name, name)) {
                    same = j;
                    break;
                }
            }
        }
        const bool deletion =
            nextDeletion < key.deletions.size() && key.deletions[nextDeletion] == i;
        if (deletion) {
            ++nextDeletion;
            dropped[i] = 1;
            if (same != kNone)
                dropped[same] = 1;
            anyDropped = true;
        } else if (same != kNone) {
            values[same].type = values[i].type;
            values[same].data = std::move(values[i].data);
            dropped[i] = 1;
            anyDropped = true;
        } else if (hashed) {
            m_slots[free] = IndexSlot{i + 1, tag};
        }
    }
    if (!anyDropped)
        return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (dropped[i])
            continue;
        if (kept != i)
            values[kept] = std::move(values[i]);
        ++kept;
    }
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(kept), values.end());
}

void HiveParser::build(RegKey &out, std::uint32_t key, const std::vector<std::uint32_t> &childStart,
                       const std::vector<std::uint32_t> &children)
{
    // Recursion is bounded: sections deeper than kMaxKeyDepth are refused.
    mergeValues(m_keys[key]);
    out.values = std::move(m_keys[key].values);
    out.subKeys.resize(childStart[key + 1] - childStart[key]);
    for (std::uint32_t i = childStart[key]; i < childStart[key + 1]; ++i) {
        // In name order the keys are all over the table; fetch them ahead.
        if (i + 8 < childStart[key + 1]) {
            const auto *ahead = reinterpret_cast<const char *>(&m_keys[children[i + 8]]);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 64);
        }
        RegKey &sub = out.subKeys[i - childStart[key]];
        sub.name = std::move(m_keys[children[i]].name);
        build(sub, children[i], childStart, children);
    }
}

// Sorts each key's children by name. The first sixteen folded bytes, in two integers,
// decide most comparisons without a look at the names themselves.
void HiveParser::sortChildren(const std::vector<std::uint32_t> &start,
                              std::vector<std::uint32_t> &children) const
{
    struct Item {
        std::uint64_t high;
        std::uint64_t low;
        std::uint32_t key;
    };
    auto less = [&](const Item &a, const Item &b) {
        if (a.high != b.high)
            return a.high < b.high;
        if (a.low != b.low)
            return a.low < b.low;
        return nameLess(m_keys[a.key].name, m_keys[b.key].name);
    };
    std::vector<Item> items;
    for (std::size_t k = 0; k + 1 < start.size(); ++k) {
        if (start[k + 1] - start[k] < 2)
            continue;
        items.clear();
        for (std::uint32_t i = start[k]; i < start[k + 1]; ++i) {
            const std::string &name = m_keys[children[i]].name;
            Item item{0, 0, children[i]};
            for (std::size_t b = 0; b < 16; ++b) {
                const auto c =
                    b < name.size() ? static_cast<unsigned char>(foldAscii(name[b])) : 0u;
                std::uint64_t &half = b < 8 ? item.high : item.low;
                half = (half << 8) | c;
            }
            items.push_back(item);
        }
        // A hive this program saved is in order already.
        if (std::is_sorted(items.begin(), items.end(), less))
            continue;
        std::sort(items.begin(), items.end(), less);
        for (std::uint32_t i = start[k]; i < start[k + 1]; ++i)
            children[i] = items[i - start[k]].key;
    }
}

Result<RegKey> HiveParser::finish()
{
    // One pass in table order, which has every key after its parent: which keys are still
    // in the tree (neither removed nor below a removed one), their children counted per
    // parent, and the length of their full names.
    //
    // Saving writes every key's full name in its section header. Keys whose names add up
    // past what a hive may hold would give a file that the next start sets aside, so such
    // a file is refused now, while the user's own bytes are still there to keep.
    const std::size_t count = m_keys.size();
    std::vector<std::uint32_t> parent(count, kNone); // kNone: not in the tree
    std::vector<std::uint64_t> pathLength(count, 0);
    std::vector<std::uint32_t> childStart(count + 1, 0);
    parent[0] = 0;
    pathLength[0] = m_rootName.size();
    std::uint64_t written = pathLength[0] + 4;
    for (std::uint32_t i = 1; i < count; ++i) {
        const ParsedKey &key = m_keys[i];
        if (key.removed || parent[key.owner] == kNone)
            continue;
        parent[i] = key.owner;
        pathLength[i] = pathLength[key.owner] + 1 + key.name.size();
        written += pathLength[i] + 4;
        ++childStart[key.owner + 1];
    }
    if (written > kMaxHiveSize)
        return makeError("the key names would make the saved file larger than 16 MB");

    // Children by parent: childStart[k]..childStart[k + 1] index those of key k.
    for (std::size_t k = 0; k < count; ++k)
        childStart[k + 1] += childStart[k];
    std::vector<std::uint32_t> children(childStart[count]);
    std::vector<std::uint32_t> next(childStart.begin(), childStart.end() - 1);
    for (std::uint32_t i = 1; i < count; ++i)
        if (parent[i] != kNone)
            children[next[parent[i]]++] = i;
    sortChildren(childStart, children);

    RegKey root;
    root.name = std::string(m_rootName);
    build(root, 0, childStart, children);
    return root;
}

// Whether a line is a value whose data is a hex list, the only form that continues on the
// next line. The name is skipped as a whole, so "=hex" inside a name or a string is not
// taken for one.
bool isHexValueLine(std::string_view text)
{
    std::string_view rest;
    if (!text.empty() && text.front() == '@') {
        rest = text.substr(1);
    } else {
        std::string name;
        if (text.empty() || text.front() != '"' || !parseQuoted(text, name, rest))
            return false;
    }
    rest = trim(rest);
    if (rest.empty() || rest.front() != '=')
        return false;
    return trim(rest.substr(1)).substr(0, 3) == "hex";
}

} // namespace

Result<RegKey> parseRegFile(std::string_view text, std::string_view rootName)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    HiveParser parser(rootName);
    std::string joined; // a hex list continued over several lines
    std::size_t number = 0;
    std::size_t startNumber = 0;
    bool continuing = false;
    bool first = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        std::string_view line = trim(raw);
        if (continuing) {
            joined += line;
        } else {
            startNumber = number;
            if (!line.empty() && line.back() == '\\' && isHexValueLine(line)) {
                joined.assign(line);
                continuing = true;
            }
        }
        if (continuing) {
            if (!joined.empty() && joined.back() == '\\') {
                joined.pop_back();
                continue;
            }
            continuing = false;
            line = joined;
        }
        if (first) {
            if (line != "REGEDIT4")
                return makeError("line 1: the file does not start with REGEDIT4");
            first = false;
            continue;
        }
        if (!parser.line(startNumber, line))
            return parser.error();
    }
    if (continuing)
        return lineError(number, "hex list continued past the end of the file");
    if (first)
        return makeError("line 1: the file does not start with REGEDIT4");
    return parser.finish();
}

std::string writeRegFile(const RegKey &root, std::string_view rootName)
{
    std::string out = "REGEDIT4\n\n";
    // Depth first without recursion; path holds the full name of the key being written.
    struct Frame {
        const RegKey *key;
        std::size_t pathLength; // of the parent's full name
    };
    std::string path(rootName);
    std::vector<Frame> stack;
    if (!root.values.empty()) {
        out += '[' + path + "]\n";
        for (const RegValue &v : root.values)
            appendValue(out, v);
        out += '\n';
    }
    for (auto it = root.subKeys.rbegin(); it != root.subKeys.rend(); ++it)
        stack.push_back(Frame{&*it, path.size()});
    while (!stack.empty()) {
        const Frame frame = stack.back();
        stack.pop_back();
        path.resize(frame.pathLength);
        path += '\\';
        path += frame.key->name;
        out += '[';
        out += path;
        out += "]\n";
        for (const RegValue &v : frame.key->values)
            appendValue(out, v);
        out += '\n';
        for (auto it = frame.key->subKeys.rbegin(); it != frame.key->subKeys.rend(); ++it)
            stack.push_back(Frame{&*it, path.size()});
    }
    return out;
}

} // namespace oxlume::reg
