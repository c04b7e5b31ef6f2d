#pragma once
// The main block: decides once per process whether this run uninstalls, hands its file to
// a running instance, or shows the viewer. Everything up to the viewer's settings load
// runs without a GUI application object, so the first two paths need no display.

#include <functional>
#include <string>
#include <vector>

namespace oxlume {

enum class StartupPath {
    Uninstalled, // associations removed; end
    HandedOver,  // another instance took the file; end
    Viewer,      // settings loaded; create the window and run the loop
};

// The steps the main block calls, replaceable in tests.
struct StartupSteps {
    std::function<void()> removeAssociations;
    std::function<bool(const std::string &name, const std::string &argument)> detectRunningInstance;
    std::function<void()> loadOptions;
};

// Drops the toolkit's own options that take a value (-style fusion, -session id, ...) so
// that their values are not taken for files. The toolkit still sees the full argv.
std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string> &args);

// Parses args (argv[1..]) into the process-wide table, then runs the uninstall step, the
// single-instance check (unless "newinst") or the settings load, in that order.
StartupPath RunStartupSteps(const std::vector<std::string> &args, const StartupSteps &steps);

// The whole main block. Returns the process exit code: 0 on every normal path, 1 when an
// internal error escaped before the event loop ran (its message goes to stderr).
int RunOxlume(int argc, char **argv);

} // namespace oxlume
