// The main window's file list end to end: listings of temporary folders, selection, keys,
// filters, going up and down, refresh, start arguments, hand-off and saving at close.

#include "guidance/TipSettings.h"
#include "platform/Errors.h"
#include "settings/OptionsUnit.h"
#include "shell/FileNameFunctions.h"
#include "shell/PIDLFunctions.h"
#include "viewer/Busy.h"
#include "viewer/MainForm.h"
#include "viewer/ZoomSteps.h"

#include "common/TestEnv.h"

#include <QAbstractSlider>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QMimeData>
#include <QScrollBar>
#include <QSet>
#include <QToolButton>
#include <QtTest>

#include <filesystem>
#include <fstream>

using namespace oxlume;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path &path)
{
    std::ofstream(path) << "";
}

} // namespace

class TestMainForm : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void listsFoldersThenImages();
    void captionSurvivesTheUpdateTimer();
    void clickShowsImagesAndClearsForFolders();
    void keys();
    void goingDownAndUp();
    void filterChangeKeepsSelectionOrRow();
    void refreshAfterDeletionKeepsRow();
    void vanishedFolderKeepsListing();
    void awkwardNamesGiveTheirOwnPath();
    void startArgument_data();
    void startArgument();
    void handOffSelectsAndShows();
    void desktopEntriesBuildPathsFromTheirLists();
    void closeSavesLastDirectoryOnlyWhenKnown();
    void panelsAtStart();
    void listHasTheKeysAtStart();
    void startFileIsScrolledIntoView_data();
    void startFileIsScrolledIntoView();
    void homeSelectsParentWithNothingSelected();
    void shortWindowKeepsPanelsApart();
    void openedByHand_data();
    void openedByHand();
    void imageAreaKeys_data();
    void imageAreaKeys();
    void zoomKeepsThePointInPlace();
    void fullScreenAndBack();
    void deleteMovesToTrash_data();
    void deleteMovesToTrash();
    void everyControlHasAnAccessibleName();
    void glyphsFollowThePalette_data();
    void glyphsFollowThePalette();
    void placementRememberedAndPulledBack();
    void fitEnlargesSmoothlyActualSizeStaysExact();
    void failedLoadIsNamedInTheImageArea_data();
    void failedLoadIsNamedInTheImageArea();
    void busyNestsAndSurvivesErrors();

private:
    std::unique_ptr<TfrmMain> openWindow(const std::string &argument = {});
    QStringList keys(const TfrmMain &window) const;
    std::string selectedKey(const TfrmMain &window) const;

    test::WindowSandbox m_home;
    fs::path m_root; // the folder each test starts in
};

void TestMainForm::initTestCase()
{
    // No Tip of the Day over the windows these tests open and activate.
    ShowTipsSetting = false;
    QVERIFY(m_home.isValid());
    std::ofstream(m_home.root() / "config" / "user-dirs.dirs")
        << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n";
}

void TestMainForm::init()
{
    // A fresh folder for every test: sub-folders "Beta", "alpha"; images in mixed case; a
    // file no filter but "All Files" lists.
    m_root = m_home.root() / QTest::currentTestFunction();
    fs::remove_all(m_root);
    fs::create_directories(m_root / "Beta");
    fs::create_directories(m_root / "alpha");
    for (const char *name : {"b.JPG", "A.jpg", "dune.bmp", "notes.txt"})
        touch(m_root / name);
    touch(m_root / "alpha" / "inner.pcx");

    Options = TOptions();
    Options.UseWorkThread = false;
    Options.StartDirectory = TStartDirectory::Custom;
    Options.CustomDirectory = m_root.string();
}

std::unique_ptr<TfrmMain> TestMainForm::openWindow(const std::string &argument)
{
    auto window = std::make_unique<TfrmMain>(Options, argument);
    window->show(); // runs the first show: lists the start folder
    return window;
}

QStringList TestMainForm::keys(const TfrmMain &window) const
{
    QStringList out;
    for (const FileEntry &e : window.files().entries())
        out << QString::fromUtf8(e.key().data(), qsizetype(e.key().size()));
    return out;
}

std::string TestMainForm::selectedKey(const TfrmMain &window) const
{
    const int row = window.selectedIndex();
    return row < 0 ? std::string("<none>") : std::string(window.files().entry(row).key());
}

void TestMainForm::listsFoldersThenImages()
{
    auto window = openWindow();
    QCOMPARE(window->windowTitle(), QStringLiteral("Oxlume"));
    QCOMPARE(window->imageTypes().count(), 7);
    QCOMPARE(window->imageTypes().currentIndex(), 1);
    QCOMPARE(window->CurrentDirectory(), m_root.string());
    QCOMPARE(keys(*window), (QStringList{QStringLiteral(" .."), QStringLiteral(" alpha"),
                                         QStringLiteral(" Beta"), QStringLiteral("A.jpg"),
                                         QStringLiteral("b.JPG"), QStringLiteral("dune.bmp")}));
    QCOMPARE(window->ImageCount(), 3);
    QVERIFY(!window->ParentPIDL().isAbsent());
    QCOMPARE(window->selectedIndex(), -1);
    QCOMPARE(window->files().entry(0).drawn(), std::string_view(" [..]"));
}

void TestMainForm::captionSurvivesTheUpdateTimer()
{
    // Background decoding: the 300 ms timer copies the pending texts onto the window, and
    // no image has been asked for yet.
    Options.UseWorkThread = true;
    auto window = openWindow();
    QTest::qWait(400);
    QCOMPARE(window->windowTitle(), QStringLiteral("Oxlume"));
    QCOMPARE(window->windowIconText(), QStringLiteral("Oxlume"));
}

void TestMainForm::clickShowsImagesAndClearsForFolders()
{
    auto window = openWindow();
    window->SelectFile("dune.bmp", -1);
    QCOMPARE(window->loader().RequestedFile(), (m_root / "dune.bmp").string());
    window->SelectFile(" Beta", -1);
    QCOMPARE(window->loader().RequestedFile(), std::string());
    QCOMPARE(window->windowTitle(), QStringLiteral("Oxlume"));
    // A name that is not listed keeps the old row.
    window->SelectFile("gone.jpg", 3);
    QCOMPARE(selectedKey(*window), std::string("A.jpg"));
}

void TestMainForm::keys()
{
    auto window = openWindow();
    // A typed letter selects the first file not less than it; folders never.
    window->lstFilesKeyPress("B");
    QCOMPARE(selectedKey(*window), std::string("b.JPG"));
    QCOMPARE(window->loader().RequestedFile(), (m_root / "b.JPG").string());
    window->lstFilesKeyPress("a");
    QCOMPARE(selectedKey(*window), std::string("A.jpg"));
    window->lstFilesKeyPress("z"); // every key less: the last entry
    QCOMPARE(selectedKey(*window), std::string("dune.bmp"));

    // Space on an image shows it; Return on a folder opens it.
    window->SelectFile("A.jpg", -1);
    window->ShowImage({});
    window->lstFilesKeyPress(" ");
    QCOMPARE(window->loader().RequestedFile(), (m_root / "A.jpg").string());
    window->SelectFile(" alpha", -1);
    window->lstFilesKeyPress("\r");
    QCOMPARE(window->CurrentDirectory(), (m_root / "alpha").string());
    QCOMPARE(keys(*window), (QStringList{QStringLiteral(" .."), QStringLiteral("inner.pcx")}));
}

void TestMainForm::goingDownAndUp()
{
    auto window = openWindow();
    window->SelectFile(" Beta", -1);
    window->lstFilesDblClick();
    QCOMPARE(window->CurrentDirectory(), (m_root / "Beta").string());
    QCOMPARE(window->ImageCount(), 0); // only the parent entry
    QCOMPARE(window->files().count(), 1);

    window->SelectFile(" ..", -1);
    window->lstFilesDblClick();
    QCOMPARE(window->CurrentDirectory(), m_root.string());
    QCOMPARE(selectedKey(*window), std::string(" Beta")); // the folder just left
}

void TestMainForm::filterChangeKeepsSelectionOrRow()
{
    auto window = openWindow();
    window->SelectFile("dune.bmp", -1);
    window->imageTypes().setCurrentIndex(2); // BMP Files
    QCOMPARE(window->ImageCount(), 1);
    QCOMPARE(selectedKey(*window), std::string("dune.bmp"));

    window->imageTypes().setCurrentIndex(0); // All Files: notes.txt joins the list
    QCOMPARE(window->ImageCount(), 4);
    window->SelectFile("notes.txt", -1);
    const int row = window->selectedIndex();
    window->imageTypes().setCurrentIndex(3); // JPEG Files: notes.txt is gone
    QCOMPARE(window->ImageCount(), 2);
    QCOMPARE(window->selectedIndex(), row < window->files().count() ? row : -1);
}

void TestMainForm::refreshAfterDeletionKeepsRow()
{
    auto window = openWindow();
    window->SelectFile("A.jpg", -1);
    const int row = window->selectedIndex();
    fs::remove(m_root / "A.jpg");
    window->RefreshExecute();
    QCOMPARE(window->selectedIndex(), row);
    QCOMPARE(selectedKey(*window), std::string("b.JPG"));

    // The last row deleted: the shorter list selects nothing.
    window->SelectFile("dune.bmp", -1);
    fs::remove(m_root / "dune.bmp");
    window->RefreshExecute();
    QCOMPARE(window->selectedIndex(), -1);
    QCOMPARE(window->loader().RequestedFile(), std::string());
}

void TestMainForm::vanishedFolderKeepsListing()
{
    auto window = openWindow();
    const QStringList before = keys(*window);
    window->SelectFile(" alpha", -1);
    fs::remove_all(m_root / "alpha");
    window->lstFilesDblClick();
    QCOMPARE(window->CurrentDirectory(), m_root.string());
    QCOMPARE(keys(*window), before);
    QCOMPARE(window->ImageCount(), 3);
}

void TestMainForm::awkwardNamesGiveTheirOwnPath()
{
    const std::string names[] = {"\xff\xfe bad.jpg", "back\\slash.jpg", "-dash.jpg", " lead.jpg",
                                 std::string(251, 'n') + ".jpg"};
    for (const std::string &name : names)
        touch(m_root / name);
    auto window = openWindow();
    QCOMPARE(window->ImageCount(), 3 + int(std::size(names)));
    for (const std::string &name : names) {
        window->SelectFile(name, -1);
        QCOMPARE(selectedKey(*window), name);
        QCOMPARE(window->loader().RequestedFile(), (m_root / name).string());
    }
    // A file with a leading blank opens as a file, not as a folder.
    window->SelectFile(" lead.jpg", -1);
    window->lstFilesDblClick();
    QCOMPARE(window->CurrentDirectory(), m_root.string());
}

void TestMainForm::startArgument_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expectedFolder");
    QTest::addColumn<QString>("expectedSelection");
    QTest::newRow("a file") << QStringLiteral("alpha/inner.pcx") << QStringLiteral("alpha/")
                            << QStringLiteral("inner.pcx");
    QTest::newRow("a folder shows its first image")
        << QStringLiteral("alpha") << QStringLiteral("alpha") << QStringLiteral("inner.pcx");
    QTest::newRow("an empty folder is listed")
        << QStringLiteral("Beta") << QStringLiteral("Beta") << QStringLiteral("<none>");
    QTest::newRow("a missing file is ignored")
        << QStringLiteral("missing.jpg") << QString() << QString();
}

void TestMainForm::startArgument()
{
    QFETCH(QString, argument);
    QFETCH(QString, expectedFolder);
    QFETCH(QString, expectedSelection);
    auto window = openWindow((m_root / argument.toStdString()).string());
    if (expectedSelection.isEmpty()) {
        QCOMPARE(window->CurrentDirectory(), m_root.string());
        QCOMPARE(window->selectedIndex(), -1);
        QCOMPARE(window->loader().RequestedFile(), std::string());
        return;
    }
    const std::string folder = (m_root / expectedFolder.toStdString()).string();
    QCOMPARE(window->CurrentDirectory(), folder);
    QCOMPARE(selectedKey(*window), expectedSelection.toStdString());
    QCOMPARE(window->loader().RequestedFile(),
             expectedSelection == QLatin1String("<none>")
                 ? std::string()
                 : (fs::path(folder) / expectedSelection.toStdString()).string());
}

void TestMainForm::handOffSelectsAndShows()
{
    auto window = openWindow();
    const std::string file = (m_root / "alpha" / "inner.pcx").string();
    window->ReceiveHandOff(file);
    QCOMPARE(window->CurrentDirectory(), (m_root / "alpha").string() + "/");
    QCOMPARE(selectedKey(*window), std::string("inner.pcx"));
    QCOMPARE(window->loader().RequestedFile(), file);
    // A path that names nothing changes nothing.
    window->ReceiveHandOff((m_root / "missing.jpg").string());
    QCOMPARE(window->CurrentDirectory(), (m_root / "alpha").string() + "/");
}

void TestMainForm::desktopEntriesBuildPathsFromTheirLists()
{
    const fs::path desktop = m_home.root() / "Desktop";
    touch(desktop / "wallpaper.jpg");
    auto window = openWindow();
    window->OpenFolder(DesktopPIDL(), {}, false, "wallpaper.jpg");
    QCOMPARE(window->CurrentDirectory(), std::string());
    QVERIFY(!keys(*window).contains(QStringLiteral(" ..")));
    QCOMPARE(window->loader().RequestedFile(), (desktop / "wallpaper.jpg").string());
}

void TestMainForm::closeSavesLastDirectoryOnlyWhenKnown()
{
    {
        auto window = openWindow();
        window->close();
    }
    LoadOptions();
    QCOMPARE(Options.LastDirectory, m_root.string());

    Options.StartDirectory = TStartDirectory::LastFolder;
    {
        auto window = openWindow();
        QCOMPARE(window->CurrentDirectory(), m_root.string());
        window->OpenFolder(DesktopPIDL(), {}, false, {}); // the desktop has no path
        window->close();
    }
    LoadOptions();
    QCOMPARE(Options.LastDirectory, m_root.string());
}

void TestMainForm::panelsAtStart()
{
    const auto shown = [](const TfrmMain &w, const char *name) {
        const auto *child = w.findChild<QWidget *>(QString::fromLatin1(name));
        return child && !child->isHidden();
    };
    {
        auto window = openWindow();
        QVERIFY(!shown(*window, "panControls") && shown(*window, "panControlsHidden"));
        QVERIFY(shown(*window, "panButtons") && !shown(*window, "panButtonsHidden"));
    }
    // Saved panel settings are applied at the first show.
    Options.ShowControls = true;
    Options.ShowButtons = false;
    auto window = openWindow();
    QVERIFY(shown(*window, "panControls") && !shown(*window, "panControlsHidden"));
    QVERIFY(!shown(*window, "panButtons") && shown(*window, "panButtonsHidden"));
    // Shortcuts work with the focus in the list, whose own copy and paste keys they share.
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->fileListView().setFocus();
    QTest::keyClick(&window->fileListView(), Qt::Key_V, Qt::ControlModifier);
    QVERIFY(!shown(*window, "panTools"));
    window->ToggleButtonsVisibleExecute(); // brings the list side back as well
    QVERIFY(shown(*window, "panTools") && shown(*window, "panButtons"));
    QVERIFY(Options.ShowButtons);
}

void TestMainForm::busyNestsAndSurvivesErrors()
{
    QCOMPARE(BusyDepth(), 0);
    try {
        BusyGuard outer;
        BusyGuard inner;
        QCOMPARE(BusyDepth(), 2);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        throw RangeCheckError();
    } catch (const RangeCheckError &) {
    }
    QCOMPARE(BusyDepth(), 0);
    QVERIFY(!QGuiApplication::overrideCursor());
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, EndBusy());
}

void TestMainForm::listHasTheKeysAtStart()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QCOMPARE(QApplication::focusWidget(), &window->fileListView());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QCOMPARE(window->imageTypes().currentIndex(), 1); // the filter stays
    QVERIFY(window->selectedIndex() >= 0);            // the list moved instead
    // Typed letters still select entries, whatever new keys the window took on.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_D);
    QCOMPARE(selectedKey(*window), std::string("dune.bmp"));
    // Left and Right step through the images, as in the image area: the list is vertical.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
    QCOMPARE(selectedKey(*window), std::string("b.JPG"));
    QCOMPARE(window->loader().RequestedFile(), (m_root / "b.JPG").string());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    QCOMPARE(selectedKey(*window), std::string("dune.bmp"));
}

void TestMainForm::startFileIsScrolledIntoView_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("a screenful and more") << 60;
    QTest::newRow("20,000 files") << 20000;
}

void TestMainForm::startFileIsScrolledIntoView()
{
    // Also run at twice the scale (QT_SCALE_FACTOR=2) by CTest.
    QFETCH(int, count);
    const fs::path folder = m_root / "many";
    fs::create_directories(folder);
    for (int k = 0; k < count; ++k)
        touch(folder / ("img" + std::to_string(100000 + k) + ".jpg"));
    const std::string wanted = "img" + std::to_string(100000 + count * 3 / 4) + ".jpg";
    auto window = openWindow((folder / wanted).string());
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const FileListView &list = window->fileListView();
    QCOMPARE(selectedKey(*window), wanted);
    const QRect row = list.visualRect(list.currentIndex());
    QVERIFY2(list.viewport()->rect().contains(row),
             qPrintable(QStringLiteral("row %1,%2 %3x%4 in a viewport of height %5")
                            .arg(row.x())
                            .arg(row.y())
                            .arg(row.width())
                            .arg(row.height())
                            .arg(list.viewport()->height())));
}

void TestMainForm::homeSelectsParentWithNothingSelected()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->imageTypes().setFocus();
    window->imageTypes().setCurrentIndex(2); // BMP Files; nothing was selected
    window->fileListView().setFocus();       // the cursor comes to row 0, unselected
    QCOMPARE(window->selectedIndex(), -1);
    QCOMPARE(window->fileListView().currentIndex().row(), 0);
    QTest::keyClick(&window->fileListView(), Qt::Key_Home);
    QCOMPARE(selectedKey(*window), std::string(" .."));
}

void TestMainForm::shortWindowKeepsPanelsApart()
{
    // The least window size with the image controls shown: the list gives way, and the
    // window grows rather than let the panels overlap or leave its edge.
    Options.ShowControls = true;
    auto window = openWindow();
    window->resize(400, 240);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_VERIFY(window->height() > 240);
    const auto box = [&](const char *name) {
        const auto *child = window->findChild<QWidget *>(QString::fromLatin1(name));
        return QRect(child->mapTo(window.get(), QPoint(0, 0)), child->size());
    };
    QTRY_VERIFY(box("panControls").bottom() < box("lstFiles").top());
    QVERIFY(box("lstFiles").bottom() < box("panButtons").top());
    QVERIFY(box("panButtons").bottom() < window->height());
    QVERIFY(box("lstFiles").height() > 0);
}

void TestMainForm::openedByHand_data()
{
    QTest::addColumn<bool>("drop");         // else a second start's hand-off
    QTest::addColumn<QStringList>("paths"); // relative to the test folder
    QTest::addColumn<QString>("folder");    // the listed folder afterwards, relative
    QTest::addColumn<QString>("selected");  // "<none>" when nothing is
    QTest::newRow("file handed over") << false << QStringList{QStringLiteral("alpha/inner.pcx")}
                                      << QStringLiteral("alpha/") << QStringLiteral("inner.pcx");
    QTest::newRow("folder handed over: its first image")
        << false << QStringList{QStringLiteral("alpha")} << QStringLiteral("alpha")
        << QStringLiteral("inner.pcx");
    QTest::newRow("folder without images") << false << QStringList{QStringLiteral("Beta")}
                                           << QStringLiteral("Beta") << QStringLiteral("<none>");
    QTest::newRow("file dropped") << true << QStringList{QStringLiteral("dune.bmp")}
                                  << QStringLiteral("") << QStringLiteral("dune.bmp");
    QTest::newRow("several dropped: the first")
        << true << QStringList{QStringLiteral("alpha/inner.pcx"), QStringLiteral("dune.bmp")}
        << QStringLiteral("alpha/") << QStringLiteral("inner.pcx");
    QTest::newRow("folder dropped") << true << QStringList{QStringLiteral("alpha")}
                                    << QStringLiteral("alpha") << QStringLiteral("inner.pcx");
}

void TestMainForm::openedByHand()
{
    QFETCH(bool, drop);
    QFETCH(QStringList, paths);
    QFETCH(QString, folder);
    QFETCH(QString, selected);
    auto window = openWindow();
    if (drop) {
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls << QUrl::fromLocalFile(
                QString::fromStdString((m_root / path.toStdString()).string()));
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(300, 200), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent dropped(QPointF(300, 200), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(window.get(), &dropped);
    } else {
        window->ReceiveHandOff((m_root / paths.front().toStdString()).string());
    }
    const std::string listed =
        folder.isEmpty() ? m_root.string() + "/" : (m_root / folder.toStdString()).string();
    QCOMPARE(window->CurrentDirectory(), listed);
    QCOMPARE(selectedKey(*window), selected.toStdString());
    const std::string shown = selected == QStringLiteral("<none>")
                                  ? std::string()
                                  : JoinPath(listed, selected.toStdString());
    QCOMPARE(window->loader().RequestedFile(), shown);
}

void TestMainForm::imageAreaKeys_data()
{
    QTest::addColumn<QString>("start"); // selected before; empty: nothing
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("expected");
    // The images, in list order: A.jpg, b.JPG, dune.bmp; folders are passed over.
    QTest::newRow("Right") << QStringLiteral("A.jpg") << int(Qt::Key_Right)
                           << QStringLiteral("b.JPG");
    QTest::newRow("Space") << QStringLiteral("A.jpg") << int(Qt::Key_Space)
                           << QStringLiteral("b.JPG");
    QTest::newRow("Page Down") << QStringLiteral("b.JPG") << int(Qt::Key_PageDown)
                               << QStringLiteral("dune.bmp");
    QTest::newRow("Left") << QStringLiteral("b.JPG") << int(Qt::Key_Left)
                          << QStringLiteral("A.jpg");
    QTest::newRow("BackSpace") << QStringLiteral("dune.bmp") << int(Qt::Key_Backspace)
                               << QStringLiteral("b.JPG");
    QTest::newRow("Page Up") << QStringLiteral("b.JPG") << int(Qt::Key_PageUp)
                             << QStringLiteral("A.jpg");
    QTest::newRow("Left at the first image stays")
        << QStringLiteral("A.jpg") << int(Qt::Key_Left) << QStringLiteral("A.jpg");
    QTest::newRow("Right at the last image stays")
        << QStringLiteral("dune.bmp") << int(Qt::Key_Right) << QStringLiteral("dune.bmp");
    QTest::newRow("Right from a folder")
        << QStringLiteral(" Beta") << int(Qt::Key_Right) << QStringLiteral("A.jpg");
    QTest::newRow("Right with nothing selected")
        << QString() << int(Qt::Key_Right) << QStringLiteral("A.jpg");
}

void TestMainForm::imageAreaKeys()
{
    QFETCH(QString, start);
    QFETCH(int, key);
    QFETCH(QString, expected);
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    if (!start.isEmpty())
        window->SelectFile(start.toStdString(), -1);
    window->HideListExecute(); // the image area keeps the focus only then
    window->imager().setFocus();
    QTest::keyClick(&window->imager(), Qt::Key(key));
    QCOMPARE(selectedKey(*window), expected.toStdString());
    QCOMPARE(window->loader().RequestedFile(), (m_root / expected.toStdString()).string());
}

namespace {

// The image point shown at position (viewport coordinates).
QPointF imagePointAt(const imaging::TImager &imager, QPointF position)
{
    const imaging::ViewGeometry view = imager.viewGeometry();
    const QRectF target = view.targetRect(
        QPoint(imager.horizontalScrollBar()->value(), imager.verticalScrollBar()->value()));
    return {(position.x() - target.left()) * view.imageSize().width() / target.width(),
            (position.y() - target.top()) * view.imageSize().height() / target.height()};
}

} // namespace

void TestMainForm::zoomKeepsThePointInPlace()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    imaging::TImager &imager = window->imager();
    QImage picture(900, 700, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    imager.setBitmapList(picture);
    QWidget *area = imager.viewport();
    const auto near = [](QPointF a, QPointF b) {
        return std::abs(a.x() - b.x()) <= 1.0 && std::abs(a.y() - b.y()) <= 1.0;
    };

    // Ctrl+wheel, from fit and then once more zoomed: the point under the pointer stays.
    // (Off the centre, but not so near an edge that the scroll range would stop it.)
    const QPointF pointer(area->width() * 0.4, area->height() * 0.45);
    for (int turn = 0; turn < 3; ++turn) {
        const QPointF before = imagePointAt(imager, pointer);
        QWheelEvent wheel(pointer, area->mapToGlobal(pointer), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(area, &wheel);
        QVERIFY(wheel.isAccepted());
        QCOMPARE(imager.PaintSizeMode(), std::int16_t(4));
        QVERIFY2(near(imagePointAt(imager, pointer), before), qPrintable(QString::number(turn)));
    }

    // The keys zoom about the centre and keep the buttons' states right.
    const QPointF centre(area->width() / 2.0, area->height() / 2.0);
    const QPointF middle = imagePointAt(imager, centre);
    const float factor = imager.PaintZoomFactor();
    QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
    QCOMPARE(imager.PaintZoomFactor(), ZoomInFactor(factor));
    QVERIFY(near(imagePointAt(imager, centre), middle));
    QTest::keyClick(window.get(), Qt::Key_Minus, Qt::ControlModifier);
    QCOMPARE(imager.PaintZoomFactor(), factor);
    QTest::keyClick(window.get(), Qt::Key_0, Qt::ControlModifier);
    QCOMPARE(imager.PaintSizeMode(), std::int16_t(0));
    QVERIFY(window->imageControls().btnZoom100->isChecked());
    QVERIFY(!window->imageControls().btnStretch->isChecked());
    QVERIFY(near(imagePointAt(imager, centre), middle));
}

void TestMainForm::fullScreenAndBack()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    const QRect before = window->geometry();
    const QColor background = window->imager().BackColor();
    QTest::keyClick(window.get(), Qt::Key_F11);
    QTRY_VERIFY(window->isFullScreen());
    QVERIFY(window->fullScreen().isActive());
    QCOMPARE(window->imager().BackColor(), QColor(Qt::black));
    QVERIFY(window->findChild<QWidget *>(QStringLiteral("panTools"))->isHidden());
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QTRY_VERIFY(!window->isFullScreen());
    QTRY_COMPARE(window->geometry(), before);
    QCOMPARE(window->imager().BackColor(), background);
    QVERIFY(!window->findChild<QWidget *>(QStringLiteral("panTools"))->isHidden());
    // Esc belongs to nobody while not full screen.
    QVERIFY(!window->findChild<QAction *>(QStringLiteral("LeaveFullScreen"))->isEnabled());
}

void TestMainForm::deleteMovesToTrash_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("trashExists"); // else XDG_DATA_HOME is a file: no Trash
    QTest::addColumn<bool>("deleted");
    QTest::newRow("confirmed") << true << true << true;
    QTest::newRow("declined") << false << true << false;
    QTest::newRow("no Trash for the file") << true << false << false;
}

void TestMainForm::deleteMovesToTrash()
{
    QFETCH(bool, confirm);
    QFETCH(bool, trashExists);
    QFETCH(bool, deleted);
    const fs::path data = m_root.parent_path() / "trash-test-data"; // not in the listing
    fs::remove_all(data);
    if (!trashExists)
        touch(data);
    test::ScopedEnv env;
    env.set("XDG_DATA_HOME", QByteArray::fromStdString(data.string()));
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->SelectFile("b.JPG", -1);
    const int row = window->selectedIndex();

    // Answers each message box as it comes: Yes or No to the question, OK to a warning.
    QStringList texts;
    QTimer answer;
    answer.setInterval(5);
    connect(&answer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        texts << box->text();
        if (QAbstractButton *yes = box->button(QMessageBox::Yes))
            (confirm ? yes : box->button(QMessageBox::No))->click();
        else
            box->accept();
    });
    answer.start();
    QTest::keyClick(window.get(), Qt::Key_Delete);
    answer.stop();

    QVERIFY(!texts.isEmpty());
    QVERIFY2(texts.front().contains(QStringLiteral("\"b.JPG\"")), qPrintable(texts.front()));
    QCOMPARE(!fs::exists(m_root / "b.JPG"), deleted);
    QCOMPARE(fs::exists(data / "Trash" / "files" / "b.JPG"), deleted);
    QCOMPARE(texts.size(), confirm && !deleted ? 2 : 1); // the failure is said
    // The entry that took the file's place is selected.
    QCOMPARE(window->selectedIndex(), row);
    QCOMPARE(selectedKey(*window), std::string(deleted ? "dune.bmp" : "b.JPG"));
}

void TestMainForm::everyControlHasAnAccessibleName()
{
    auto window = openWindow();
    QStringList unnamed;
    int controls = 0;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        // The window's own controls all have names; parts of Qt's (scroll bars) do not.
        if (widget->objectName().isEmpty() ||
            (!qobject_cast<QAbstractButton *>(widget) && !qobject_cast<QAbstractSlider *>(widget) &&
             !qobject_cast<QComboBox *>(widget) && !qobject_cast<QAbstractScrollArea *>(widget)))
            continue;
        ++controls;
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
        if (!face || face->text(QAccessible::Name).isEmpty())
            unnamed << widget->objectName();
    }
    QVERIFY(controls >= 21);
    QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QLatin1Char(' '))));

    // The list tells a screen reader which entry is selected and has the focus (what Qt
    // announces when a reader is attached; the offscreen platform has none to announce to).
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->fileListView().setFocus();
    QTest::keyClick(&window->fileListView(), Qt::Key_End);
    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(&window->fileListView());
    QVERIFY(list && list->tableInterface());
    const QList<QAccessibleInterface *> selected = list->tableInterface()->selectedCells();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.front()->text(QAccessible::Name), QStringLiteral("dune.bmp"));
    QVERIFY(list->focusChild());
    QCOMPARE(list->focusChild()->text(QAccessible::Name), QStringLiteral("dune.bmp"));
}

void TestMainForm::glyphsFollowThePalette_data()
{
    QTest::addColumn<QColor>("buttonText");
    QTest::newRow("light theme") << QColor(Qt::black);
    QTest::newRow("dark theme") << QColor(240, 240, 240);
}

void TestMainForm::glyphsFollowThePalette()
{
    QFETCH(QColor, buttonText);
    auto window = openWindow();
    QPalette palette = window->palette();
    palette.setColor(QPalette::ButtonText, buttonText);
    palette.setColor(QPalette::WindowText, buttonText);
    window->setPalette(palette); // as a change of theme does
    for (const char *name : {"btnZoomIn", "btnRotate90", "btnHideButtons"}) {
        const auto *button = window->findChild<QAbstractButton *>(QString::fromLatin1(name));
        const QImage glyph = button->icon().pixmap(QSize(19, 19)).toImage();
        int drawn = 0;
        for (int y = 0; y < glyph.height(); ++y)
            for (int x = 0; x < glyph.width(); ++x) {
                const QColor pixel = glyph.pixelColor(x, y);
                if (pixel.alpha() < 200)
                    continue;
                ++drawn;
                QVERIFY2(std::abs(pixel.red() - buttonText.red()) <= 2 &&
                             std::abs(pixel.blue() - buttonText.blue()) <= 2,
                         name);
            }
        QVERIFY2(drawn > 0, name);
    }
}

void TestMainForm::placementRememberedAndPulledBack()
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    {
        auto window = openWindow(); // a first start: two thirds of the screen, centred
        QCOMPARE(window->geometry().size(), (available.size() * 2) / 3);
        QCOMPARE(window->geometry().center(), available.center());
        window->setGeometry(40, 50, 500, 350);
        window->close();
    }
    QCOMPARE(Options.WindowPlacement, std::string("40,50,500,350,0"));
    {
        auto window = openWindow();
        QCOMPARE(window->geometry(), QRect(40, 50, 500, 350));
    }
    // Off every screen (a monitor since unplugged): back on the screen, size kept.
    Options.WindowPlacement = "5000,-3000,500,350,0";
    auto window = openWindow();
    QVERIFY(available.contains(window->geometry()));
    QCOMPARE(window->geometry().size(), QSize(500, 350));
}

void TestMainForm::fitEnlargesSmoothlyActualSizeStaysExact()
{
    auto window = openWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    imaging::TImager &imager = window->imager();
    QImage picture(4, 4, QImage::Format_RGB32); // black and white squares
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            picture.setPixel(x, y, (x + y) % 2 ? 0xffffffffu : 0xff000000u);
    imager.setBitmapList(picture);
    const auto greys = [&] {
        const QImage shown = imager.viewport()->grab().toImage();
        const QRect target = imager.viewGeometry().targetDeviceRect(QPoint(0, 0));
        QSet<int> values;
        for (int y = target.top(); y <= target.bottom(); y += 3)
            for (int x = target.left(); x <= target.right(); x += 3)
                values.insert(qGray(shown.pixel(x, y)));
        return values;
    };
    QVERIFY2(greys().size() > 10, "fit: blocks instead of a smooth enlargement");
    window->imageControls().btnZoom100Click();
    QCOMPARE(greys(), (QSet<int>{0, 255})); // 100 %: the pixels as they are
}

void TestMainForm::failedLoadIsNamedInTheImageArea_data()
{
    QTest::addColumn<bool>("background");
    QTest::newRow("foreground decoding") << false;
    QTest::newRow("background decoding") << true;
}

void TestMainForm::failedLoadIsNamedInTheImageArea()
{
    QFETCH(bool, background);
    Options.UseWorkThread = background;
    std::ofstream(m_root / "broken.jpg") << "\xff\xd8\xff\xe0 not really a JPEG";
    auto window = openWindow();
    window->SelectFile("broken.jpg", -1);
    QTRY_VERIFY(!window->failureText().isEmpty());
    const QString text = window->failureText();
    QVERIFY2(text.startsWith(QStringLiteral("Cannot show broken.jpg: ")) &&
                 !text.contains(QString::fromStdString(m_root.string())) &&
                 text.size() > int(sizeof "Cannot show broken.jpg: "),
             qPrintable(text));
    QCOMPARE(window->imager().BitmapListCount(), std::int16_t(0));
    // Readable on the black of full screen too: the line stands out from the background.
    window->ToggleFullScreenExecute();
    QTRY_VERIFY(window->isFullScreen());
    const auto contrasting = [&window] {
        const QImage area = window->imager().viewport()->grab().toImage();
        const int back = window->imager().BackColor().lightness();
        int count = 0;
        for (int y = 0; y < area.height(); ++y)
            for (int x = 0; x < area.width(); ++x)
                count += std::abs(QColor(area.pixel(x, y)).lightness() - back) > 128;
        return count;
    };
    QTRY_VERIFY2(contrasting() > 20, "the failure line is not visible on the background");
    window->LeaveFullScreenExecute();
    // The next file clears the line, whether it loads or not.
    window->SelectFile("A.jpg", -1);
    QTRY_VERIFY(window->failureText() != text);
}

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
