// The `oxlume` program: small on purpose. It answers --help and --version and hands a file
// to a running instance on its own; only a start that shows a window loads the viewer
// library, with the toolkit behind it.
#include "AppStartup.h"

#include <climits>
#include <cstdio>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

#ifndef OXLUME_LIBRARY_FROM_BIN
#error "OXLUME_LIBRARY_FROM_BIN comes from the install folders in CMake"
#endif

namespace {

// The viewer library beside this program (a build tree), else in the library folder of the
// installation this program belongs to.
std::string viewerLibraryPath()
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = length > 0 ? std::string(self, std::size_t(length)) : std::string();
    folder.resize(folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/'));
    for (const std::string &candidate :
         {folder + "/" + oxlume::kViewerLibraryName,
          folder + "/" OXLUME_LIBRARY_FROM_BIN "/" + oxlume::kViewerLibraryName}) {
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    }
    return folder + "/" OXLUME_LIBRARY_FROM_BIN "/" + oxlume::kViewerLibraryName;
}

} // namespace

int main(int argc, char *argv[])
{
    oxlume::LaunchState launch;
    int exitCode = 0;
    if (oxlume::RunQuickStart(argc, argv, launch, exitCode))
        return exitCode;
    const std::string path = viewerLibraryPath();
    void *library = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    const auto entry =
        library ? reinterpret_cast<oxlume::ViewerEntry>(::dlsym(library, oxlume::kViewerEntryName))
                : nullptr;
    if (!entry) {
        std::fprintf(stderr, "oxlume: cannot load the viewer: %s\n", ::dlerror());
        return 1;
    }
    return entry(argc, argv, &launch);
}
