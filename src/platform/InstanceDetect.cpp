#include "InstanceDetect.h"

namespace oxlume {

bool DetectRunningInstance(const std::string &instanceName, const std::string &argument)
{
    // FIXME: every start runs as the first instance until the lock-file marker and the
    // hand-off socket in the runtime folder are built.
    (void)instanceName;
    (void)argument;
    return false;
}

} // namespace oxlume
