#include "InstanceDetect.h"

#include "SingleInstance.h"

#include <cstdio>
#include <thread>

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
    const HandOff message = HandOffFor(argument);
    const auto deadline = std::chrono::steady_clock::now() + kHandOffRetry;
    for (;;) {
        InstanceMarker marker = TakeInstanceMarker(folder.path, instanceName);
        switch (marker.state) {
        case MarkerState::First: instanceMarker() = std::move(marker); return false;
        case MarkerState::Unavailable: startWithoutHandOff(marker.error); return false;
        case MarkerState::Running: break;
        }
        // One connection at a time, with the marker looked at again in between: an instance
        // that is closing takes no file, and once it has gone this start takes its place.
        if (SendHandOff(marker.socketPath, message, std::chrono::milliseconds(0)))
            return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            // A holder that neither answers nor ends: better a window of our own than a
            // file that nobody shows.
            startWithoutHandOff("the running instance does not answer");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

platform::UniqueFd TakeInstanceListener()
{
    return std::move(instanceMarker().listener);
}

} // namespace oxlume
