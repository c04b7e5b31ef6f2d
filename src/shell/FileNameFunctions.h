#pragma once
// Path pieces and the user's special folders. Paths are byte strings with '/' as the
// separator, exactly as the file system has them.

#include <string>
#include <string_view>

namespace oxlume {

// The path without any trailing '/'. "/" and "///" give "" (the caller adds one '/').
std::string StripTrailingSlashes(std::string_view path);

// Folder + '/' + name with the folder's trailing slashes stripped first, so "/" and
// "a.jpg" give "/a.jpg" and "/pics//" and "a.jpg" give "/pics/a.jpg".
std::string JoinPath(std::string_view folder, std::string_view name);

// The last element of the path, trailing slashes ignored: "/a/b/" gives "b", "b" gives
// "b", the root "/" and "" give "".
std::string LastPathComponent(std::string_view path);

// The path up to and including its last '/': "/a/b.jpg" gives "/a/"; "" when it has none.
std::string folderPart(std::string_view path);

// The path after its last '/': "/a/b.jpg" gives "b.jpg"; the whole path when it has none,
// "" when it ends in '/'.
std::string fileNamePart(std::string_view path);

// True when the path names an existing folder (a symbolic link to one counts). Any failure
// to read the path (missing, no access, empty) gives false.
bool FolderExists(const std::string &path);

// True when the path exists and is not a folder.
bool FileExists(const std::string &path);

// Shell special folders we know; the values are the identifiers the settings may store.
enum class SpecialFolder : int {
    Desktop = 0,
    Documents = 5,
};

// The user's home folder: $HOME, else the password database, else "/". Never empty.
std::string HomePath();

// The XDG user folder for the identifier (user-dirs.dirs in $XDG_CONFIG_HOME, default
// ~/.config; without an entry there the XDG default $HOME/Desktop or $HOME/Documents) when
// it exists; empty otherwise.
std::string SpecialFolderPath(SpecialFolder folder);

// The desktop / documents folder, falling back to the home folder. Never empty.
std::string DesktopPath();
std::string DocumentsPath();

} // namespace oxlume
