#include "AppStartup.h"
#include "dialogs/AboutForm.h"

#include <string>
#include <vector>

int main(int argc, char *argv[])
{
    // The About box shows the command line as the bytes it was given, not as Qt decoded it.
    oxlume::SetProcessArguments(std::vector<std::string>(argv, argv + argc));
    return oxlume::RunOxlume(argc, argv);
}
