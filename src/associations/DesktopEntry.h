#pragma once
// The XDG desktop entry that offers the viewer for its image types.

#include <string>

namespace oxlume {

// $XDG_DATA_HOME/applications/oxlume.desktop (default ~/.local/share/...).
std::string DesktopEntryPath();

// The entry's text for an executable (Exec, TryExec, Icon=oxlume, the MIME types). The
// marker key X-Oxlume-Generated=true tells our own file from one the user or a package put
// there.
std::string DesktopEntryText(const std::string &executable, const std::string &mimeTypes);

// The Exec= value: the executable quoted, '%' doubled and tab, newline, carriage return and
// backslash escaped as the desktop entry rules require, followed by " %f". A path with '%'
// is run through env, because GIO would not find the program otherwise.
std::string DesktopExecValue(const std::string &executable);

// Writes the entry atomically unless a file that is not ours is already there, then lets
// update-desktop-database refresh that folder when the tool is installed. An executable path
// that no entry can hold (not UTF-8, control characters without an escape) writes nothing
// and says why on the oxlume.associations logging category. False when nothing was written.
bool WriteDesktopEntry(const std::string &executable, const std::string &mimeTypes);

// Deletes the entry only when it carries our marker, then refreshes the folder's desktop
// database as writing does. False when nothing was deleted.
bool RemoveDesktopEntry();

// Whether the text is a desktop entry that we generated.
bool IsOurDesktopEntry(const std::string &text);

} // namespace oxlume
