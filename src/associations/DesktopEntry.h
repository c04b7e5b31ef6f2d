#pragma once
// The XDG desktop entry that offers the viewer for its image types.

#include <string>

namespace oxlume {

// $XDG_DATA_HOME/applications/oxlume.desktop (default ~/.local/share/...).
std::string DesktopEntryPath();

// The entry's text for an executable. The marker key X-Oxlume-Generated=true tells our own
// file from one the user or a package put there.
std::string DesktopEntryText(const std::string &executable, const std::string &mimeTypes);

// The Exec= value: the executable quoted and escaped as the desktop entry rules require,
// followed by " %f".
std::string DesktopExecValue(const std::string &executable);

// Writes the entry atomically unless a file that is not ours is already there.
// False when nothing was written.
bool WriteDesktopEntry(const std::string &executable, const std::string &mimeTypes);

// Deletes the entry only when it carries our marker. False when nothing was deleted.
bool RemoveDesktopEntry();

// Whether the text is a desktop entry that we generated.
bool IsOurDesktopEntry(const std::string &text);

} // namespace oxlume
