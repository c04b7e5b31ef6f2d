#ifndef Q_MOC_RUN
#include "app/AppApplication.h"
#include "app/AppStartup.h"
#include "platform/Errors.h"
#include "platform/InstanceDetect.h"
#endif

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace oxlume;

using Args = std::vector<std::string>;

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void startupPath_data();
    void startupPath();
    void toolkitOptionsAreNotFiles();
    void uninstallRunsWithoutDisplay_data();
    void uninstallRunsWithoutDisplay();
    void escapedErrorIsReportedAndLoopGoesOn();
    void errorWhileReportingGoesToLog();
};

namespace {

struct Recorder {
    QStringList calls;
    bool running = false;
    StartupSteps steps()
    {
        StartupSteps s;
        s.removeAssociations = [this] { calls << QStringLiteral("remove"); };
        s.detectRunningInstance = [this](const std::string &name, const std::string &arg) {
            calls << QStringLiteral("detect %1 [%2]")
                         .arg(QString::fromStdString(name), QString::fromStdString(arg));
            return running;
        };
        s.loadOptions = [this] { calls << QStringLiteral("load"); };
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
    for (const QString &a : argv)
        args.push_back(a.toStdString());
    QCOMPARE(int(RunStartupSteps(args, recorder.steps())), path);
    QCOMPARE(recorder.calls, calls);
}

void TestStartup::toolkitOptionsAreNotFiles()
{
    const Args in{"-style", "fusion", "--platform", "xcb", "-reverse", "a.jpg", "-session", "id"};
    QCOMPARE(WithoutToolkitOptions(in), (Args{"-reverse", "a.jpg"}));
}

void TestStartup::uninstallRunsWithoutDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("alone") << QStringList{QStringLiteral("-uninstall")};
    QTest::newRow("with newinst and a file")
        << QStringList{QStringLiteral("--newinst"), QStringLiteral("-UNINSTALL"),
                       QStringLiteral("/tmp/none.jpg")};
}

void TestStartup::uninstallRunsWithoutDisplay()
{
    QFETCH(QStringList, arguments);
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
    QProcess process;
    process.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(10000));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
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
