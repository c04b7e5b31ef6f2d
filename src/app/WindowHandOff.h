#pragma once
// The running window's end of a hand-off, as the viewer run wires it.

#include "platform/HandOffServer.h"

#include <memory>

namespace oxlume {

class TfrmMain;

// Serves hand-offs on listener for window: each path is opened in it, but none is taken
// once the window is closing (the sender then starts as the first instance itself).
std::unique_ptr<HandOffServer> ServeHandOffs(platform::UniqueFd listener, TfrmMain &window);

} // namespace oxlume
