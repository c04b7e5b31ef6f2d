#pragma once
// The in-memory tree of one registry hive and its text form, the regedit format:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\Kestrune\Marzel]
//   @="default value"
//   "Last Directory"="/home/me/pics"
//   "Use Work Thread"=dword:ffffffff
//   "Raw"=hex:01,02,03
//   "Other"=hex(7):61,00,00
//
// Every key has a section, also a key without values, so empty keys persist. In quoted
// strings only \ and " are escaped (\\ and \"); other bytes are written as they are. A
// REG_SZ is written quoted only when it is text that the quoted form can carry: exactly
// one terminating zero byte at the end and no other byte below 0x20 or 0x7f. Anything else
// (embedded newlines or zeros, a missing terminator) is written as hex(1): so that every
// byte round-trips. Reading accepts ';' comments, CRLF line ends, '\' continuation of hex
// lists, "name"=- and [-key] (deletions, as in an import file).

#include "platform/Registry.h"
#include "platform/Result.h"

#include <string>
#include <string_view>
#include <vector>

namespace oxlume::reg {

// The largest hive file that is read; a larger one is taken as damaged.
inline constexpr std::size_t kMaxHiveSize = 16 * 1024 * 1024;

// ASCII case-insensitive equality, the rule for key and value names.
bool sameName(std::string_view a, std::string_view b);

struct RegValue {
    std::string name; // "" is the default value
    DWORD type = REG_NONE;
    std::string data; // raw bytes
};

struct RegKey {
    std::string name;
    std::vector<RegValue> values; // in the order first set
    std::vector<RegKey> subKeys;  // kept in case-insensitive name order

    RegKey *findSubKey(std::string_view subName);
    const RegKey *findSubKey(std::string_view subName) const;
    RegKey &addSubKey(std::string_view subName); // the existing one when present
    bool removeSubKey(std::string_view subName);
    RegValue *findValue(std::string_view valueName);
    const RegValue *findValue(std::string_view valueName) const;
    void setValue(std::string_view valueName, DWORD type, std::string data);
    bool removeValue(std::string_view valueName);

    // The key at a path of components below this one; null when any part is missing.
    RegKey *find(const std::vector<std::string> &path);
    const RegKey *find(const std::vector<std::string> &path) const;

    bool operator==(const RegKey &other) const;
};

// Parses a hive whose sections must all start with rootName ("HKEY_CURRENT_USER"). The
// error names the line and what is wrong with it (a section nested deeper than
// kMaxKeyDepth included), or says that the saved form would exceed kMaxHiveSize.
Result<RegKey> parseRegFile(std::string_view text, std::string_view rootName);

// The text of a hive, parseable by parseRegFile back into an equal tree (as long as it
// stays within kMaxHiveSize; the registry never saves a larger one).
std::string writeRegFile(const RegKey &root, std::string_view rootName);

} // namespace oxlume::reg
