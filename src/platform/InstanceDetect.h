#pragma once
// Single-instance detection: is another copy of the viewer already running for this user?

#include <string>

namespace oxlume {

inline constexpr const char *kInstanceName = "MarzelUniqueName555432";

// True when another instance is running and the argument (a path, may be empty) has been
// handed to it; false when this process is the first instance.
bool DetectRunningInstance(const std::string &instanceName, const std::string &argument);

} // namespace oxlume
