#include "AppStartup.h"

int main(int argc, char *argv[])
{
    return oxlume::RunOxlume(argc, argv);
}
