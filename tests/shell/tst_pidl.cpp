#include "platform/Errors.h"
#include "shell/PIDLFunctions.h"

#include "common/Files.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace oxlume;
using oxlume::test::tempPath;
using oxlume::test::touch;

namespace {

constexpr std::uint32_t kListingFlags = 0xE0;

PIDL child(ItemKind kind, std::string_view name)
{
    PIDL list;
    list.assignChild(kind, name);
    return list;
}

// The records of one whole listing, in the order they come.
std::vector<TPIDLFileFind> listing(const PIDL &folder, int *status = nullptr)
{
    std::vector<TPIDLFileFind> records;
    TPIDLFileFind record;
    const int s = PIDLFindFirst(folder, kListingFlags, record);
    if (status)
        *status = s;
    if (s != 0)
        return records;
    bool more = PIDLFindNext(record, true);
    while (more) {
        records.push_back(record);
        more = PIDLFindNext(record, false);
    }
    PIDLFindClose(record, false);
    return records;
}

const TPIDLFileFind *byName(const std::vector<TPIDLFileFind> &records, std::string_view name)
{
    for (const TPIDLFileFind &r : records) {
        if (r.ParsingName == name)
            return &r;
    }
    return nullptr;
}

} // namespace

class TestPidl : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sizesAndItems();
    void concatAndRemoveLast();
    void equality();
    void pathsParseOnlyWhenTheyExist();
    void parentEntryComesFirst();
    void emptyAndVanishedFolders();
    void desktopHasNoParent();
    void upFromRootToComputerToDesktop();
    void oneEnumerationAtATime();
    void folderCacheGrowsAndFindsFirst();

private:
    QTemporaryDir *m_home = nullptr;
    std::string m_desktop;
};

void TestPidl::init()
{
    m_home = new QTemporaryDir;
    QVERIFY(m_home->isValid());
    const std::string home = tempPath(*m_home);
    m_desktop = home + "/Desktop";
    QCOMPARE(::mkdir(m_desktop.c_str(), 0755), 0);
    QCOMPARE(::mkdir((home + "/.config").c_str(), 0755), 0);
    std::ofstream(home + "/.config/user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n";
    qputenv("HOME", QByteArray::fromStdString(home));
    qunsetenv("XDG_CONFIG_HOME");
}

void TestPidl::cleanup()
{
    FolderCacheClear();
    TPIDLFileFind record;
    PIDLFindClose(record); // a failed test may have left one open
    delete m_home;
    m_home = nullptr;
}

void TestPidl::sizesAndItems()
{
    QCOMPARE(PIDLSize(PIDL()), std::size_t(0));
    QCOMPARE(PIDLCount(PIDL()), std::size_t(0));
    QCOMPARE(PIDLSize(DesktopPIDL()), std::size_t(2));
    QCOMPARE(PIDLCount(DesktopPIDL()), std::size_t(0));

    // An item of count 20: two count bytes, the kind byte and 17 name bytes.
    const PIDL one = child(ItemKind::FileSystemEntry, std::string(17, 'x'));
    QCOMPARE(PIDLSize(one), std::size_t(22));
    QCOMPARE(PIDLCount(one), std::size_t(1));
    QCOMPARE(PIDLNext(one.data()), one.data() + 20);
    QCOMPARE(PIDLNext(PIDLNext(one.data())), one.data() + 20); // the terminator stays

    const PIDL three = PathToPIDL("/usr");
    QCOMPARE(PIDLCount(three), std::size_t(3));
    QCOMPARE(DisplayNameOf(DesktopPIDL(), three, false), std::string("usr"));
    QCOMPARE(DisplayNameOf(DesktopPIDL(), PIDL(), true), std::string());
}

void TestPidl::concatAndRemoveLast()
{
    const PIDL c = child(ItemKind::Computer, {});
    QVERIFY(PIDLEqual(PIDLConcat(DesktopPIDL(), c), c));
    QVERIFY(PIDLEqual(PIDLConcat(PIDL(), c), c));

    const PIDL root = PIDLConcat(c, child(ItemKind::FileSystemRoot, "/"));
    PIDL usr = PIDLConcat(root, child(ItemKind::FileSystemEntry, "usr"));
    QVERIFY(PIDLEqual(usr, PathToPIDL("/usr")));
    QCOMPARE(PIDLToPath(usr), std::string("/usr"));
    PIDLRemoveLast(usr);
    QVERIFY(PIDLEqual(usr, root));
    PIDL single = c;
    PIDLRemoveLast(single);
    QVERIFY(IsDesktopPIDL(single));
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, PIDLConcat(root, PIDL()));
}

void TestPidl::equality()
{
    const PIDL a = child(ItemKind::FileSystemEntry, "abc");
    const PIDL b = child(ItemKind::FileSystemEntry, "abd");
    QCOMPARE(PIDLSize(a), PIDLSize(b));
    QVERIFY(!PIDLEqual(a, b));
    QVERIFY(!PIDLEqual(a, child(ItemKind::DesktopEntry, "abc")));
    QVERIFY(PIDLEqual(a, PIDLCopy(a)));
    QVERIFY(!PIDLEqual(PIDL(), DesktopPIDL()));
    QVERIFY(!IsDesktopPIDL(PIDL()));
}

void TestPidl::pathsParseOnlyWhenTheyExist()
{
    const std::string home = tempPath(*m_home);
    QCOMPARE(::mkdir((home + "/pics").c_str(), 0755), 0);
    touch(home + "/pics/a.jpg");
    QCOMPARE(::symlink("pics", (home + "/linked").c_str()), 0);

    QVERIFY(PIDLEqual(FolderPathToPIDL(home + "/pics"), FolderPathToPIDL(home + "/pics/")));
    QVERIFY(!FolderPathToPIDL(home + "/pics").isAbsent());
    QVERIFY(FolderPathToPIDL(home + "/pics/a.jpg").isAbsent());
    QCOMPARE(PIDLToPath(PathToPIDL(home + "/pics/a.jpg")), home + "/pics/a.jpg");

    QCOMPARE(NormalisePath(home + "//pics/./../pics/a.jpg"), home + "/pics/a.jpg");
    QCOMPARE(NormalisePath(home + "/linked/a.jpg"), home + "/linked/a.jpg");
    QCOMPARE(NormalisePath(home + "/pics/missing.jpg"), std::string());
    QCOMPARE(NormalisePath(std::string()), std::string());
    QCOMPARE(NormalisePath("/"), std::string("/"));

    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QString::fromStdString(home + "/pics")));
    const std::string relative = NormalisePath("a.jpg");
    const std::string up = NormalisePath("..");
    QDir::setCurrent(old);
    char real[4096];
    QVERIFY(::realpath(home.c_str(), real));
    QCOMPARE(relative, std::string(real) + "/pics/a.jpg");
    QCOMPARE(up, std::string(real));

    QVERIFY_THROWS_EXCEPTION(AssertionFailure, PathToPIDL(std::string()));
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, FolderPathToPIDL(std::string()));
}

void TestPidl::parentEntryComesFirst()
{
    const std::string home = tempPath(*m_home);
    const std::string folder = home + "/pics";
    QCOMPARE(::mkdir(folder.c_str(), 0755), 0);
    QCOMPARE(::mkdir((folder + "/sub").c_str(), 0755), 0);
    touch(folder + "/a.jpg");

    const PIDL list = FolderPathToPIDL(folder);
    const std::vector<TPIDLFileFind> records = listing(list);
    QCOMPARE(records.size(), std::size_t(3));
    const TPIDLFileFind &parent = records.front();
    QCOMPARE(parent.ParsingName, std::string(".."));
    QCOMPARE(parent.DisplayName, std::string(".."));
    QCOMPARE(parent.Attributes, std::uint32_t(0xB0000000));
    QVERIFY(PIDLEqual(parent.IDList, FolderPathToPIDL(home)));

    const TPIDLFileFind *sub = byName(records, "sub");
    const TPIDLFileFind *file = byName(records, "a.jpg");
    QVERIFY(sub && file);
    QCOMPARE(sub->Attributes, SFGAO_FOLDER | SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR);
    QCOMPARE(file->Attributes, SFGAO_FILESYSTEM);
    QCOMPARE(file->DisplayName, std::string("a.jpg"));
    // Records carry child lists: joined to the folder they name the entry.
    QCOMPARE(PIDLCount(sub->IDList), std::size_t(1));
    QCOMPARE(PIDLToPath(PIDLConcat(list, sub->IDList)), folder + "/sub");
    QCOMPARE(DisplayNameOf(list, file->IDList, true), std::string("a.jpg"));
}

void TestPidl::emptyAndVanishedFolders()
{
    const std::string home = tempPath(*m_home);
    QCOMPARE(::mkdir((home + "/empty").c_str(), 0755), 0);
    std::vector<TPIDLFileFind> records = listing(FolderPathToPIDL(home + "/empty"));
    QCOMPARE(records.size(), std::size_t(1));
    QCOMPARE(records[0].ParsingName, std::string(".."));

    QCOMPARE(::mkdir((home + "/gone").c_str(), 0755), 0);
    const PIDL gone = FolderPathToPIDL(home + "/gone");
    QCOMPARE(::rmdir((home + "/gone").c_str()), 0);
    TPIDLFileFind record;
    record.DisplayName = "stale";
    QCOMPARE(PIDLFindFirst(gone, kListingFlags, record), int(0x80070002));
    QVERIFY(record.DisplayName.empty());
    // The failure left nothing open.
    int status = -1;
    QCOMPARE(listing(FolderPathToPIDL(home), &status).size(), std::size_t(4));
    QCOMPARE(status, 0);

    if (::geteuid() != 0) { // root reads any folder
        QCOMPARE(::mkdir((home + "/locked").c_str(), 0), 0);
        QCOMPARE(PIDLFindFirst(FolderPathToPIDL(home + "/locked"), kListingFlags, record),
                 int(0x80070005));
        ::chmod((home + "/locked").c_str(), 0755);
    }
}

void TestPidl::desktopHasNoParent()
{
    touch(m_desktop + "/note.jpg");
    const std::vector<TPIDLFileFind> records = listing(DesktopPIDL());
    QCOMPARE(records.size(), std::size_t(3));
    QVERIFY(!byName(records, ".."));

    const TPIDLFileFind &home = records[0];
    QCOMPARE(home.DisplayName, std::string("Home"));
    QCOMPARE(home.ParsingName, tempPath(*m_home));
    QCOMPARE(PIDLToPath(PIDLConcat(DesktopPIDL(), home.IDList)), tempPath(*m_home));

    const TPIDLFileFind &computer = records[1];
    QCOMPARE(computer.DisplayName, std::string("Computer"));
    QCOMPARE(computer.Attributes, SFGAO_FOLDER | SFGAO_FILESYSANCESTOR | SFGAO_HASSUBFOLDER);
    QCOMPARE(PIDLToPath(computer.IDList), std::string());

    QCOMPARE(records[2].ParsingName, std::string("note.jpg"));
    QCOMPARE(PIDLToPath(records[2].IDList), m_desktop + "/note.jpg");
    // Parsing names are unique within the folder, so a desktop entry named like a
    // virtual item still finds its own record.
    touch(m_desktop + "/Computer");
    QCOMPARE(byName(listing(DesktopPIDL()), "Computer")->Attributes, SFGAO_FILESYSTEM);

    // An XDG desktop that is the home folder itself lists nothing of its own: its content
    // is one step away under Home.
    std::ofstream(tempPath(*m_home) + "/.config/user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME\"\n";
    QCOMPARE(listing(DesktopPIDL()).size(), std::size_t(2));
}

void TestPidl::upFromRootToComputerToDesktop()
{
    const PIDL root = FolderPathToPIDL("/");
    QCOMPARE(PIDLToPath(root), std::string("/"));
    std::vector<TPIDLFileFind> records = listing(root);
    QVERIFY(!records.empty());
    QCOMPARE(records[0].ParsingName, std::string(".."));
    const PIDL computer = records[0].IDList;
    QCOMPARE(PIDLCount(computer), std::size_t(1));
    QCOMPARE(PIDLToPath(computer), std::string());

    records = listing(computer);
    QVERIFY(records.size() >= 2);
    QCOMPARE(records[0].ParsingName, std::string(".."));
    QVERIFY(IsDesktopPIDL(records[0].IDList));
    QCOMPARE(records[1].ParsingName, std::string("/"));
    QCOMPARE(records[1].DisplayName, std::string("File System"));
    QVERIFY(PIDLEqual(PIDLConcat(computer, records[1].IDList), root));
    for (std::size_t i = 2; i < records.size(); ++i) {
        QVERIFY(records[i].Attributes & SFGAO_FILESYSTEM);
        QCOMPARE(PIDLToPath(PIDLConcat(computer, records[i].IDList)), records[i].ParsingName);
    }
}

void TestPidl::oneEnumerationAtATime()
{
    TPIDLFileFind record;
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, PIDLFindNext(record));
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, PIDLFindFirst(PIDL(), kListingFlags, record));
    QCOMPARE(PIDLFindFirst(DesktopPIDL(), kListingFlags, record), 0);
    try {
        PIDLFindFirst(DesktopPIDL(), kListingFlags, record);
        QFAIL("a second enumeration started");
    } catch (const AssertionFailure &e) {
        QCOMPARE(e.unit(), std::string("PIDLFunctions"));
    }
    QVERIFY(PIDLFindNext(record, true));
    QVERIFY(!record.IDList.isAbsent());
    PIDLFindClose(record, true);
    QVERIFY(record.IDList.isAbsent());
    QCOMPARE(PIDLFindFirst(DesktopPIDL(), kListingFlags, record), 0);
    PIDLFindClose(record);
}

void TestPidl::folderCacheGrowsAndFindsFirst()
{
    QCOMPARE(FolderCacheCapacity(), std::size_t(0));
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, FolderCacheAdd(TPIDLFileFind()));
    FolderCacheInit();
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, FolderCacheInit());
    QCOMPARE(FolderCacheCapacity(), std::size_t(100));
    std::vector<std::size_t> capacities;
    for (int i = 0; i < 230; ++i) {
        TPIDLFileFind record;
        record.ParsingName = "folder" + std::to_string(i);
        record.IDList = child(ItemKind::FileSystemEntry, record.ParsingName);
        FolderCacheAdd(std::move(record));
        if (capacities.empty() || capacities.back() != FolderCacheCapacity())
            capacities.push_back(FolderCacheCapacity());
    }
    QCOMPARE(capacities, (std::vector<std::size_t>{100, 150, 225, 337}));
    QCOMPARE(FolderCacheCount(), std::size_t(230));

    TPIDLFileFind shared;
    shared.ParsingName = "Same";
    shared.DisplayName = "first";
    FolderCacheAdd(shared);
    shared.DisplayName = "second";
    FolderCacheAdd(shared);

    TPIDLFileFind found;
    QVERIFY(FolderCacheFind("folder0", found));
    QVERIFY(PIDLEqual(found.IDList, child(ItemKind::FileSystemEntry, "folder0")));
    QVERIFY(FolderCacheFind("folder229", found));
    QVERIFY(FolderCacheFind("Same", found));
    QCOMPARE(found.DisplayName, std::string("first"));
    QVERIFY(!FolderCacheFind("same", found));
    QVERIFY(!FolderCacheFind("Same ", found));
    QVERIFY(!FolderCacheFind(std::string("Same\0", 5), found));

    FolderCacheClear();
    QVERIFY(!FolderCacheFind("Same", found));
    FolderCacheInit(); // starts afresh
    QCOMPARE(FolderCacheCapacity(), std::size_t(100));
    QCOMPARE(FolderCacheCount(), std::size_t(0));
}

QTEST_GUILESS_MAIN(TestPidl)
#include "tst_pidl.moc"
