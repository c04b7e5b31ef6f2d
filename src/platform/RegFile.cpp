#include "platform/RegFile.h"

#include <algorithm>
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
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) {
                                            return static_cast<unsigned char>(foldAscii(x))
                                                   < static_cast<unsigned char>(foldAscii(y));
                                        });
}

std::vector<RegKey>::iterator lowerBound(std::vector<RegKey> &keys, std::string_view name)
{
    return std::lower_bound(keys.begin(), keys.end(), name,
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
bool parseQuoted(std::string_view s, std::string &out, std::string_view &rest)
{
    out.clear();
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            rest = s.substr(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size())
                return false;
            out += s[++i]; // \\ and \" ; any other escaped byte stands for itself
        } else {
            out += c;
        }
    }
    return false; // no closing quote: a cut-off line
}

bool parseHexList(std::string_view s, std::string &out)
{
    out.clear();
    s = trim(s);
    if (s.empty())
        return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = s.find(',', start);
        const std::string_view item =
            trim(s.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                  : comma - start));
        DWORD byte = 0;
        if (!parseHexNumber(item, 2, byte))
            return false;
        out += static_cast<char>(byte);
        if (comma == std::string_view::npos)
            return true;
        start = comma + 1;
    }
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

void writeKey(std::string &out, const RegKey &key, const std::string &fullName, bool isRoot)
{
    if (!isRoot || !key.values.empty()) {
        out += '[';
        out += fullName;
        out += "]\n";
        for (const RegValue &v : key.values)
            appendValue(out, v);
        out += '\n';
    }
    for (const RegKey &sub : key.subKeys)
        writeKey(out, sub, fullName + '\\' + sub.name, false);
}

std::vector<std::string> splitPath(std::string_view path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('\\', start);
        if (slash == std::string_view::npos) {
            parts.emplace_back(path.substr(start));
            break;
        }
        parts.emplace_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
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
    if (name != other.name || values.size() != other.values.size()
        || subKeys != other.subKeys)
        return false;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i].name != other.values[i].name || values[i].type != other.values[i].type
            || values[i].data != other.values[i].data)
            return false;
    return true;
}

Result<RegKey> parseRegFile(std::string_view text, std::string_view rootName)
{
    RegKey root;
    root.name = std::string(rootName);

    // Join continued lines first; remember where each logical line started for messages.
    struct Line {
        std::size_t number;
        std::string text;
    };
    std::vector<Line> lines;
    {
        std::size_t number = 0;
        std::size_t pos = 0;
        bool continuing = false;
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            pos = 3;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view raw = text.substr(pos, end - pos);
            pos = end + 1;
            ++number;
            if (!raw.empty() && raw.back() == '\r')
                raw.remove_suffix(1);
            if (continuing)
                lines.back().text += trim(raw);
            else
                lines.push_back(Line{number, std::string(raw)});
            std::string &last = lines.back().text;
            // A hex list continues on the next line when its line ends in a backslash.
            const std::string_view t = trim(last);
            continuing = !t.empty() && t.back() == '\\' && t.find("=hex") != std::string_view::npos;
            if (continuing)
                last = std::string(t.substr(0, t.size() - 1));
        }
        if (continuing)
            return lineError(number, "hex list continued past the end of the file");
    }

    if (lines.empty() || trim(lines.front().text) != "REGEDIT4")
        return makeError("line 1: the file does not start with REGEDIT4");

    RegKey *current = nullptr;
    bool skipping = false; // inside a [-key] deletion section
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t number = lines[i].number;
        std::string_view line = trim(lines[i].text);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return lineError(number, "a section name without its closing ]");
            std::string_view name = line.substr(1, line.size() - 2);
            const bool deletion = !name.empty() && name.front() == '-';
            if (deletion)
                name.remove_prefix(1);
            std::vector<std::string> parts = splitPath(name);
            if (!sameName(parts.front(), rootName))
                return lineError(number, "a section outside this hive's root");
            parts.erase(parts.begin());
            for (const std::string &p : parts)
                if (p.empty() || p.size() > kMaxKeyNameLength)
                    return lineError(number, "an empty or too long key name");
            if (deletion) {
                if (parts.empty())
                    return lineError(number, "the root key cannot be deleted");
                const std::string last = parts.back();
                parts.pop_back();
                if (RegKey *parent = root.find(parts))
                    parent->removeSubKey(last);
                current = nullptr;
                skipping = true;
                continue;
            }
            current = &root;
            for (const std::string &p : parts)
                current = &current->addSubKey(p);
            // Keep the root itself named after the hive, whatever the spelling was.
            skipping = false;
            continue;
        }
        if (skipping)
            continue;
        if (!current)
            return lineError(number, "a value before the first section");

        std::string name;
        std::string_view rest;
        if (line.front() == '@') {
            rest = line.substr(1);
        } else if (line.front() == '"') {
            if (!parseQuoted(line, name, rest))
                return lineError(number, "a value name without its closing quote");
        } else {
            return lineError(number, "neither a section, a value nor a comment");
        }
        rest = trim(rest);
        if (rest.empty() || rest.front() != '=')
            return lineError(number, "no '=' after the value name");
        rest = trim(rest.substr(1));

        if (rest == "-") {
            current->removeValue(name);
            continue;
        }
        if (!rest.empty() && rest.front() == '"') {
            std::string data;
            std::string_view after;
            if (!parseQuoted(rest, data, after))
                return lineError(number, "a string value without its closing quote");
            if (!trim(after).empty())
                return lineError(number, "text after a string value");
            data += '\0';
            current->setValue(name, REG_SZ, std::move(data));
            continue;
        }
        if (rest.substr(0, 6) == "dword:") {
            DWORD d = 0;
            if (!parseHexNumber(trim(rest.substr(6)), 8, d))
                return lineError(number, "a dword that is not 1 to 8 hex digits");
            std::string data(4, '\0');
            for (std::size_t b = 0; b < 4; ++b)
                data[b] = static_cast<char>((d >> (8 * b)) & 0xff);
            current->setValue(name, REG_DWORD, std::move(data));
            continue;
        }
        if (rest.substr(0, 3) == "hex") {
            DWORD type = REG_BINARY;
            std::string_view list;
            if (rest.substr(0, 4) == "hex:") {
                list = rest.substr(4);
            } else if (rest.substr(0, 4) == "hex(") {
                const std::size_t close = rest.find("):");
                if (close == std::string_view::npos
                    || !parseHexNumber(rest.substr(4, close - 4), 8, type))
                    return lineError(number, "a bad hex(type) prefix");
                list = rest.substr(close + 2);
            } else {
                return lineError(number, "a bad hex value");
            }
            std::string data;
            if (!parseHexList(list, data))
                return lineError(number, "a hex list with an item that is not a byte");
            current->setValue(name, type, std::move(data));
            continue;
        }
        return lineError(number, "a value of unknown form");
    }
    return root;
}

std::string writeRegFile(const RegKey &root, std::string_view rootName)
{
    std::string out = "REGEDIT4\n\n";
    writeKey(out, root, std::string(rootName), true);
    return out;
}

} // namespace oxlume::reg
