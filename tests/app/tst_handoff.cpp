// The running window's side of a hand-off: restore, come forward (not once a secondary
// dialog exists), stop the slide show, and open the file or folder; the same path through
// the socket, as the viewer run wires it.

#include "app/WindowHandOff.h"
#include "common/Modal.h"
#include "common/TestEnv.h"
#include "dialogs/AboutForm.h"
#include "guidance/TipSettings.h"
#include "platform/HandOffServer.h"
#include "platform/SingleInstance.h"
#include "settings/OptionsUnit.h"
#include "viewer/MainForm.h"

#include <QSignalSpy>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <future>

using namespace oxlume;
namespace fs = std::filesystem;

class TestHandOff : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void receivingSteps_data();
    void receivingSteps();
    void throughTheSocket();

private:
    test::ScopedXdgHome m_home;
    fs::path m_root;
};

void TestHandOff::initTestCase()
{
    // No Tip of the Day over the windows these tests open and activate.
    ShowTipsSetting = false;
    QVERIFY(m_home.isValid());
    m_root = fs::path(m_home.path().toStdString()) / "pictures";
    fs::create_directories(m_root / "alpha" / "sub");
    for (const char *name : {"b.JPG", "A.jpg", "alpha/inner.pcx", "alpha/zz.bmp"})
        std::ofstream(m_root / name) << "";
    Options = TOptions();
    Options.UseWorkThread = false;
    Options.StartDirectory = TStartDirectory::Custom;
    Options.CustomDirectory = m_root.string();
}

void TestHandOff::receivingSteps_data()
{
    QTest::addColumn<QString>("path"); // below the root; "-" for no path
    QTest::addColumn<bool>("minimised");
    QTest::addColumn<int>("dialog");       // a secondary dialog: 0 none, 1 used and closed, 2 shown
    QTest::addColumn<QString>("folder");   // listed afterwards, below the root; "." the root
    QTest::addColumn<QString>("selected"); // "" for nothing
    QTest::addColumn<int>("slideShowStops");
    QTest::newRow("file") << "alpha/zz.bmp" << false << 0 << "alpha/"
                          << "zz.bmp" << 1;
    QTest::newRow("file, minimised") << "b.JPG" << true << 0 << ""
                                     << "b.JPG" << 1;
    QTest::newRow("folder: its first image") << "alpha" << false << 0 << "alpha"
                                             << "inner.pcx" << 1;
    QTest::newRow("missing: only forward") << "gone.jpg" << true << 0 << "."
                                           << "" << 0;
    QTest::newRow("no path: only forward") << "-" << false << 0 << "."
                                           << "" << 0;
    // The About box, like every secondary dialog, lives on, hidden, once created; only while
    // it is shown does the window stay where it is.
    QTest::newRow("after a dialog closed: forward") << "b.JPG" << false << 1 << ""
                                                    << "b.JPG" << 1;
    QTest::newRow("dialog shown: restored, not forward")
        << "alpha/inner.pcx" << true << 2 << "alpha/"
        << "inner.pcx" << 1;
}

void TestHandOff::receivingSteps()
{
    QFETCH(QString, path);
    QFETCH(bool, minimised);
    QFETCH(int, dialog);
    QFETCH(QString, folder);
    QFETCH(QString, selected);
    QFETCH(int, slideShowStops);
    if (dialog > 0 && !AboutBox())
        test::runWithModal<TfrmAbout>(ShowAboutBox, {}, [](TfrmAbout *d) { d->reject(); });

    TfrmMain window(Options, {});
    window.show();
    QWidget other; // holds the focus before the hand-off
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    if (dialog == 2)
        AboutBox()->show();
    if (minimised) {
        window.showMinimized();
        QTRY_VERIFY(window.isMinimized());
    }
    auto *stop = window.findChild<QAction *>(QStringLiteral("StopSlideShow"));
    QVERIFY(stop);
    QSignalSpy stops(stop, &QAction::triggered);

    window.ReceiveHandOff(path == QLatin1String("-") ? std::string()
                                                     : (m_root / path.toStdString()).string());

    QVERIFY(!window.isMinimized());
    if (dialog == 2) {
        QTest::qWait(50);
        QVERIFY(!window.isActiveWindow());
        AboutBox()->hide();
    } else {
        QTRY_VERIFY(window.isActiveWindow());
    }
    QCOMPARE(stops.count(), slideShowStops);
    QCOMPARE(window.CurrentDirectory(), folder == QLatin1String(".")
                                            ? m_root.string()
                                            : (m_root / folder.toStdString()).string());
    const int row = window.selectedIndex();
    QCOMPARE(row < 0 ? QString()
                     : QString::fromStdString(std::string(window.files().entry(row).key())),
             selected);
    QCOMPARE(window.loader().RequestedFile(),
             selected.isEmpty()
                 ? std::string()
                 : (m_root / folder.toStdString() / selected.toStdString()).string());
}

void TestHandOff::throughTheSocket()
{
    // The wiring of the viewer run: the server on the marker's socket calls ReceiveHandOff,
    // and answers the sender only while the window is not closing.
    const InstanceFolder folder = PrepareInstanceFolder();
    InstanceMarker marker = TakeInstanceMarker(folder.path, "handoff-test");
    QCOMPARE(marker.state, MarkerState::First);
    TfrmMain window(Options, {});
    window.show();
    const std::unique_ptr<HandOffServer> server = ServeHandOffs(std::move(marker.listener), window);
    const auto send = [&](const std::string &file) {
        std::future<bool> sent = std::async(std::launch::async, [&] {
            return SendHandOff(marker.socketPath, {file, "token"}, std::chrono::milliseconds(0));
        });
        while (sent.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
            QTest::qWait(2);
        return sent.get();
    };
    const std::string file = (m_root / "alpha" / "inner.pcx").string();
    QVERIFY(send(file));
    QTRY_COMPARE(window.loader().RequestedFile(), file);

    window.close();
    QVERIFY(!send((m_root / "alpha" / "zz.bmp").string()));
    QTest::qWait(20);
    QCOMPARE(window.loader().RequestedFile(), file);
}

QTEST_MAIN(TestHandOff)
#include "tst_handoff.moc"
