#pragma once
// The viewer's "Oxlume" entry in the context menus of the associated image types (below
// HKEY_CLASSES_ROOT) and its desktop entry ($XDG_DATA_HOME/applications/oxlume.desktop),
// which is what Linux desktops read for "Open with". Nothing here needs a GUI.

#include "platform/Result.h"

#include <string>

namespace oxlume {

inline constexpr const char *kAssociationVerb = "Oxlume";

// The absolute path of the running executable (/proc/self/exe); empty if unknown.
std::string ExecutablePath();

// The command stored for the verb: the executable unquoted, a blank and "%1" in quotes.
std::string AssociationCommandLine(const std::string &executable);

// Adds the verb for every associated extension and writes the desktop entry. Failures are
// ignored: each extension is tried, nothing is reported.
void InstallAssociations();
void InstallAssociations(const std::string &executable);

// Removes what InstallAssociations added, keeping anything that belongs to others, and
// deletes the desktop entry when it is the one we wrote.
void RemoveAssociations();

// Installs (true) or removes (false) the entries for the running executable, and says when
// the classes hive could not be saved: the error names the file, and then neither the hive
// nor the desktop entry has changed.
Result<void> ChangeAssociations(bool install);

} // namespace oxlume
