// The viewer library's entry, called by the `oxlume` program once it knows that this start
// shows a window (or uninstalls, which needs the toolkit too).
#include "AppStartup.h"
#include "dialogs/AboutForm.h"

#include <string>
#include <type_traits>
#include <vector>

extern "C" __attribute__((visibility("default"))) int oxlume_viewer_main(
    int argc, char **argv, const oxlume::LaunchState *launch)
{
    // The About box shows the command line as the bytes it was given, not as Qt decoded it.
    oxlume::SetProcessArguments(std::vector<std::string>(argv, argv + argc));
    return oxlume::RunOxlume(argc, argv, launch ? *launch : oxlume::LaunchState{});
}

static_assert(std::is_same_v<decltype(&oxlume_viewer_main), oxlume::ViewerEntry>);
