#include "platform/SessionBus.h"

#include <cstdlib>
#include <filesystem>

namespace oxlume::platform {

namespace {

constexpr const char *kAddressVariable = "DBUS_SESSION_BUS_ADDRESS";

} // namespace

bool SessionBusAnnounced()
{
    const char *address = std::getenv(kAddressVariable);
    if (address && *address)
        return true;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    return runtime && *runtime &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored);
}

NoBusAutolaunch::NoBusAutolaunch()
{
    if (SessionBusAnnounced())
        return;
    if (const char *before = std::getenv(kAddressVariable))
        m_before = before;
    // An address of a kind that libdbus does not know: connecting fails without starting
    // anything, where an unset address means "launch one".
    m_set = ::setenv(kAddressVariable, "disabled:", 1) == 0;
}

NoBusAutolaunch::~NoBusAutolaunch()
{
    if (!m_set)
        return;
    if (m_before)
        ::setenv(kAddressVariable, m_before->c_str(), 1);
    else
        ::unsetenv(kAddressVariable);
}

} // namespace oxlume::platform
