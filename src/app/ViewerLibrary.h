#pragma once
// The small `oxlume` program and the viewer library it loads. A later start, the common case
// when files are opened from a file manager, hands its file over from the small program
// without mapping the toolkit's libraries; only a start that shows a window loads them.

namespace oxlume {

// What the small program settled before it loaded the library.
struct LaunchState {
    // The single-instance check ran and this process is the first instance (or no marker
    // can be used here): the library must not run it again.
    bool instanceChecked = false;
    // The first instance's listening socket (-1: none), which the library then owns.
    int instanceListener = -1;
};

// The library's one exported function, and its file name next to the program or in the
// library folder of an installation.
inline constexpr const char *kViewerEntryName = "oxlume_viewer_main";
inline constexpr const char *kViewerLibraryName = "liboxlume-viewer.so";
using ViewerEntry = int (*)(int argc, char **argv, const LaunchState *state);

} // namespace oxlume
