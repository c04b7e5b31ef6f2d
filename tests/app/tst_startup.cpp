#ifndef Q_MOC_RUN
#include "app/AppApplication.h"
#include "app/AppStartup.h"
#include "platform/Errors.h"
#include "platform/HandOffServer.h"
#include "platform/InstanceDetect.h"
#include "platform/SingleInstance.h"
#endif

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <map>

using namespace oxlume;

using Args = std::vector<std::string>;

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void startupPath_data();
    void startupPath();
    void toolkitOptionsAreNotFiles();
    void infoRequests_data();
    void infoRequests();
    void displayProblem();
    void runsWithoutDisplay_data();
    void runsWithoutDisplay();
    void escapedErrorIsReportedAndLoopGoesOn();
    void errorWhileReportingGoesToLog();
};

namespace {

struct Recorder {
    QStringList calls;
    bool running = false;
    std::string displayProblem;
    StartupSteps steps()
    {
        StartupSteps s;
        s.removeAssociations = [this] { calls << QStringLiteral("remove"); };
        s.detectRunningInstance = [this](const std::string &name, const std::string &arg) {
            calls << QStringLiteral("detect %1 [%2]")
                         .arg(QString::fromStdString(name), QString::fromStdString(arg));
            return running;
        };
        s.displayProblem = [this] { return displayProblem; };
        s.loadOptions = [this] { calls << QStringLiteral("load"); };
        s.warn = [this](const std::string &line) { calls << QString::fromStdString(line); };
        return s;
    }
};

} // namespace

void TestStartup::startupPath_data()
{
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("path");
    QTest::addColumn<QStringList>("calls");
    const QString detectNone = QStringLiteral("detect MarzelUniqueName555432 []");
    QTest::newRow("uninstall beats newinst and a file")
        << QStringList{QStringLiteral("-newinst"), QStringLiteral("/a.jpg"),
                       QStringLiteral("--UNINSTALL")}
        << true << int(StartupPath::Uninstalled) << QStringList{QStringLiteral("remove")};
    QTest::newRow("first instance loads settings")
        << QStringList{} << false << int(StartupPath::Viewer)
        << QStringList{detectNone, QStringLiteral("load")};
    QTest::newRow("hand over the first path only")
        << QStringList{QStringLiteral("/x/a b.jpg"), QStringLiteral("/y.jpg")} << true
        << int(StartupPath::HandedOver)
        << QStringList{QStringLiteral("detect MarzelUniqueName555432 [/x/a b.jpg]")};
    QTest::newRow("newinst skips the check")
        << QStringList{QStringLiteral("-NewInst"), QStringLiteral("/a.jpg")} << true
        << int(StartupPath::Viewer) << QStringList{QStringLiteral("load")};
    QTest::newRow("unknown options named, Qt's not")
        << QStringList{QStringLiteral("-x"),        QStringLiteral("-reverse"),
                       QStringLiteral("--"),        QStringLiteral("-style=fusion"),
                       QStringLiteral("-name"),     QStringLiteral("-y"),
                       QStringLiteral("-uninstall")}
        << false << int(StartupPath::Uninstalled)
        << QStringList{QStringLiteral("oxlume: unknown option -x ignored"),
                       QStringLiteral("oxlume: unknown option -- ignored"),
                       QStringLiteral("remove")};
    QTest::newRow("no display: after the hand-off, before the settings")
        << QStringList{QStringLiteral("NODISPLAY")} << false << int(StartupPath::NoDisplay)
        << QStringList{detectNone, QStringLiteral("oxlume: cannot open the display: none")};
}

void TestStartup::startupPath()
{
    QFETCH(QStringList, argv);
    QFETCH(bool, running);
    QFETCH(int, path);
    QFETCH(QStringList, calls);
    Recorder recorder;
    recorder.running = running;
    Args args;
    for (const QString &a : argv) {
        if (a == QLatin1String("NODISPLAY"))
            recorder.displayProblem = "none";
        else
            args.push_back(a.toStdString());
    }
    QCOMPARE(int(RunStartupSteps(args, recorder.steps())), path);
    QCOMPARE(recorder.calls, calls);
}

void TestStartup::toolkitOptionsAreNotFiles()
{
    const Args in{"-style", "fusion", "--platform", "xcb", "-reverse", "a.jpg", "-session", "id"};
    QCOMPARE(WithoutToolkitOptions(in), (Args{"-reverse", "a.jpg"}));
    // Every option Qt 6 reads with a value (gui, widgets, xcb) takes its value with it, in
    // either spelling; Qt's own spelling is case-sensitive, so -ICON is ours to ignore.
    for (const char *option :
         {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
          "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "style",
          "stylesheet", "display", "name", "visual"}) {
        for (const std::string dashes : {"-", "--"}) {
            const Args args{dashes + option, "value.jpg", "b.jpg"};
            QCOMPARE(WithoutToolkitOptions(args), Args{"b.jpg"});
        }
    }
    QCOMPARE(WithoutToolkitOptions(Args{"-ICON", "a.jpg", "-name"}), (Args{"-ICON", "a.jpg"}));
}

void TestStartup::infoRequests_data()
{
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<int>("request");
    QTest::newRow("none") << QStringList{QStringLiteral("a.jpg")} << int(InfoRequest::None);
    QTest::newRow("-h") << QStringList{QStringLiteral("a.jpg"), QStringLiteral("-h")}
                        << int(InfoRequest::Help);
    QTest::newRow("--HELP") << QStringList{QStringLiteral("--HELP")} << int(InfoRequest::Help);
    QTest::newRow("first wins") << QStringList{QStringLiteral("--version"), QStringLiteral("-h")}
                                << int(InfoRequest::Version);
    QTest::newRow("a value of Qt's is no request")
        << QStringList{QStringLiteral("-title"), QStringLiteral("--help")}
        << int(InfoRequest::None);
    QTest::newRow("a file named help")
        << QStringList{QStringLiteral("help")} << int(InfoRequest::None);
}

void TestStartup::infoRequests()
{
    QFETCH(QStringList, argv);
    QFETCH(int, request);
    Args args;
    for (const QString &a : argv)
        args.push_back(a.toStdString());
    QCOMPARE(int(FindInfoRequest(args)), request);
}

void TestStartup::displayProblem()
{
    const auto problem = [](const Args &args, std::map<std::string, std::string> env) {
        return DisplayProblem(args, [&env](const char *name) -> const char * {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        });
    };
    QVERIFY(!problem({}, {}).empty());
    QVERIFY(!problem({}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}).empty());
    QVERIFY(problem({}, {{"DISPLAY", ":0"}}).empty());
    QVERIFY(problem({}, {{"WAYLAND_DISPLAY", "wayland-0"}}).empty());
    // A chosen platform is Qt's to open (or to fail, which the viewer run reports).
    QVERIFY(problem({}, {{"QT_QPA_PLATFORM", "offscreen"}}).empty());
    QVERIFY(problem({"-platform", "offscreen"}, {}).empty());
    // So is a display named on the command line, in either spelling (-display=NAME is
    // split for the toolkit, which knows only the first).
    QVERIFY(problem({"a.jpg", "-display", ":1"}, {}).empty());
    QVERIFY(problem({"--display=:1"}, {}).empty());
    QVERIFY(!problem({"-display"}, {}).empty());
    QCOMPARE(UnknownOptions({"-display=:1"}), Args{});
    QCOMPARE(ToolkitArguments({"oxlume", "--display=:1", "a.jpg", "-display", ":2"}),
             (Args{"oxlume", "-display", ":1", "a.jpg", "-display", ":2"}));
}

void TestStartup::runsWithoutDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM, DISPLAY
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // the start of standard output
    QTest::addColumn<QString>("err"); // the start of standard error
    const QString none;
    const QString noDisplay = QStringLiteral("oxlume: cannot open the display: ");
    QTest::newRow("alone") << QStringList{QStringLiteral("-uninstall")} << none << 0 << none
                           << none;
    QTest::newRow("with newinst and a file")
        << QStringList{QStringLiteral("--newinst"), QStringLiteral("-UNINSTALL"),
                       QStringLiteral("/tmp/none.jpg")}
        << none << 0 << none << none;
    QTest::newRow("help") << QStringList{QStringLiteral("a.jpg"), QStringLiteral("--help")} << none
                          << 0 << QStringLiteral("Usage: oxlume ") << none;
    QTest::newRow("version") << QStringList{QStringLiteral("-version"), QStringLiteral("-h")}
                             << none << 0 << QStringLiteral("oxlume " OXLUME_VERSION "\n") << none;
    QTest::newRow("viewer, no display variables")
        << QStringList{QStringLiteral("-newinst")} << none << 1 << none
        << noDisplay + QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set\n");
    // "running": a first instance holds the marker; the path reaches it, no display needed.
    QTest::newRow("second start hands over") << QStringList{QStringLiteral("/p/a.jpg")}
                                             << QStringLiteral("running") << 0 << none << none;
    QTest::newRow("viewer, the X server does not answer")
        << QStringList{QStringLiteral("-newinst")} << QStringLiteral("xcb, :97") << 1 << none
        << noDisplay + QStringLiteral("could not connect to display :97\n");
}

void TestStartup::runsWithoutDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const QString program = QStringLiteral(OXLUME_BINARY_DIR "/src/app/oxlume");
    if (!QFileInfo(program).isExecutable())
        QSKIP("the oxlume executable is not built");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "HOME"}) {
        const QString dir = temp.filePath(QString::fromLatin1(name));
        QDir().mkpath(dir);
        env.insert(QString::fromLatin1(name), dir);
    }
    std::vector<HandOff> received;
    std::unique_ptr<HandOffServer> server;
    platform::UniqueFd lock; // held, as the first instance holds it
    if (platform == QLatin1String("running")) {
        const std::string folder =
            QFile::encodeName(temp.filePath(QStringLiteral("XDG_RUNTIME_DIR/oxlume")))
                .toStdString();
        QDir().mkpath(QFile::decodeName(folder.c_str()));
        InstanceMarker marker = TakeInstanceMarker(folder, kInstanceName);
        QCOMPARE(marker.state, MarkerState::First);
        lock = std::move(marker.lock);
        server = std::make_unique<HandOffServer>(std::move(marker.listener),
                                                 [&](const HandOff &m) { received.push_back(m); });
        platform.clear();
    }
    if (!platform.isEmpty()) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform.section(QLatin1String(", "), 0, 0));
        env.insert(QStringLiteral("DISPLAY"), platform.section(QLatin1String(", "), 1, 1));
    }
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    // With the event loop running: the server answers the second start.
    QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 10000);
    if (server) {
        QCOMPARE(received.size(), std::size_t(1));
        QCOMPARE(received[0].path, std::string("/p/a.jpg"));
    }
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString stdOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), qPrintable(stdOut));
    QVERIFY2(err.isEmpty() ? stdErr.isEmpty() : stdErr == err, qPrintable(stdErr));
    // No settings were loaded or saved.
    QDirIterator it(temp.filePath(QStringLiteral("XDG_CONFIG_HOME")), QDir::Files,
                    QDirIterator::Subdirectories);
    QVERIFY2(!it.hasNext(), qPrintable(it.hasNext() ? it.next() : QString()));
}

namespace {

class Thrower : public QObject {
public:
    int handled = 0;
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User)
            throw AssertionFailure(kAssertionFailure, "Test", 7);
        if (e->type() == QEvent::Type(QEvent::User + 1)) {
            ++handled;
            return true;
        }
        return QObject::event(e);
    }
};

} // namespace

void TestStartup::escapedErrorIsReportedAndLoopGoesOn()
{
    auto *app = qobject_cast<OxlumeApplication *>(QCoreApplication::instance());
    QVERIFY(app);
    QStringList reported;
    app->setErrorReporter([&](const QString &m) { reported << m; });
    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::Type(QEvent::User + 1)));
    QTimer::singleShot(0, [] { throw std::runtime_error("slot failed"); });
    QTimer::singleShot(20, app, [] { QCoreApplication::exit(0); });
    QCOMPARE(app->exec(), 0);
    QCOMPARE(thrower.handled, 1);
    QCOMPARE(reported, (QStringList{QStringLiteral("Assertion failure (Test, line 7)"),
                                    QStringLiteral("slot failed")}));
    app->setErrorReporter(&OxlumeApplication::showErrorBox);
}

void TestStartup::errorWhileReportingGoesToLog()
{
    auto *app = qobject_cast<OxlumeApplication *>(QCoreApplication::instance());
    QStringList reported;
    Thrower thrower;
    // The reporter runs a nested loop, as a modal box does, in which a second error escapes.
    app->setErrorReporter([&](const QString &m) {
        reported << m;
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
    });
    QTest::ignoreMessage(QtWarningMsg, "Oxlume: Assertion failure (Test, line 7)");
    QTimer::singleShot(0, [] { throw std::runtime_error("first"); });
    QTimer::singleShot(20, app, [] { QCoreApplication::exit(0); });
    app->exec();
    QCOMPARE(reported, QStringList{QStringLiteral("first")});
    app->setErrorReporter(&OxlumeApplication::showErrorBox);
}

int main(int argc, char **argv)
{
    OxlumeApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
