#include "ParamsFunctions.h"

#include "platform/Errors.h"
#include "platform/TrelvinImport.h"
#include "shell/FileNameFunctions.h"

namespace oxlume {

namespace {

bool sameName(std::string_view a, std::string_view b, bool caseSensitive)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const auto ca = static_cast<unsigned char>(a[k]);
        const auto cb = static_cast<unsigned char>(b[k]);
        if (caseSensitive ? ca != cb : c_tolower(ca) != c_tolower(cb))
            return false;
    }
    return true;
}

} // namespace

int MatchOption(std::span<const TParamOption> options, const TParamSettings &settings,
                std::string_view param, std::string &valueText)
{
    valueText.clear();
    std::string_view rest = param;
    if (rest.starts_with("--"))
        rest.remove_prefix(2);
    else if (rest.starts_with('-'))
        rest.remove_prefix(1);
    else if (settings.RequirePrefix)
        return -1;

    std::string_view name = rest;
    if (const std::size_t eq = rest.find('='); eq != std::string_view::npos) {
        name = rest.substr(0, eq);
        valueText.assign(rest.substr(eq + 1));
    }
    for (std::size_t k = 0; k < options.size(); ++k) {
        if (sameName(options[k].Name, name, settings.CaseSensitive))
            return static_cast<int>(k);
    }
    valueText.clear();
    return -1;
}

void ApplyOptionValue(std::span<TParamOption> options, int index, const std::string &valueText)
{
    TParamOption &option = checkedAt(options, index);
    switch (option.Kind) {
    case TParamKind::Integer: option.IntValue = c_atoi(valueText.c_str()); return;
    case TParamKind::Switch: option.SwitchValue = valueText != "-"; return;
    case TParamKind::Text: option.TextValue = valueText; return;
    }
    raiseAssertion("ParamsFunctions", __LINE__);
}

void ParseCommandLine(std::span<TParamOption> options, TParamSettings &settings,
                      const std::vector<std::string> &args)
{
    for (TParamOption &option : options) {
        option.Given = false;
        option.IntValue = 0;
        option.SwitchValue = false;
        option.TextValue.clear();
    }
    settings.Positional.clear();
    settings.PositionalCount = 0;

    std::string valueText;
    for (const std::string &arg : args) {
        // The shell never passes quotes through, but "" gives an empty argument there.
        if (arg.empty())
            continue;
        if (const int index = MatchOption(options, settings, arg, valueText); index >= 0) {
            options[static_cast<std::size_t>(index)].Given = true;
            ApplyOptionValue(options, index, valueText);
        } else if (arg.front() == '-') {
            continue;
        } else if (settings.AllowPositional && (!settings.PositionalMustExist || FileExists(arg))) {
            settings.Positional.push_back(arg);
            settings.PositionalCount = checkedAdd(settings.PositionalCount, std::int32_t{1});
        }
    }
}

void ParseCommandLine(const std::vector<std::string> &args)
{
    ParseCommandLine(ParamOptions, ParamSettings, args);
}

int FindOption(std::span<const TParamOption> options, std::string_view name, TParamKind kind)
{
    for (std::size_t k = 0; k < options.size(); ++k) {
        if (options[k].Kind == kind && options[k].Name == name)
            return static_cast<int>(k);
    }
    return -1;
}

int FindOption(std::string_view name, TParamKind kind)
{
    return FindOption(ParamOptions, name, kind);
}

bool SwitchGiven(std::span<const TParamOption> options, std::string_view name, bool def)
{
    const int index = FindOption(options, name, TParamKind::Switch);
    if (index < 0 || !options[static_cast<std::size_t>(index)].Given)
        return def;
    return options[static_cast<std::size_t>(index)].SwitchValue;
}

bool SwitchGiven(std::string_view name, bool def)
{
    return SwitchGiven(ParamOptions, name, def);
}

std::string FirstPositional(const TParamSettings &settings)
{
    return settings.Positional.empty() ? std::string() : settings.Positional.front();
}

} // namespace oxlume
