#include "associations/FileAssociations.h"

#include "associations/DesktopEntry.h"
#include "associations/RegistryFunctions.h"
#include "platform/Registry.h"
#include "shell/ImageTypes.h"

#include <climits>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace oxlume {

namespace {

// The MIME types desktops use for the extensions of each associated class.
struct ClassMimeTypes {
    std::string_view progId;
    std::string_view mimeTypes;
};

constexpr ClassMimeTypes kMimeTypes[] = {
    {"Marzel BMP", "image/bmp;image/x-bmp;image/x-ms-bmp;"},
    {"Marzel JPG", "image/jpeg;"},
    {"Marzel PCX", "image/vnd.zbrush.pcx;image/x-pcx;"},
    {"Marzel PSD", "image/vnd.adobe.photoshop;image/x-psd;"},
    {"Marzel WMF", "image/wmf;image/x-wmf;"},
};

std::string associatedMimeTypes()
{
    std::string types;
    for (const FileTypes &row : ImageTypeTable) {
        if (!row.Associate)
            continue;
        for (const ClassMimeTypes &m : kMimeTypes)
            if (m.progId == row.ProgID)
                types += m.mimeTypes;
    }
    return types;
}

// The hive is saved once; the desktop entry follows only a hive that was saved, so that a
// refused hive leaves the user's files exactly as they were.
Result<void> committed(RegistryBatch &batch)
{
    if (batch.commit() == ERROR_SUCCESS)
        return {};
    return makeError("Cannot write " + batch.failedFile() + ": " + batch.failureReason());
}

Result<void> installAssociations(const std::string &executable)
{
    const std::string command = AssociationCommandLine(executable);
    // The steps read back what earlier ones wrote; the batch keeps that in memory and saves
    // the hive once at the end.
    RegistryBatch batch;
    for (const FileTypes &row : ImageTypeTable) {
        if (row.Associate)
            AddVerbForMasks(std::string(row.Masks), std::string(row.ProgID), kAssociationVerb,
                            command);
    }
    OX_TRY(committed(batch));
    if (!executable.empty())
        WriteDesktopEntry(executable, associatedMimeTypes());
    return {};
}

Result<void> removeAssociations()
{
    RegistryBatch batch;
    for (const FileTypes &row : ImageTypeTable) {
        if (row.Associate)
            RemoveVerbForMasks(std::string(row.Masks), std::string(row.ProgID), kAssociationVerb);
    }
    OX_TRY(committed(batch));
    RemoveDesktopEntry();
    return {};
}

} // namespace

std::string ExecutablePath()
{
    std::vector<char> buf(PATH_MAX);
    while (true) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<std::size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

std::string AssociationCommandLine(const std::string &executable)
{
    return executable + " \"%1\"";
}

void InstallAssociations()
{
    InstallAssociations(ExecutablePath());
}

void InstallAssociations(const std::string &executable)
{
    (void)installAssociations(executable);
}

void RemoveAssociations()
{
    (void)removeAssociations();
}

Result<void> ChangeAssociations(bool install)
{
    return install ? installAssociations(ExecutablePath()) : removeAssociations();
}

} // namespace oxlume
