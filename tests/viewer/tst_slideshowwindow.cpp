// The slide show in the main window: the refusal with too few images, the first slides of
// each order, the window during a show and after each way of stopping it, and (with the
// worker on, also on a real display) the title moving through the sample images.

#include "common/Modal.h"
#include "common/TestEnv.h"
#include "guidance/TipSettings.h"
#include "imaging/control/Imager.h"
#include "settings/OptionsUnit.h"
#include "viewer/ImageControls.h"
#include "viewer/MainForm.h"

#include <QMessageBox>
#include <QSet>
#include <QToolButton>
#include <QtTest>

#include <filesystem>

using namespace oxlume;
namespace fs = std::filesystem;

class TestSlideShowWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void tooFewImagesShowsTheNote();
    void firstSlides_data();
    void firstSlides();
    void stopRestoresTheWindow_data();
    void stopRestoresTheWindow();
    void titleMovesThroughTheSamples();

private:
    std::unique_ptr<TfrmMain> openWindow();
    static void select(TfrmMain &window, const char *key);
    static QString selectedKey(const TfrmMain &window);

    test::WindowSandbox m_home;
    fs::path m_root;
};

void TestSlideShowWindow::initTestCase()
{
    QVERIFY(m_home.isValid());
}

void TestSlideShowWindow::init()
{
    // A sub-folder and three images, each a different colour.
    m_root = m_home.root() / QTest::currentTestFunction();
    fs::remove_all(m_root);
    fs::create_directories(m_root / "sub");
    const QColor colours[] = {Qt::red, Qt::green, Qt::blue};
    for (int i = 0; i < 3; ++i) {
        QImage image(4, 3, QImage::Format_RGB32);
        image.fill(colours[i]);
        const std::string name = std::string(1, char('a' + i)) + ".bmp";
        QVERIFY(image.save(QString::fromStdString((m_root / name).string()), "BMP"));
    }
    ShowTipsSetting = false; // no Tip of the Day over the activated window
    Options = TOptions();
    Options.UseWorkThread = false;
    Options.StartDirectory = TStartDirectory::Custom;
    Options.CustomDirectory = m_root.string();
}

std::unique_ptr<TfrmMain> TestSlideShowWindow::openWindow()
{
    auto window = std::make_unique<TfrmMain>(Options, std::string());
    window->show();
    window->activateWindow(); // a virtual display may have no window manager to do it
    if (!QTest::qWaitForWindowActive(window.get()))
        qWarning("window not active");
    return window;
}

void TestSlideShowWindow::select(TfrmMain &window, const char *key)
{
    const auto &entries = window.files().entries();
    for (std::size_t row = 0; row < entries.size(); ++row)
        if (entries[row].key() == key) {
            window.fileListView().setSelectedRow(int(row));
            window.lstFilesClick();
            return;
        }
    QFAIL(key);
}

QString TestSlideShowWindow::selectedKey(const TfrmMain &window)
{
    const int row = window.selectedIndex();
    return row < 0 ? QString()
                   : QString::fromStdString(std::string(window.files().entry(row).key()));
}

void TestSlideShowWindow::tooFewImagesShowsTheNote()
{
    fs::remove(m_root / "b.bmp");
    fs::remove(m_root / "c.bmp");
    auto window = openWindow();
    QMessageBox *note = test::runWithModal<QMessageBox>(
        [&] { QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier); },
        [](QMessageBox *box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("Note"));
            QCOMPARE(box->text(), QStringLiteral("The slide show cannot run in this directory "
                                                 "because there are not enough image files."));
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->windowModality(), Qt::ApplicationModal);
            QVERIFY(!box->parentWidget());
            QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        },
        [](QMessageBox *box) { box->accept(); });
    QVERIFY(note);
    QVERIFY(!window->slideTimer().isActive());
    QVERIFY(!window->findChild<QWidget *>(QStringLiteral("panTools"))->isHidden());
    QCOMPARE(window->imager().PaintSizeMode(), std::int16_t(3));
    QVERIFY(!window->isFullScreen());
}

void TestSlideShowWindow::firstSlides_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("loop");
    QTest::addColumn<QString>("before"); // selected and shown before the start
    QTest::addColumn<QString>("first");  // selected once the start is over
    QTest::addColumn<QString>("next");   // after one tick; empty: the show stopped
    QTest::newRow("top to bottom shows the first image at once") << 0 << false << "c.bmp"
                                                                 << "a.bmp"
                                                                 << "b.bmp";
    QTest::newRow("from the current entry keeps it one interval") << 1 << false << "a.bmp"
                                                                  << "a.bmp"
                                                                  << "b.bmp";
    QTest::newRow("from the last entry without loop stops") << 1 << false << "c.bmp"
                                                            << "c.bmp"
                                                            << "";
    QTest::newRow("from the last entry with loop wraps") << 1 << true << "c.bmp"
                                                         << "c.bmp"
                                                         << "a.bmp";
}

void TestSlideShowWindow::firstSlides()
{
    QFETCH(int, method);
    QFETCH(bool, loop);
    QFETCH(QString, before);
    QFETCH(QString, first);
    QFETCH(QString, next);
    Options.SlideMethod = TSlideMethod(method);
    Options.SlideShowLoop = loop;
    auto window = openWindow();
    select(*window, before.toUtf8().constData());
    window->StartSlideShowExecute();
    QVERIFY(window->slideTimer().isActive());
    QCOMPARE(window->slideTimer().interval(), 4000);
    QCOMPARE(selectedKey(*window), first);
    QCOMPARE(QString::fromStdString(window->loader().RequestedFile()),
             QString::fromStdString((m_root / first.toStdString()).string()));
    window->timSlideShowTimer();
    QCOMPARE(window->slideTimer().isActive(), !next.isEmpty());
    QCOMPARE(selectedKey(*window), next.isEmpty() ? first : next);
    if (!next.isEmpty())
        QCOMPARE(QString::fromStdString(window->loader().RequestedFile()),
                 QString::fromStdString((m_root / next.toStdString()).string()));
}

void TestSlideShowWindow::stopRestoresTheWindow_data()
{
    QTest::addColumn<bool>("maximised");
    QTest::addColumn<QString>("how");
    QTest::newRow("normal window, click") << false << "click";
    QTest::newRow("maximised window, key") << true << "key";
    QTest::newRow("normal window, double-click") << false << "double-click";
    QTest::newRow("normal window, pointer") << false << "pointer";
}

void TestSlideShowWindow::stopRestoresTheWindow()
{
    QFETCH(bool, maximised);
    QFETCH(QString, how);
    Options.SlideFullScreen = true;
    Options.SlideStopOnMouse = true;
    Options.SlideMethod = TSlideMethod::TopToBottom;
    auto window = openWindow();
    if (maximised) {
        window->showMaximized();
        QTRY_VERIFY(window->isMaximized());
    }
    const QRect before = window->geometry();
    const QColor background = window->imager().BackColor();
    auto *panTools = window->findChild<QWidget *>(QStringLiteral("panTools"));
    window->imageControls().btnZoom100Click(); // the stop does not bring actual size back
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    QVERIFY(window->slideTimer().isActive());
    QTRY_VERIFY(window->isFullScreen());
    QCOMPARE(window->imager().BackColor(), QColor(Qt::black));
    QVERIFY(panTools->isHidden());
    QVERIFY(window->imager().hasFocus());
    QCOMPARE(window->imager().PaintSizeMode(), std::int16_t(3));

    QWidget *area = window->imager().viewport();
    const auto move = [&](QPoint to) {
        QMouseEvent event(QEvent::MouseMove, to, area->mapToGlobal(to), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(area, &event);
    };
    if (how == QLatin1String("click")) {
        QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(20, 20));
    } else if (how == QLatin1String("key")) {
        QTest::keyClick(&window->imager(), Qt::Key_Shift); // no character: goes on
        QVERIFY(window->slideTimer().isActive());
        QTest::keyClick(&window->imager(), Qt::Key_Space);
    } else if (how == QLatin1String("double-click")) {
        // A double-click's first half is a click of its own.
        QTest::mouseClick(area, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(!window->slideTimer().isActive());
        QTest::mouseDClick(area, Qt::LeftButton, {}, QPoint(20, 20));
    } else {
        move({40, 40});
        move({55, 25}); // 15 along both axes
        QVERIFY(window->slideTimer().isActive());
        move({56, 40});
    }
    QVERIFY(!window->slideTimer().isActive());
    QTRY_VERIFY(!window->isFullScreen());
    if (maximised)
        QTRY_VERIFY(window->isMaximized());
    else
        QTRY_COMPARE(window->geometry(), before);
    QCOMPARE(window->imager().BackColor(), background);
    QCOMPARE(window->imager().PaintSizeMode(), std::int16_t(3));
    QVERIFY(window->imageControls().btnZoom100->isChecked()); // the buttons are not touched
    // The list comes back; a double-click's second half then hides it again.
    QCOMPARE(panTools->isHidden(), how == QLatin1String("double-click"));
    QCOMPARE(window->slideShow().running(), false);
}

void TestSlideShowWindow::titleMovesThroughTheSamples()
{
    // The shipped samples, decoded by the worker, at the fastest speed.
    Options.CustomDirectory = OXLUME_SOURCE_DIR "/samples";
    Options.UseWorkThread = true;
    Options.SlideShowSpeed = 100;
    Options.SlideMethod = TSlideMethod::TopToBottom;
    Options.SlideShowLoop = true;
    auto window = openWindow();
    QVERIFY(window->ImageCount() >= 3);
    QSet<QString> titles;
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    QVERIFY(window->slideTimer().isActive());
    // Three different images named in the title.
    for (int waited = 0; titles.size() < 3 && waited < 20000; waited += 20) {
        if (window->windowTitle().startsWith(QLatin1String("Oxlume: ")))
            titles << window->windowTitle();
        QTest::qWait(20);
    }
    QVERIFY2(titles.size() >= 3, qPrintable(QStringList(titles.values()).join(QLatin1Char('|'))));
    QTest::mouseClick(window->imager().viewport(), Qt::LeftButton, {}, QPoint(10, 10));
    QVERIFY(!window->slideTimer().isActive());
    const int at = window->selectedIndex();
    QTest::qWait(300);
    QCOMPARE(window->selectedIndex(), at);
    for (const QString &title : std::as_const(titles))
        qInfo("title: %s", qPrintable(title));
}

QTEST_MAIN(TestSlideShowWindow)
#include "tst_slideshowwindow.moc"
