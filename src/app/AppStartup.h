#pragma once
// The main block: decides once per process whether this run prints its help or version,
// uninstalls, hands its file to a running instance, or shows the viewer. Everything up to
// the viewer's settings load runs without a GUI application object, so every path but the
// viewer needs no display.

#include "ViewerLibrary.h"

#include <functional>
#include <string>
#include <vector>

namespace oxlume {

enum class StartupPath {
    Uninstalled, // associations removed; end
    HandedOver,  // another instance took the file; end
    NoDisplay,   // a viewer run that cannot open a display; end with exit code 1
    Viewer,      // settings loaded; create the window and run the loop
};

// The steps the main block calls, replaceable in tests.
struct StartupSteps {
    std::function<void()> removeAssociations;
    std::function<bool(const std::string &name, const std::string &argument)> detectRunningInstance;
    // Opens the display: empty when a window can be shown, else why not.
    std::function<std::string()> displayProblem;
    std::function<void()> loadOptions;
    // One line for standard error (an ignored option, a display that cannot be opened).
    std::function<void(const std::string &line)> warn;
};

// Drops the toolkit's own options that take a value, together with the value (-style
// fusion, -name x, -visual 0x21, ...), so that a value is never taken for a file. The
// toolkit still sees the full argv.
std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string> &args);

// argv (the program name first) as the toolkit reads it: -display=NAME, which it does not
// know, becomes -display NAME; everything else stays as it is.
std::vector<std::string> ToolkitArguments(const std::vector<std::string> &argv);

// --help / -h and --version, which answer before anything else happens.
enum class InfoRequest { None, Help, Version };
InfoRequest FindInfoRequest(const std::vector<std::string> &args);
std::string HelpText();
std::string VersionText(); // "oxlume <version>\n"

// Options in args that neither this program nor the toolkit knows, in order.
std::vector<std::string> UnknownOptions(const std::vector<std::string> &args);

// Why a viewer run could not open a display, or "" when it can try: with no platform chosen
// (no -platform, no QT_QPA_PLATFORM) and no -display given, either DISPLAY or
// WAYLAND_DISPLAY must be set. getenv
// reads the environment (replaceable in tests).
std::string DisplayProblem(const std::vector<std::string> &args,
                           const std::function<const char *(const char *)> &getenv);

// Parses args (argv[1..]) into the process-wide table, reports unknown options, then runs
// the uninstall step, the single-instance check (unless "newinst"), the display check and
// the settings load, in that order.
StartupPath RunStartupSteps(const std::vector<std::string> &args, const StartupSteps &steps);

// The whole main block. Returns the process exit code: 0 on every normal path, 1 when no
// display can be opened or an internal error escaped before the event loop ran (its message
// goes to stderr). What the small start program already did is in launch.
int RunOxlume(int argc, char **argv, const LaunchState &launch = {});

// The small start program's part, before any toolkit library is loaded: answers --help and
// --version, and hands the file to a running instance. Returns true when this start is
// over (exitCode set); otherwise the viewer library takes it from launch.
bool RunQuickStart(int argc, char **argv, LaunchState &launch, int &exitCode);

} // namespace oxlume
