#include "AppStartup.h"

#include "AppApplication.h"
#include "FirstPaint.h"
#include "ParamsFunctions.h"
#include "WindowHandOff.h"
#include "associations/FileAssociations.h"
#include "platform/HandOffServer.h"
#include "platform/InstanceDetect.h"
#include "platform/SessionBus.h"
#include "settings/OptionsUnit.h"
#include "viewer/MainForm.h"

#include <QAccessible>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <unistd.h>

namespace oxlume {

namespace {

// While the GUI application object connects to the display: Qt ends a failed connection
// with a fatal message (and abort). The warnings before it say why; we print that reason
// and exit 1 instead. On success the held warnings go out as they would have.
class DisplayFailureGuard {
public:
    DisplayFailureGuard() { s_previous = qInstallMessageHandler(&DisplayFailureGuard::handle); }
    ~DisplayFailureGuard()
    {
        qInstallMessageHandler(s_previous);
        for (const Held &held : s_held) {
            const QMessageLogContext context;
            if (s_previous)
                s_previous(held.type, context, held.text);
        }
        s_held.clear();
    }
    DisplayFailureGuard(const DisplayFailureGuard &) = delete;
    DisplayFailureGuard &operator=(const DisplayFailureGuard &) = delete;

private:
    struct Held {
        QtMsgType type;
        QString text;
    };

    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (type != QtFatalMsg) {
            s_held.push_back({type, text});
            return;
        }
        // The first warning names the cause ("could not connect to display :9"); the fatal
        // text that follows is Qt's general advice.
        QString reason = text;
        for (const Held &held : s_held) {
            if (held.type == QtWarningMsg || held.type == QtCriticalMsg) {
                reason = held.text;
                break;
            }
        }
        reason = reason.section(QLatin1Char('\n'), 0, 0).trimmed();
        std::fprintf(stderr, "oxlume: cannot open the display: %s\n", qUtf8Printable(reason));
        std::fflush(stderr);
        ::_exit(1);
    }

    static inline QtMessageHandler s_previous = nullptr;
    static inline std::vector<Held> s_held;
};

} // namespace

int RunOxlume(int argc, char **argv, const LaunchState &launch)
{
    markStartupStep("viewer library entered");
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        switch (FindInfoRequest(args)) {
        case InfoRequest::Help: std::fputs(HelpText().c_str(), stdout); return 0;
        case InfoRequest::Version: std::fputs(VersionText().c_str(), stdout); return 0;
        case InfoRequest::None: break;
        }
        StartupSteps steps;
        steps.removeAssociations = [&argc, argv] {
            // The uninstall run needs no display: a core application object is enough.
            QCoreApplication core(argc, argv);
            RemoveAssociations();
        };
        steps.detectRunningInstance = DetectRunningInstance;
        if (launch.instanceChecked)
            steps.detectRunningInstance = [](const std::string &, const std::string &) {
                return false;
            };
        // The display is opened before the settings are read, so that a run that cannot
        // show a window touches nothing.
        // The toolkit keeps pointers into its argv for the whole run.
        std::vector<std::string> toolkitArgs = ToolkitArguments({argv, argv + argc});
        std::vector<char *> toolkitArgv;
        for (std::string &arg : toolkitArgs)
            toolkitArgv.push_back(arg.data());
        toolkitArgv.push_back(nullptr);
        int toolkitArgc = static_cast<int>(toolkitArgs.size());
        std::unique_ptr<OxlumeApplication> app;
        steps.displayProblem = [&] {
            std::string problem = DisplayProblem(args, std::getenv);
            if (problem.empty()) {
                DisplayFailureGuard guard;
                const platform::NoBusAutolaunch noAutolaunch;
                app = std::make_unique<OxlumeApplication>(toolkitArgc, toolkitArgv.data());
                // The accessibility bridge asks for the session bus at the first widget's
                // change; ask now, while a missing bus cannot be launched.
                QAccessible::isActive();
                markStartupStep("display opened");
            }
            return problem;
        };
        steps.loadOptions = LoadOptions;
        steps.warn = [](const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        switch (RunStartupSteps(args, steps)) {
        case StartupPath::Uninstalled: return 0;
        case StartupPath::HandedOver:
            // Gone at once: the libraries' exit handlers have nothing to do for us.
            std::fflush(nullptr);
            std::_Exit(0);
        case StartupPath::NoDisplay: return 1;
        case StartupPath::Viewer: break;
        }
        markStartupStep("settings loaded");

        TfrmMain window(Options, FirstPositional(ParamSettings));
        markStartupStep("window built");
        exitAfterFirstPaintIfAsked(window.imager());
        // Later starts hand their path over through the marker's socket (none with
        // "newinst", which holds no marker).
        platform::UniqueFd listener = launch.instanceChecked
                                          ? platform::UniqueFd(launch.instanceListener)
                                          : TakeInstanceListener();
        const std::unique_ptr<HandOffServer> handOff = ServeHandOffs(std::move(listener), window);
        window.show();
        markStartupStep("window shown");
        traceStartupIfAsked(window, window.loader(), window.imager());
        app->exec();
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
