#include "InstanceDetect.h"

#include "SingleInstance.h"

#include <cstdio>

namespace oxlume {

namespace {

// The first instance's marker, held until the process ends (never released before).
InstanceMarker &instanceMarker()
{
    static InstanceMarker marker;
    return marker;
}

void startWithoutHandOff(const std::string &why)
{
    std::fprintf(stderr, "oxlume: %s; starting without hand-off\n", why.c_str());
}

} // namespace

bool DetectRunningInstance(const std::string &instanceName, const std::string &argument)
{
    const InstanceFolder folder = PrepareInstanceFolder();
    if (!folder.error.empty()) {
        startWithoutHandOff(folder.error);
        return false;
    }
    InstanceMarker marker = TakeInstanceMarker(folder.path, instanceName);
    switch (marker.state) {
    case MarkerState::First:
        instanceMarker() = std::move(marker);
        return false;
    case MarkerState::Running:
        // Ends either way: the running instance holds the marker, even when it cannot be
        // reached in time.
        SendHandOff(marker.socketPath, HandOffFor(argument), kHandOffRetry);
        return true;
    case MarkerState::Unavailable:
        startWithoutHandOff(marker.error);
        return false;
    }
    return false;
}

platform::UniqueFd TakeInstanceListener()
{
    return std::move(instanceMarker().listener);
}

} // namespace oxlume
