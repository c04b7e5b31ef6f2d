#pragma once
// Single-instance detection: is another copy of the viewer already running for this user?
// See SingleInstance.h for the marker and the message.

#include "UniqueFd.h"

#include <chrono>
#include <string>

namespace oxlume {

inline constexpr const char *kInstanceName = "MarzelUniqueName555432";

// How long a second start keeps trying to reach a first instance that is still starting
// (or to take the marker from one that is closing).
inline constexpr std::chrono::milliseconds kHandOffRetry{2000};

// True when another instance is running and has acknowledged the argument (a path, may be
// empty); false when this process is the first instance (also when the holder closed
// without taking the hand-off), or starts on its own because no marker can be used here or
// the holder never answered (one line on stderr says why). Needs no application object
// and no display.
bool DetectRunningInstance(const std::string &instanceName, const std::string &argument);

// The first instance's listening socket, for the hand-off receiver; invalid when this
// process is not the first instance. The lock stays held until the process ends.
platform::UniqueFd TakeInstanceListener();

} // namespace oxlume
