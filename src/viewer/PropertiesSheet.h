#pragma once
// The desktop's property sheet of a file, asked of the file manager over the session bus
// (org.freedesktop.FileManager1.ShowItemProperties).

#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace oxlume {

// The file: URI of a path given as bytes. Every byte but the unreserved ones and '/' is
// percent-encoded from the raw bytes, so a name that is not UTF-8 keeps its exact bytes.
// A relative path gives a relative reference (no "file://").
QString FileUriForPath(const std::string &path);

// Asks the file manager to show the properties of the file name in folder (a name that
// is an absolute path is used as it is). Never blocks the caller: returns at once whether
// the request went out on the session bus, false without a bus. done, if given, runs later on this
// thread with whether the file manager answered without error (false also after a few seconds
// without an answer); it is dropped with window, which may be null. Failures are silent.
bool ShowPropertiesSheet(const std::string &name, const std::string &folder, QWidget *window,
                         std::function<void(bool)> done = {});

} // namespace oxlume
