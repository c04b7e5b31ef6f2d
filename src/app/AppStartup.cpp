#include "AppStartup.h"

#include "AppApplication.h"
#include "FirstPaint.h"
#include "ParamsFunctions.h"
#include "associations/FileAssociations.h"
#include "platform/InstanceDetect.h"
#include "settings/OptionsUnit.h"
#include "viewer/MainForm.h"

#include <QCoreApplication>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

namespace oxlume {

std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string> &args)
{
    static constexpr std::array<std::string_view, 13> kWithValue = {
        "platform", "platformpluginpath", "platformtheme", "plugin",        "style",
        "stylesheet", "session",          "display",       "geometry",      "qwindowgeometry",
        "qwindowicon", "qwindowtitle",    "title",
    };
    std::vector<std::string> kept;
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string_view name = args[k];
        if (name.starts_with("--"))
            name.remove_prefix(2);
        else if (name.starts_with('-'))
            name.remove_prefix(1);
        else {
            kept.push_back(args[k]);
            continue;
        }
        bool toolkit = false;
        for (std::string_view option : kWithValue)
            toolkit = toolkit || name == option;
        if (toolkit)
            ++k; // skip the value as well
        else
            kept.push_back(args[k]);
    }
    return kept;
}

StartupPath RunStartupSteps(const std::vector<std::string> &args, const StartupSteps &steps)
{
    ParseCommandLine(WithoutToolkitOptions(args));
    if (SwitchGiven(kUninstallSwitch, false)) {
        steps.removeAssociations();
        return StartupPath::Uninstalled;
    }
    if (!SwitchGiven(kNewInstanceSwitch, false) &&
        steps.detectRunningInstance(kInstanceName, FirstPositional(ParamSettings)))
        return StartupPath::HandedOver;
    steps.loadOptions();
    return StartupPath::Viewer;
}

int RunOxlume(int argc, char **argv)
{
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        StartupSteps steps;
        steps.removeAssociations = [&argc, argv] {
            // The uninstall run needs no display: a core application object is enough.
            QCoreApplication core(argc, argv);
            RemoveAssociations();
        };
        steps.detectRunningInstance = DetectRunningInstance;
        steps.loadOptions = LoadOptions;
        if (RunStartupSteps(args, steps) != StartupPath::Viewer)
            return 0;

        OxlumeApplication app(argc, argv);
        TfrmMain window(Options, FirstPositional(ParamSettings));
        exitAfterFirstPaintIfAsked(window.imager());
        window.show();
        app.exec();
        // Closing the window has saved the settings (Exit saves nothing). Nothing else
        // needs tearing down, and a worker in the middle of a decode must not hold up the
        // exit: end here without destroying the window.
        window.prepareForExit();
        std::fflush(nullptr);
        std::_Exit(0);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "oxlume: %s\n", e.what());
        return 1;
    }
}

} // namespace oxlume
