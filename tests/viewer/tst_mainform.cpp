// The main window's file list end to end: listings of temporary folders, selection, keys,
// filters, going up and down, refresh, start arguments, hand-off and saving at close.

#include "platform/Errors.h"
#include "settings/OptionsUnit.h"
#include "shell/PIDLFunctions.h"
#include "viewer/Busy.h"
#include "viewer/MainForm.h"

#include <QComboBox>
#include <QTemporaryDir>
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
    void cleanupTestCase();

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
    void busyNestsAndSurvivesErrors();

private:
    std::unique_ptr<TfrmMain> openWindow(const std::string &argument = {});
    QStringList keys(const TfrmMain &window) const;
    std::string selectedKey(const TfrmMain &window) const;

    QTemporaryDir m_home;
    fs::path m_root; // the folder each test starts in
};

void TestMainForm::initTestCase()
{
    QVERIFY(m_home.isValid());
    const fs::path home = m_home.path().toStdString();
    for (const char *dir : {"config", "data", "runtime", "Desktop"})
        fs::create_directories(home / dir);
    fs::permissions(home / "runtime", fs::perms::owner_all);
    qputenv("HOME", m_home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (m_home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", (m_home.path() + QStringLiteral("/runtime")).toUtf8());
    std::ofstream(home / "config" / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n";
}

void TestMainForm::cleanupTestCase()
{
    // Qt cannot name the files whose names are not UTF-8; remove them by their bytes.
    std::error_code ignored;
    fs::remove_all(m_home.path().toStdString(), ignored);
}

void TestMainForm::init()
{
    // A fresh folder for every test: sub-folders "Beta", "alpha"; images in mixed case; a
    // file no filter but "All Files" lists.
    m_root = fs::path(m_home.path().toStdString()) / QTest::currentTestFunction();
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
    const std::string names[] = {"\xff\xfe bad.jpg", "back\\slash.jpg", "-dash.jpg",
                                 " lead.jpg", std::string(251, 'n') + ".jpg"};
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
    QTest::newRow("an empty folder is listed") << QStringLiteral("Beta") << QStringLiteral("Beta")
                                               << QStringLiteral("<none>");
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
    const fs::path desktop = fs::path(m_home.path().toStdString()) / "Desktop";
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

QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
