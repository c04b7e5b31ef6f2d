// The command line and the order of the start-up steps. Free of the toolkit, so that the
// small start program links it without loading Qt.
#include "AppStartup.h"

#include "ParamsFunctions.h"
#include "platform/InstanceDetect.h"

#include <array>
#include <cstdio>
#include <string_view>

#ifndef OXLUME_VERSION
#error "OXLUME_VERSION comes from the project version in CMake"
#endif

namespace oxlume {

namespace {

enum class ToolkitOption { None, Alone, WithValue };

// The options that QGuiApplication, QApplication and the xcb platform plugin of Qt 6 take
// out of argv. Qt compares them case-sensitively and reads "--name" as "-name".
ToolkitOption toolkitOption(std::string_view arg)
{
    static constexpr std::array<std::string_view, 16> kWithValue = {
        "platform",
        "platformpluginpath",
        "platformtheme",
        "plugin",
        "qwindowgeometry",
        "geometry",
        "qwindowtitle",
        "title",
        "qwindowicon",
        "icon",
        "session",
        "style",
        "stylesheet",
        "display",
        "name",
        "visual",
    };
    static constexpr std::array<std::string_view, 7> kAlone = {
        "reverse", "testability", "widgetcount", "qdevel", "qdebug", "nograb", "dograb",
    };
    static constexpr std::array<std::string_view, 4> kJoinedValue = {
        "style=", "stylesheet=", "qmljsdebugger=",
        "display=", // split for the toolkit by ToolkitArguments
    };
    if (arg.starts_with("--"))
        arg.remove_prefix(2);
    else if (arg.starts_with('-'))
        arg.remove_prefix(1);
    else
        return ToolkitOption::None;
    for (std::string_view option : kWithValue) {
        if (arg == option)
            return ToolkitOption::WithValue;
    }
    for (std::string_view option : kAlone) {
        if (arg == option)
            return ToolkitOption::Alone;
    }
    for (std::string_view prefix : kJoinedValue) {
        if (arg.starts_with(prefix))
            return ToolkitOption::Alone;
    }
    return ToolkitOption::None;
}

// The option's name without its one or two dashes, in small letters.
std::string optionName(std::string_view arg)
{
    if (arg.starts_with("--"))
        arg.remove_prefix(2);
    else if (arg.starts_with('-'))
        arg.remove_prefix(1);
    std::string name(arg);
    for (char &c : name)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return name;
}

// The display named with -display NAME or -display=NAME (one or two dashes), else "".
std::string displayOption(const std::vector<std::string> &args)
{
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string_view arg = args[k];
        if (arg.starts_with("--"))
            arg.remove_prefix(1);
        if (arg == "-display" && k + 1 < args.size())
            return args[k + 1];
        if (arg.starts_with("-display="))
            return std::string(arg.substr(9));
    }
    return {};
}

InfoRequest infoRequestOf(std::string_view arg)
{
    if (!arg.starts_with('-'))
        return InfoRequest::None;
    const std::string name = optionName(arg);
    if (name == "help" || name == "h")
        return InfoRequest::Help;
    if (name == "version")
        return InfoRequest::Version;
    return InfoRequest::None;
}

} // namespace

std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string> &args)
{
    std::vector<std::string> kept;
    for (std::size_t k = 0; k < args.size(); ++k) {
        switch (toolkitOption(args[k])) {
        case ToolkitOption::None: kept.push_back(args[k]); break;
        case ToolkitOption::Alone: kept.push_back(args[k]); break;
        case ToolkitOption::WithValue: ++k; break; // the value goes with it
        }
    }
    return kept;
}

std::vector<std::string> ToolkitArguments(const std::vector<std::string> &argv)
{
    std::vector<std::string> out;
    for (std::size_t k = 0; k < argv.size(); ++k) {
        std::string_view arg = argv[k];
        if (k > 0 && arg.starts_with("--"))
            arg.remove_prefix(1);
        if (k > 0 && arg.starts_with("-display=")) {
            out.emplace_back("-display");
            out.emplace_back(arg.substr(9));
        } else {
            out.push_back(argv[k]);
        }
    }
    return out;
}

InfoRequest FindInfoRequest(const std::vector<std::string> &args)
{
    for (const std::string &arg : WithoutToolkitOptions(args)) {
        if (const InfoRequest request = infoRequestOf(arg); request != InfoRequest::None)
            return request;
    }
    return InfoRequest::None;
}

std::string HelpText()
{
    return "Usage: oxlume [OPTION]... [FILE | FOLDER]\n"
           "A fast, simple image viewer.\n"
           "\n"
           "FILE: lists the file's folder with the file selected and shows it.\n"
           "FOLDER: lists the folder and shows its first image.\n"
           "When Oxlume is already running, that window takes the file or folder and this\n"
           "start ends at once.\n"
           "\n"
           "Options (one or two dashes; capitals and small letters are the same):\n"
           "  -newinst     open a window of its own even when Oxlume is already running\n"
           "  -uninstall   remove Oxlume's file associations and its \"Open with\" entry,\n"
           "               then end without opening a window\n"
           "  -h, --help   show this help and end\n"
           "  --version    show the version and end\n"
           "Qt's own options (-style, -platform, -display, ...) are passed on to Qt.\n"
           "\n"
           "Files:\n"
           "  $XDG_CONFIG_HOME/oxlume/user.reg        settings (default ~/.config)\n"
           "  $XDG_DATA_HOME/oxlume/classes.reg       file associations (default ~/.local/share)\n"
           "  $XDG_DATA_HOME/applications/oxlume.desktop\n"
           "                                          the \"Open with\" entry of the associations\n"
           "  $XDG_RUNTIME_DIR/oxlume/                the running window's lock file and socket\n"
           "                                          (~/.cache/oxlume/ without XDG_RUNTIME_DIR)\n"
           "\n"
           "Exit status: 0, or 1 when no display can be opened.\n";
}

std::string VersionText()
{
    return std::string("oxlume ") + OXLUME_VERSION + "\n";
}

std::vector<std::string> UnknownOptions(const std::vector<std::string> &args)
{
    std::vector<std::string> unknown;
    std::string valueText;
    for (const std::string &arg : WithoutToolkitOptions(args)) {
        if (!arg.starts_with('-') || toolkitOption(arg) != ToolkitOption::None ||
            infoRequestOf(arg) != InfoRequest::None ||
            MatchOption(ParamOptions, ParamSettings, arg, valueText) >= 0)
            continue;
        unknown.push_back(arg);
    }
    return unknown;
}

std::string DisplayProblem(const std::vector<std::string> &args,
                           const std::function<const char *(const char *)> &getenv)
{
    const auto set = [&getenv](const char *name) {
        const char *value = getenv(name);
        return value && *value;
    };
    // A chosen platform (offscreen, vnc, a list to try, ...) is left to Qt; when it fails,
    // the message handler of the viewer run turns Qt's fatal error into our message.
    for (std::size_t k = 0; k + 1 < args.size(); ++k) {
        if (args[k] == "-platform" || args[k] == "--platform")
            return {};
    }
    if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY") ||
        !displayOption(args).empty())
        return {};
    return "neither DISPLAY nor WAYLAND_DISPLAY is set";
}

StartupPath RunStartupSteps(const std::vector<std::string> &args, const StartupSteps &steps)
{
    const std::vector<std::string> own = WithoutToolkitOptions(args);
    ParseCommandLine(own);
    for (const std::string &option : UnknownOptions(args))
        steps.warn("oxlume: unknown option " + option + " ignored");
    if (SwitchGiven(kUninstallSwitch, false)) {
        steps.removeAssociations();
        return StartupPath::Uninstalled;
    }
    if (!SwitchGiven(kNewInstanceSwitch, false) &&
        steps.detectRunningInstance(kInstanceName, FirstPositional(ParamSettings)))
        return StartupPath::HandedOver;
    if (const std::string problem = steps.displayProblem(); !problem.empty()) {
        steps.warn("oxlume: cannot open the display: " + problem);
        return StartupPath::NoDisplay;
    }
    steps.loadOptions();
    return StartupPath::Viewer;
}

bool RunQuickStart(int argc, char **argv, LaunchState &launch, int &exitCode)
{
    exitCode = 0;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    switch (FindInfoRequest(args)) {
    case InfoRequest::Help: std::fputs(HelpText().c_str(), stdout); return true;
    case InfoRequest::Version: std::fputs(VersionText().c_str(), stdout); return true;
    case InfoRequest::None: break;
    }
    // The viewer's own steps up to the display, with the instance check done for real and
    // the rest left to the library, which parses again and says its warnings itself.
    std::vector<std::string> warnings;
    StartupSteps steps;
    steps.removeAssociations = [] {};
    steps.detectRunningInstance = [&launch](const std::string &name, const std::string &argument) {
        launch.instanceChecked = true;
        if (DetectRunningInstance(name, argument))
            return true;
        launch.instanceListener = TakeInstanceListener().release();
        return false;
    };
    steps.displayProblem = [] { return std::string(); };
    steps.loadOptions = [] {};
    steps.warn = [&warnings](const std::string &line) { warnings.push_back(line); };
    if (RunStartupSteps(args, steps) != StartupPath::HandedOver)
        return false;
    for (const std::string &line : warnings)
        std::fprintf(stderr, "%s\n", line.c_str());
    return true;
}

} // namespace oxlume
