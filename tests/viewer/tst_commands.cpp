// The main window's commands end to end: the show/hide toggles and the settings they
// write, the splitter relayout, the popup menu and the right button in the list, Exit
// against closing, the Hide List hint, and adjustments following the image controls.

#include "common/Modal.h"
#include "common/TestEnv.h"
#include "dialogs/AboutForm.h"
#include "dialogs/HintForm.h"
#include "dialogs/OptionsForm.h"
#include "dialogs/TipForm.h"
#include "guidance/HintLocal.h"
#include "guidance/HintSettings.h"
#include "guidance/TipSettings.h"
#include "settings/OptionsUnit.h"
#include "viewer/Busy.h"
#include "viewer/MainForm.h"
#include "viewer/PropertiesSheet.h"
#include "viewer/SplitterLayout.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDBusConnection>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSplitter>
#include <QToolButton>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

using namespace oxlume;
namespace fs = std::filesystem;

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void togglesWriteCaptionsAndSettings();
    void ctrlCWithTheListHidden();
    void splitterRelayout();
    void rightButtonInTheList();
    void directoryBrowsesForAFolder();
    void exitSavesNothingCloseSavesAll();
    void hintOnlyFromTheHideListButton();
    void adjustmentsFollowTheControls();
    void propertySheetRequest();
    void propertySheetThroughFileManager();
    void optionsWaitsForTheDecoder();
    void keysFollowTheVisibleSide_data();
    void keysFollowTheVisibleSide();
    void copyImagePutsTheShownImageOnTheClipboard();
    void handOffRetitlesTheWindow_data();
    void handOffRetitlesTheWindow();
    void textsFitAtAnyFont_data();
    void textsFitAtAnyFont();
    void windowsFitASmallScreen_data();
    void windowsFitASmallScreen();

private:
    std::unique_ptr<TfrmMain> openWindow();
    int rowOf(const TfrmMain &window, std::string_view key) const;
    QPoint rowCentre(TfrmMain &window, int row) const;
    static bool shown(const TfrmMain &window, const char *name);
    static QAction *action(const TfrmMain &window, const char *name);
    std::string imagePath(const char *name) const { return (m_root / name).string(); }

    // A private session bus, so that no test reaches the desktop's file manager.
    test::WindowSandbox m_home{test::WindowSandbox::PrivateBus};
    fs::path m_root;
    fs::path m_userHive;
};

// A stand-in for the desktop's file manager on a private bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList received;
public slots:
    void ShowItemProperties(const QStringList &uris, const QString &) { received += uris; }
};

namespace {

// 3 x 2 pixels, each different, so any flip, turn or tone change shows.
QImage sample()
{
    QImage image(3, 2, QImage::Format_RGB32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            image.setPixel(x, y, qRgb(60 * x + 20, 90 * y + 40, 30 * (x + 2 * y) + 10));
    return image;
}

QImage shownImage(const TfrmMain &window)
{
    return window.imager().BitmapList().convertToFormat(QImage::Format_RGB32);
}

// The text controls below top whose text is cut off, or that stick out of their parent,
// judged by the style's own size hints.
QStringList clippedTexts(const QWidget &top)
{
    QStringList clipped;
    for (const QWidget *w : top.findChildren<QWidget *>()) {
        if (w->isHidden())
            continue;
        const QFontMetrics metrics(w->font());
        bool fits = w->height() >= metrics.height();
        if (const auto *label = qobject_cast<const QLabel *>(w); label && !label->text().isEmpty())
            fits = fits &&
                   (label->wordWrap() ? label->heightForWidth(label->width()) <= label->height()
                                      : label->minimumSizeHint().width() <= label->width());
        else if (const auto *box = qobject_cast<const QCheckBox *>(w))
            fits = fits && box->sizeHint().width() <= box->width();
        else if (const auto *combo = qobject_cast<const QComboBox *>(w))
            fits = fits && combo->minimumSizeHint().width() <= combo->width();
        else if (const auto *button = qobject_cast<const QPushButton *>(w))
            fits = fits && metrics.horizontalAdvance(button->text().remove(u'&')) +
                                   2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin) <=
                               button->width();
        else
            continue;
        if (!fits || !w->parentWidget()->rect().contains(w->geometry()))
            clipped << w->objectName();
    }
    return clipped;
}

// The visible widgets below top that stick out of their parent (a scroll area's content may:
// the scroll bars reach the rest), and top itself when it sticks out of the screen.
QStringList outOfSight(const QWidget &top)
{
    QStringList out;
    if (!top.screen()->availableGeometry().contains(top.frameGeometry()))
        out << QStringLiteral("%1 off the screen at %2 x %3")
                   .arg(top.objectName())
                   .arg(top.frameGeometry().width())
                   .arg(top.frameGeometry().height());
    for (const QWidget *w : top.findChildren<QWidget *>()) {
        const QWidget *parent = w->parentWidget();
        const auto *area = qobject_cast<const QAbstractScrollArea *>(parent->parentWidget());
        if (w->isVisibleTo(&top) && !(area && area->viewport() == parent) &&
            !parent->rect().contains(w->geometry()))
            out << w->objectName();
    }
    return out;
}

std::string readFile(const fs::path &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

void TestCommands::initTestCase()
{
    // No Tip of the Day over the windows these tests open and activate.
    ShowTipsSetting = false;
    QVERIFY(m_home.isValid());
    m_userHive = m_home.root() / "config" / "oxlume" / "user.reg";
}

void TestCommands::init()
{
    // A folder with one sub-folder and two images.
    m_root = m_home.root() / QTest::currentTestFunction();
    fs::remove_all(m_root);
    fs::create_directories(m_root / "sub");
    QVERIFY(sample().save(QString::fromStdString(imagePath("a.bmp")), "BMP"));
    QVERIFY(sample().mirrored(true, false).save(QString::fromStdString(imagePath("b.bmp")), "BMP"));
    Options = TOptions();
    Options.UseWorkThread = false;
    Options.StartDirectory = TStartDirectory::Custom;
    Options.CustomDirectory = m_root.string();
    HintDisabledMask = 0;
    DisableAllHintsSetting = false;
}

std::unique_ptr<TfrmMain> TestCommands::openWindow()
{
    auto window = std::make_unique<TfrmMain>(Options, std::string());
    window->show();
    return window;
}

int TestCommands::rowOf(const TfrmMain &window, std::string_view key) const
{
    const auto &entries = window.files().entries();
    for (std::size_t row = 0; row < entries.size(); ++row)
        if (entries[row].key() == key)
            return int(row);
    return -1;
}

QPoint TestCommands::rowCentre(TfrmMain &window, int row) const
{
    FileListView &list = window.fileListView();
    return list.visualRect(list.model()->index(row, 0)).center();
}

bool TestCommands::shown(const TfrmMain &window, const char *name)
{
    const auto *child = window.findChild<QWidget *>(QString::fromLatin1(name));
    return child && !child->isHidden();
}

QAction *TestCommands::action(const TfrmMain &window, const char *name)
{
    return window.findChild<QAction *>(QString::fromLatin1(name));
}

void TestCommands::togglesWriteCaptionsAndSettings()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QAction *toggleList = action(*window, "ToggleListVisible");
    QAction *toggleControls = action(*window, "ToggleControlsVisible");
    QAction *toggleButtons = action(*window, "ToggleButtonsVisible");
    QCOMPARE(toggleList->text(), QStringLiteral("Hide List"));
    QCOMPARE(toggleControls->text(), QStringLiteral("Show Controls"));
    QCOMPARE(toggleButtons->text(), QStringLiteral("Hide Buttons"));

    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    QVERIFY(!shown(*window, "panTools"));
    QCOMPARE(toggleList->text(), QStringLiteral("Show List"));
    QVERIFY(action(*window, "ShowList")->isVisible() && !action(*window, "HideList")->isVisible());
    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    QVERIFY(shown(*window, "panTools"));
    QCOMPARE(toggleList->text(), QStringLiteral("Hide List"));
    QVERIFY(window->fileListView().hasFocus());

    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier);
    QVERIFY(shown(*window, "panControls") && !shown(*window, "panControlsHidden"));
    QCOMPARE(toggleControls->text(), QStringLiteral("Hide Controls"));
    QVERIFY(Options.ShowControls);
    QVERIFY(action(*window, "HideControls")->isVisible());
    QVERIFY(!action(*window, "ShowControls")->isVisible());
    QTest::mouseClick(window->findChild<QToolButton *>(QStringLiteral("btnHideControls")),
                      Qt::LeftButton);
    QVERIFY(!shown(*window, "panControls") && !Options.ShowControls);

    QTest::keyClick(window.get(), Qt::Key_B, Qt::ControlModifier);
    QVERIFY(!shown(*window, "panButtons") && shown(*window, "panButtonsHidden"));
    QCOMPARE(toggleButtons->text(), QStringLiteral("Show Buttons"));
    QVERIFY(!Options.ShowButtons);

    // The strips bring their panels back: a click on the picture, a double-click anywhere.
    QTest::mouseClick(window->findChild<QLabel *>(QStringLiteral("imgShowButtons")),
                      Qt::LeftButton);
    QVERIFY(shown(*window, "panButtons") && Options.ShowButtons);
    QTest::mouseDClick(window->findChild<QWidget *>(QStringLiteral("panControlsHidden")),
                       Qt::LeftButton, {}, QPoint(3, 3));
    QVERIFY(shown(*window, "panControls") && Options.ShowControls);
}

void TestCommands::ctrlCWithTheListHidden()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    // Image controls off: Ctrl+C brings back the list side along with them.
    window->HideListExecute();
    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier);
    QVERIFY(shown(*window, "panTools") && shown(*window, "panControls"));
    QVERIFY(Options.ShowControls);

    // Image controls on: Ctrl+C only switches them off, out of sight.
    window->HideListExecute();
    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier);
    QVERIFY(!shown(*window, "panTools"));
    QVERIFY(!shown(*window, "panControls") && shown(*window, "panControlsHidden"));
    QVERIFY(!Options.ShowControls);
    QCOMPARE(action(*window, "ToggleControlsVisible")->text(), QStringLiteral("Show Controls"));
}

void TestCommands::splitterRelayout()
{
    // The rules themselves are tested in tst_layout; here, that a drag applies them.
    const int width = 300;
    const ToolsLayout layout = LayoutForToolsWidth(width);
    auto window = openWindow();
    auto *splitter = window->findChild<QSplitter *>(QStringLiteral("Splitter1"));
    splitter->setSizes({width, 600 - width - 3});
    emit splitter->splitterMoved(width, 1); // as after a drag
    const auto child = [&](const char *name) {
        return window->findChild<QWidget *>(QString::fromLatin1(name))->geometry();
    };
    QCOMPARE(child("panTools").width(), width);
    QCOMPARE(child("imgShowControls").left(), layout.stripLeft);
    QCOMPARE(child("imgShowButtons").left(), layout.stripLeft);
    QCOMPARE(child("cmbImageTypes").width(), layout.filterWidth);
    QCOMPARE(child("btnHideButtons").left(), layout.hideButtonsLeft);
    QCOMPARE(child("btnHideControls").left(), layout.hideControlsLeft);
    for (const char *left : {"btnOpen", "btnRefresh", "btnSlideShow"}) {
        QCOMPARE(child(left).width(), layout.buttonWidth);
        QCOMPARE(child(left).left(), 0);
    }
    for (const char *right : {"btnOptions", "btnAbout", "btnHideList"}) {
        QCOMPARE(child(right).width(), layout.buttonWidth);
        QCOMPARE(child(right).left(), layout.rightColumnLeft);
    }
}

void TestCommands::rightButtonInTheList()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    FileListView &list = window->fileListView();
    QMenu &menu = window->popupMenu();
    QAction *properties = action(*window, "Properties");
    QStringList items;
    for (const QAction *a : menu.actions())
        items << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    QCOMPARE(items.join(u' '), QStringLiteral("Directory ShowOptions Refresh StartSlideShow "
                                              "ShowAbout - ToggleListVisible "
                                              "ToggleButtonsVisible ToggleControlsVisible - "
                                              "CopyImage Properties Exit"));

    // The press, then the context-menu request the window system follows it with.
    const auto rightClick = [&](QWidget *target, QPoint pos) {
        QTest::mouseClick(target, Qt::RightButton, {}, pos);
        QContextMenuEvent request(QContextMenuEvent::Mouse, pos, target->mapToGlobal(pos));
        QApplication::sendEvent(target, &request);
        QVERIFY(menu.isVisible());
        menu.hide();
    };

    // An image entry: selected, loaded, and the menu offers Properties.
    const int image = rowOf(*window, "b.bmp");
    rightClick(list.viewport(), rowCentre(*window, image));
    QCOMPARE(window->selectedIndex(), image);
    QCOMPARE(window->imager().BitmapListCount(), 1);
    QVERIFY(properties->isVisible());

    // The image area: no Properties, though an image entry is still selected.
    rightClick(window->imager().viewport(), QPoint(20, 20));
    QVERIFY(!properties->isVisible());
    QCOMPARE(window->selectedIndex(), image);

    // A folder entry: selected, the image cleared, no Properties.
    const int folder = rowOf(*window, " sub");
    rightClick(list.viewport(), rowCentre(*window, folder));
    QCOMPARE(window->selectedIndex(), folder);
    QCOMPARE(window->imager().BitmapListCount(), 0);
    QVERIFY(!properties->isVisible());

    // Below the last entry: no selection and no image.
    rightClick(list.viewport(), rowCentre(*window, image));
    QCOMPARE(window->imager().BitmapListCount(), 1);
    const QRect last = list.visualRect(list.model()->index(window->files().count() - 1, 0));
    QVERIFY(last.bottom() + 10 < list.viewport()->height());
    rightClick(list.viewport(), QPoint(last.center().x(), last.bottom() + 10));
    QCOMPARE(window->selectedIndex(), -1);
    QCOMPARE(window->imager().BitmapListCount(), 0);
    QVERIFY(!properties->isVisible());
}

void TestCommands::directoryBrowsesForAFolder()
{
    auto window = openWindow();
    // Answers the folder browser once it is up: cancel, or pick the folder sub.
    const auto answer = [](const QString &folder) {
        QTimer::singleShot(50, [folder] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Browse for Folder"));
            if (folder.isEmpty()) {
                dialog->reject();
            } else {
                dialog->setDirectory(folder); // accepted with no entry: the folder shown
                QMetaObject::invokeMethod(dialog, "accept");
            }
        });
    };
    answer({});
    window->DirectoryExecute();
    QCOMPARE(window->CurrentDirectory(), m_root.string());
    answer(QString::fromStdString((m_root / "sub").string()));
    window->DirectoryExecute();
    QCOMPARE(window->CurrentDirectory(), (m_root / "sub").string());
}

void TestCommands::exitSavesNothingCloseSavesAll()
{
    fs::remove(m_userHive);
    {
        auto window = openWindow();
        window->HideButtonsExecute();
        QTimer::singleShot(0, window.get(), [&window] { window->ExitExecute(); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(window->isVisible()); // the loop ended without closing the window
        QVERIFY(!fs::exists(m_userHive));
    }
    {
        Options = TOptions();
        Options.StartDirectory = TStartDirectory::Custom;
        Options.CustomDirectory = m_root.string();
        auto window = openWindow();
        window->HideButtonsExecute();
        window->HideListExecute();
        QTimer::singleShot(0, window.get(), [&window] {
            window->close();
            QCoreApplication::exit(0);
        });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(fs::exists(m_userHive));
        QVERIFY(readFile(m_userHive).find("\"Show Buttons\"=dword:00000000") != std::string::npos);
    }
    // The next start shows the buttons panel hidden; the list side always starts shown.
    LoadOptions();
    QVERIFY(!Options.ShowButtons);
    auto window = openWindow();
    QVERIFY(!shown(*window, "panButtons") && shown(*window, "panButtonsHidden"));
    QVERIFY(shown(*window, "panTools"));
}

void TestCommands::hintOnlyFromTheHideListButton()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("btnHideList"));
    // Counts the hints shown while running step, closing each one.
    const auto hintsDuring = [](const std::function<void()> &step) {
        int hints = 0;
        QTimer closer;
        closer.setInterval(10);
        QObject::connect(&closer, &QTimer::timeout, [&hints] {
            if (TfrmHint *hint = HintDialog(); hint && hint->isVisible()) {
                ++hints;
                hint->done(QDialog::Accepted);
            }
        });
        closer.start();
        step();
        return hints;
    };

    QCOMPARE(hintsDuring([&] { QTest::mouseClick(button, Qt::LeftButton); }), 1);
    QVERIFY(!shown(*window, "panTools"));
    window->ShowListExecute();
    window->activateWindow(); // back from the hint
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QCOMPARE(hintsDuring([&] { QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier); }),
             0);
    QVERIFY(!shown(*window, "panTools"));
    QCOMPARE(hintsDuring([&] { window->imager().doubleClicked(); }), 0);
    QVERIFY(shown(*window, "panTools")); // the double-click brought the list back

    // Switched off: the button still hides the list, without the hint.
    HintDisabledMask = 1;
    QCOMPARE(hintsDuring([&] { QTest::mouseClick(button, Qt::LeftButton); }), 0);
    QVERIFY(!shown(*window, "panTools"));
}

void TestCommands::adjustmentsFollowTheControls()
{
    auto window = openWindow();
    ImageControls &controls = window->imageControls();
    const QImage original = sample();

    // Panel hidden: a slider off 25 does not touch newly loaded images.
    controls.traBrightness->setValue(40);
    window->ShowImage(imagePath("a.bmp"));
    QCOMPARE(shownImage(*window), original);
    window->ShowControlsExecute(); // showing the panel applies it
    const QImage brighter = shownImage(*window);
    QVERIFY(brighter != original);
    QCOMPARE(brighter.size(), original.size());

    // Flipping twice gives back the brightened picture; moving back to 25 the original.
    controls.btnFlipUD->click();
    QCOMPARE(shownImage(*window), brighter.mirrored(false, true));
    controls.btnFlipUD->click();
    QCOMPARE(shownImage(*window), brighter);
    controls.traBrightness->setValue(25);
    QCOMPARE(shownImage(*window), original);

    // 90 then 180 shows the original turned by 180; a new image comes in turned too.
    controls.btnRotate90->click();
    controls.btnRotate180->click();
    QCOMPARE(shownImage(*window), original.mirrored(true, true));
    window->ShowImage(imagePath("b.bmp"));
    QCOMPARE(shownImage(*window), original.mirrored(true, false).mirrored(true, true));

    // Hiding the list side (as a slide show does) keeps the controls in force.
    window->HideListExecute();
    controls.btnRotate180->click();
    QCOMPARE(shownImage(*window), original.mirrored(true, false));
}

void TestCommands::propertySheetRequest()
{
    // Names go out as their exact bytes, whatever the encoding.
    QCOMPARE(FileUriForPath("/home/me/a b#?.jpg"),
             QStringLiteral("file:///home/me/a%20b%23%3F.jpg"));
    QCOMPARE(FileUriForPath("/x/caf\xc3\xa9\xff.jpg"),
             QStringLiteral("file:///x/caf%C3%A9%FF.jpg"));

    // Without a session bus the request fails, quietly.
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QVERIFY(!ShowPropertiesSheet("a.bmp", m_root.string(), nullptr));
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    auto window = openWindow();
    window->fileListView().setSelectedRow(rowOf(*window, "a.bmp"));
    window->PropertiesExecute(); // silent
}

void TestCommands::propertySheetThroughFileManager()
{
    if (m_home.busAddress().isEmpty())
        QSKIP("no dbus-daemon to stand in for the session bus");
    const QString address = m_home.busAddress();

    // No file manager on the bus: the request goes out, the answer is an error.
    std::optional<bool> answered;
    QVERIFY(ShowPropertiesSheet("a.bmp", "/tmp", nullptr, [&](bool ok) { answered = ok; }));
    QTRY_VERIFY(answered.has_value());
    QVERIFY(!*answered);

    QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("fake"));
    FakeFileManager manager;
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    answered.reset();
    QVERIFY(ShowPropertiesSheet("b \xff.bmp", "/tmp/x/", nullptr, [&](bool ok) { answered = ok; }));
    QTRY_VERIFY(answered.has_value());
    QVERIFY(*answered);
    QCOMPARE(manager.received, QStringList{QStringLiteral("file:///tmp/x/b%20%FF.bmp")});
    QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
}

// Ctrl+O opens the one Options dialog; switching the worker off there waits, under the busy
// cursor and with the window still served, until the decoder is free.
void TestCommands::optionsWaitsForTheDecoder()
{
    Options.UseWorkThread = true;
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    std::mutex &decodeLock = window->loader().DecodeLock();
    std::atomic<bool> held = false, released = false;
    std::thread decoder([&] {
        std::lock_guard decoding(decodeLock);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        released = true; // just before the lock is
    });
    while (!held)
        std::this_thread::yield();
    int busyWhileWaiting = 0;
    QTimer served; // runs only if the wait lets the event loop go on
    QObject::connect(&served, &QTimer::timeout, [&] { busyWhileWaiting = BusyDepth(); });
    bool waited = false;
    const auto *options = test::runWithModal<TfrmOptions>(
        [&] { QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier); },
        [&](TfrmOptions *dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Options"));
            QVERIFY(window->showsSecondaryDialog());
            dialog->chkUseThreads->setChecked(false);
            served.start(20);
            QTest::mouseClick(dialog->btnOk, Qt::LeftButton);
            waited = released;
        },
        [](TfrmOptions *dialog) { dialog->reject(); });
    decoder.join();
    QVERIFY(options);
    QVERIFY(waited);
    QCOMPARE(busyWhileWaiting, 1);
    QCOMPARE(BusyDepth(), 0);
    QVERIFY(!Options.UseWorkThread);
    QVERIFY(!window->showsSecondaryDialog()); // closed, though it lives on
}

void TestCommands::keysFollowTheVisibleSide_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("Ctrl+V") << QStringLiteral("key");
    QTest::newRow("Hide List button, after its hint") << QStringLiteral("button");
    QTest::newRow("double-click on the image") << QStringLiteral("double-click");
}

void TestCommands::keysFollowTheVisibleSide()
{
    QFETCH(QString, way);
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->SelectFile("a.bmp", -1);
    if (way == QLatin1String("key")) {
        QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    } else if (way == QLatin1String("button")) {
        auto *button = window->findChild<QPushButton *>(QStringLiteral("btnHideList"));
        QVERIFY(test::runWithModal<TfrmHint>([&] { QTest::mouseClick(button, Qt::LeftButton); }, {},
                                             [](TfrmHint *hint) { hint->accept(); }));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    } else {
        window->imager().doubleClicked();
    }
    QVERIFY(!shown(*window, "panTools"));
    // The keys reach the image area, not the hidden list: Right shows the next image.
    QCOMPARE(window->focusWidget(), &window->imager());
    QTest::keyClick(window->focusWidget(), Qt::Key_Right);
    QCOMPARE(window->loader().RequestedFile(), imagePath("b.bmp"));
    QTest::keyClick(window.get(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(window->focusWidget(), &window->fileListView());
}

void TestCommands::copyImagePutsTheShownImageOnTheClipboard()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(clipboard->image().isNull()); // nothing shown, nothing copied
    QVERIFY(!shown(*window, "panControls"));

    // The picture as shown, adjustments included; Ctrl+C still switches the controls.
    window->ShowImage(imagePath("a.bmp"));
    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier);
    QVERIFY(shown(*window, "panControls"));
    window->imageControls().btnFlipUD->click();
    QTest::keyClick(window.get(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(clipboard->image().convertToFormat(QImage::Format_RGB32),
             sample().mirrored(false, true));
    QVERIFY(shown(*window, "panControls"));
}

void TestCommands::handOffRetitlesTheWindow_data()
{
    QTest::addColumn<bool>("background");
    QTest::newRow("foreground decoding") << false;
    QTest::newRow("background decoding") << true;
}

void TestCommands::handOffRetitlesTheWindow()
{
    QFETCH(bool, background);
    Options.UseWorkThread = background;
    auto window = openWindow();
    window->ShowImage(imagePath("a.bmp"));
    QTRY_COMPARE(window->windowTitle(),
                 QStringLiteral("Oxlume: ") + QString::fromStdString(imagePath("a.bmp")));
    window->ReceiveHandOff(imagePath("b.bmp"), "a-token");
    QTRY_COMPARE(window->windowTitle(),
                 QStringLiteral("Oxlume: ") + QString::fromStdString(imagePath("b.bmp")));
    QCOMPARE(window->windowIconText(), QStringLiteral("Oxlume: b.bmp"));
}

void TestCommands::textsFitAtAnyFont_data()
{
    QTest::addColumn<qreal>("points"); // 0: the toolkit's own font
    QTest::newRow("default font") << qreal(0);
    QTest::newRow("10 points") << qreal(10);
    QTest::newRow("14 points") << qreal(14);
    QTest::newRow("30 points") << qreal(30);
}

void TestCommands::textsFitAtAnyFont()
{
    QFETCH(qreal, points);
    const QFont original = QApplication::font();
    const auto restore = qScopeGuard([&original] { QApplication::setFont(original); });
    if (points > 0) {
        QFont font = original;
        font.setPointSizeF(points);
        QApplication::setFont(font);
    }
    const auto expectWhole = [](const QWidget &top) {
        const QStringList clipped = clippedTexts(top);
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(u' ')));
    };
    TfrmAbout about;
    expectWhole(about);
    TfrmHint hint;
    hint.prepare(LocalHint(0));
    expectWhole(hint);
    auto window = openWindow();
    expectWhole(*window->findChild<QWidget *>(QStringLiteral("panButtons")));
}

void TestCommands::windowsFitASmallScreen_data()
{
    // The offscreen screen is 800 x 600.
    QTest::addColumn<qreal>("points"); // 0: the toolkit's own font
    QTest::addColumn<QString>("window");
    for (const char *window : {"main", "about", "options", "tip", "hint"})
        QTest::newRow(qPrintable(QStringLiteral("30 points, %1").arg(QLatin1String(window))))
            << qreal(30) << QString::fromLatin1(window);
    QTest::newRow("own font, main") << qreal(0) << QStringLiteral("main");
    QTest::newRow("50 points, main: the left side scrolls") << qreal(50) << QStringLiteral("main");
}

void TestCommands::windowsFitASmallScreen()
{
    QFETCH(qreal, points);
    QFETCH(QString, window);
    const QFont original = QApplication::font();
    const auto restore = qScopeGuard([&original] {
        QApplication::setFont(original);
        ShowTipsSetting = false;
    });
    if (points > 0) {
        QFont font = original;
        font.setPointSizeF(points);
        QApplication::setFont(font);
    }
    Options.ShowControls = true;
    auto main = openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(main.get()));
    const auto expectInSight = [](const QWidget *top) {
        // A window may be moved onto the screen once it is shown.
        QTRY_VERIFY2(outOfSight(*top).isEmpty(), qPrintable(outOfSight(*top).join(u' ')));
    };
    if (window == QLatin1String("main")) {
        expectInSight(main.get());
        // Where everything fits, the left side shows no scroll bar.
        if (points == 0)
            for (const QScrollBar *bar : main->findChild<QWidget *>(QStringLiteral("panTools"))
                                             ->findChildren<QScrollBar *>())
                QVERIFY(!bar->isVisible() ||
                        bar->parentWidget()->parentWidget() == &main->fileListView());
        return;
    }
    const auto show = [&] {
        if (window == QLatin1String("about"))
            main->ShowAboutExecute();
        else if (window == QLatin1String("options"))
            main->ShowOptionsExecute();
        else if (window == QLatin1String("tip") && (ShowTipsSetting = true))
            ShowTipOfTheDay(main.get());
        else
            ShowLocalHint(0, main.get());
    };
    QVERIFY(test::runWithModal<QDialog>(show, expectInSight, [](QDialog *d) { d->accept(); }));
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
