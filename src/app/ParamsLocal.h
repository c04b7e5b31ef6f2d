#pragma once
// The command-line option table of this program and the parser's settings. The result
// fields are filled once by ParseCommandLine at start-up and only read afterwards.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace oxlume {

enum class TParamKind : std::uint8_t {
    Integer = 0,
    Switch = 1,
    Text = 2,
};

struct TParamOption {
    std::string Name; // without prefix
    TParamKind Kind = TParamKind::Switch;
    bool Given = false;
    std::int32_t IntValue = 0;
    bool SwitchValue = false;
    std::string TextValue;
};

struct TParamSettings {
    bool AllowPositional = true;
    bool PositionalMustExist = false; // collect a positional only when such a file exists
    bool CaseSensitive = false;
    bool RequirePrefix = true; // only "-name" / "--name" can be an option
    std::vector<std::string> Positional;
    std::int32_t PositionalCount = 0;
};

inline constexpr const char *kUninstallSwitch = "uninstall";
inline constexpr const char *kNewInstanceSwitch = "newinst";

// Process-wide table and settings.
extern std::array<TParamOption, 2> ParamOptions;
extern TParamSettings ParamSettings;

} // namespace oxlume
