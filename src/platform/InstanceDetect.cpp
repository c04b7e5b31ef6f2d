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
    case MarkerState::First: instanceMarker() = std::move(marker); return false;
    case MarkerState::Running:
        if (SendHandOff(marker.socketPath, HandOffFor(argument), kHandOffRetry))
            return true;
        // Not reached in time. When the holder has ended meanwhile, this start takes its
        // place rather than lose the file; otherwise it ends all the same.
        marker = TakeInstanceMarker(folder.path, instanceName);
        if (marker.state != MarkerState::First)
            return true;
        instanceMarker() = std::move(marker);
        return false;
    case MarkerState::Unavailable: startWithoutHandOff(marker.error); return false;
    }
    return false;
}

platform::UniqueFd TakeInstanceListener()
{
    return std::move(instanceMarker().listener);
}

} // namespace oxlume
