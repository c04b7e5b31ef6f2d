#pragma once
// Bringing the window forward for a later start, with the activation token it handed over:
// desktops with focus-stealing prevention let a window come forward only for a recent
// user action, which the token stands for.

#include <cstdint>
#include <string>
#include <string_view>

class QWidget;

namespace oxlume {

// Shows the window normally if minimised is the caller's part; this raises and activates it.
// On Wayland the token goes to the compositor through xdg-activation (Qt's plugin reads
// $XDG_ACTIVATION_TOKEN when it activates a window; the variable is gone afterwards). On X11 a
// startup ID's time stamps the activation request, and the launch feedback of the start that handed
// over (the busy cursor) is ended.
void bringToFront(QWidget &window, const std::string &activationToken);

// The X server time of a startup ID ("..._TIME<decimal>"), 0 when it carries none.
std::uint32_t startupIdTime(std::string_view id);

// The startup-notification message that ends the launch with this ID, terminator included:
// remove: ID="<id>", with backslashes and quotes escaped.
std::string startupRemoveMessage(std::string_view id);

} // namespace oxlume
