#pragma once
// A small table-driven command-line parser. An option is "-name" or "--name" ('/' starts a
// path on this platform, never an option); a value may follow as "-name=value". Anything
// that is not an option and does not start with '-' is a positional parameter.
//
// Each function has a form over an explicit table and settings (for tests and other
// tables) and a form over the process-wide ParamOptions / ParamSettings.

#include "ParamsLocal.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxlume {

// Resets every result field, then reads args (argv[1..], already split by the shell) in
// order. Unknown options, a lone "-" and "-"-led non-options are ignored silently.
void ParseCommandLine(std::span<TParamOption> options, TParamSettings &settings,
                      const std::vector<std::string> &args);
void ParseCommandLine(const std::vector<std::string> &args);

// The switch's value when the command line gave it, otherwise def.
bool SwitchGiven(std::span<const TParamOption> options, std::string_view name, bool def);
bool SwitchGiven(std::string_view name, bool def);

// Index of the entry of that kind whose name is exactly name; -1 if none.
int FindOption(std::span<const TParamOption> options, std::string_view name, TParamKind kind);
int FindOption(std::string_view name, TParamKind kind);

// Index of the entry that the parameter names, -1 if none; valueText receives the text
// after '=' (empty when there is none).
int MatchOption(std::span<const TParamOption> options, const TParamSettings &settings,
                std::string_view param, std::string &valueText);

// Stores valueText by the entry's kind: integer via c_atoi, switch on unless the text is
// exactly "-", text as is. An unknown kind raises AssertionFailure (unit "ParamsFunctions");
// an index outside the table raises RangeCheckError.
void ApplyOptionValue(std::span<TParamOption> options, int index, const std::string &valueText);

// The first positional parameter, or "" when there is none.
std::string FirstPositional(const TParamSettings &settings);

} // namespace oxlume
