// The file list's pure pieces: entry strings, the collation order of a listing, and the
// halving search by key.

#include "platform/Errors.h"
#include "shell/PIDLFunctions.h"
#include "viewer/FileList.h"

#include "common/Files.h"
#include "common/TestEnv.h"

#include <QtTest>

#include <sys/stat.h>

using namespace oxlume;

namespace {

std::vector<FileEntry> entriesOf(const QByteArrayList &names)
{
    // "[name]" is a folder, ".." the parent entry, anything else an image file.
    std::vector<FileEntry> entries;
    for (const QByteArray &written : names) {
        const std::string name = written.toStdString();
        if (name == "..")
            entries.push_back(MakeFolderEntry("..", ".."));
        else if (name.size() > 2 && name.front() == '[' && name.back() == ']')
            entries.push_back(
                MakeFolderEntry(name.substr(1, name.size() - 2), name.substr(1, name.size() - 2)));
        else
            entries.push_back(MakeImageEntry(name, name));
    }
    return entries;
}

QByteArrayList keysOf(const std::vector<FileEntry> &entries)
{
    QByteArrayList keys;
    for (const FileEntry &e : entries)
        keys << QByteArray(e.key().data(), qsizetype(e.key().size()));
    return keys;
}

} // namespace

class TestFileList : public QObject {
    Q_OBJECT
private slots:
    void entryStrings();
    void sortOrder_data();
    void sortOrder();
    void sortIsStableForNamesThatCollateEqual();
    void largeListingsFollowTheCollation_data();
    void largeListingsFollowTheCollation();
    void findEntry_data();
    void findEntry();
    void locateKeyFindsNamesTheSearchMisses();
    void locateKeyPrefersExactBytes_data();
    void locateKeyPrefersExactBytes();
    void listFolder();
};

void TestFileList::entryStrings()
{
    const FileEntry folder = MakeFolderEntry("Pictures", "Pictures");
    QCOMPARE(folder.text, std::string(" [Pictures]/ Pictures"));
    QCOMPARE(folder.drawn(), std::string_view(" [Pictures]"));
    QCOMPARE(folder.key(), std::string_view(" Pictures"));
    QVERIFY(folder.isFolderOrParent() && !folder.isParent());

    const FileEntry parent = MakeFolderEntry("..", "..");
    QCOMPARE(parent.text, std::string(" [..]/ .."));
    QCOMPARE(parent.key(), kParentKey);
    QVERIFY(parent.isParent());

    // Display names never hold '/', so the first '/' splits even when the key has more.
    const FileEntry computer = MakeFolderEntry("Computer", "computer:///");
    QCOMPARE(computer.key(), std::string_view(" computer:///"));

    // A file whose name begins with a blank stays a file.
    const FileEntry blank = MakeImageEntry(" lead.jpg", " lead.jpg");
    QCOMPARE(blank.text, std::string(" lead.jpg/ lead.jpg"));
    QCOMPARE(blank.key(), std::string_view(" lead.jpg"));
    QVERIFY(!blank.isFolderOrParent());
}

void TestFileList::sortOrder_data()
{
    QTest::addColumn<QByteArrayList>("input");
    QTest::addColumn<QByteArrayList>("expectedKeys");

    QTest::newRow("folders before files, parent first")
        << QByteArrayList{"b.jpg", "[zeta]", "A.jpg", "..", "[Alpha]"}
        << QByteArrayList{" ..", " Alpha", " zeta", "A.jpg", "b.jpg"};
    QTest::newRow("case ignored") << QByteArrayList{"c.JPG", "B.jpg", "a.jpg", "A2.jpg"}
                                  << QByteArrayList{"a.jpg", "A2.jpg", "B.jpg", "c.JPG"};
    QTest::newRow("punctuation counts, parent stays first")
        << QByteArrayList{"[_build]", "[-dash]", "..", "[data]"}
        << QByteArrayList{" ..", " _build", " -dash", " data"};
    QTest::newRow("leading blank file: after the folders, before letters")
        << QByteArrayList{"x.jpg", " lead.jpg", "[sub]"}
        << QByteArrayList{" sub", " lead.jpg", "x.jpg"};
    QTest::newRow("digits before letters")
        << QByteArrayList{"b.jpg", "10.jpg", "2.jpg"} << QByteArrayList{"10.jpg", "2.jpg", "b.jpg"};
}

void TestFileList::sortOrder()
{
    QFETCH(QByteArrayList, input);
    QFETCH(QByteArrayList, expectedKeys);
    std::vector<FileEntry> entries = entriesOf(input);
    SortEntries(entries, EntryCollator());
    QCOMPARE(keysOf(entries), expectedKeys);
}

void TestFileList::sortIsStableForNamesThatCollateEqual()
{
    // Invalid UTF-8 decodes to replacement characters, so these collate equal; their
    // order must still not depend on the order the folder was read in.
    const std::string a = "\xff.jpg", b = "\xfe.jpg";
    std::vector<FileEntry> one{MakeImageEntry(a, a), MakeImageEntry(b, b)};
    std::vector<FileEntry> two{MakeImageEntry(b, b), MakeImageEntry(a, a)};
    SortEntries(one, EntryCollator());
    SortEntries(two, EntryCollator());
    QCOMPARE(one[0].key(), two[0].key());
    QCOMPARE(one[1].key(), two[1].key());
}

void TestFileList::largeListingsFollowTheCollation_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("ascii");
    QTest::addColumn<int>("count");
    QTest::newRow("en_US, ASCII names") << QStringLiteral("en_US") << true << 6000;
    QTest::newRow("en_US, some names not ASCII, two threads")
        << QStringLiteral("en_US") << false << 30000;
    // Danish collates "aa" as one letter after "z": no shortcut may ignore that.
    QTest::newRow("da_DK, ASCII names") << QStringLiteral("da_DK") << true << 6000;
}

void TestFileList::largeListingsFollowTheCollation()
{
    // Big listings take faster routes than small ones; the order must be the collator's.
    QFETCH(QString, locale);
    QFETCH(bool, ascii);
    QFETCH(int, count);
    QCollator collator{QLocale(locale)};
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setIgnorePunctuation(false);

    QRandomGenerator random(1234);
    static const char alphabet[] = " -_.,;!()[]~0123456789aAbBcdDeEfzZ";
    std::vector<FileEntry> entries;
    for (int k = 0; k < count; ++k) {
        std::string name;
        const int length = 1 + int(random.bounded(8));
        for (int c = 0; c < length; ++c)
            name += alphabet[random.bounded(int(sizeof alphabet) - 1)];
        if (!ascii && k % 50 == 0)
            name += "\xc3\xa9"; // e acute
        entries.push_back(k % 10 == 0 ? MakeFolderEntry(name, name) : MakeImageEntry(name, name));
    }
    entries.push_back(MakeFolderEntry("..", ".."));
    SortEntries(entries, collator);

    QVERIFY(entries.front().isParent());
    for (std::size_t k = 2; k < entries.size(); ++k) {
        const std::string &a = entries[k - 1].text, &b = entries[k].text;
        const int order = CompareKeys(collator, a, b);
        if (order > 0 || (order == 0 && a > b))
            QFAIL(qPrintable(QStringLiteral("\"%1\" sorted before \"%2\"")
                                 .arg(QString::fromStdString(a), QString::fromStdString(b))));
    }
}

void TestFileList::findEntry_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("expected");
    // The sorted list: " ..", " sub", "apple.jpg", "Dog.jpg", "dune.jpg", "moon.jpg"
    QTest::newRow("exact") << QByteArray("moon.jpg") << 5;
    QTest::newRow("exact, other case") << QByteArray("DUNE.JPG") << 4;
    QTest::newRow("letter: first key not less") << QByteArray("d") << 3;
    QTest::newRow("letter never lands on a folder") << QByteArray("a") << 2;
    QTest::newRow("every key less: last entry") << QByteArray("z") << 5;
    QTest::newRow("folder key") << QByteArray(" sub") << 1;
}

void TestFileList::findEntry()
{
    QFETCH(QByteArray, key);
    QFETCH(int, expected);
    std::vector<FileEntry> entries =
        entriesOf({"moon.jpg", "[sub]", "dune.jpg", "..", "apple.jpg", "Dog.jpg"});
    const QCollator collator = EntryCollator();
    SortEntries(entries, collator);
    const std::string wanted = key.toStdString();
    QCOMPARE(int(FindEntry(entries, collator, wanted, 0, entries.size() - 1)), expected);
    QCOMPARE(FindEntry(entries, collator, wanted, 3, 3), std::size_t(3));
    QVERIFY_THROWS_EXCEPTION(RangeCheckError,
                             FindEntry(entries, collator, wanted, 0, entries.size()));
}

void TestFileList::locateKeyFindsNamesTheSearchMisses()
{
    // Ordered by whole entry strings, "x.jpg.jpg/..." comes before "x.jpg/..." ('.' sorts
    // before '/'), while by key "x.jpg" is the smaller: the halving search alone can miss.
    std::vector<FileEntry> entries = entriesOf({"x.jpg", "x.jpg.jpg", "a.jpg", "[dir]"});
    const QCollator collator = EntryCollator();
    SortEntries(entries, collator);
    for (const char *name : {"x.jpg", "x.jpg.jpg", "a.jpg", " dir"}) {
        const long at = LocateKey(entries, collator, name);
        QVERIFY2(at >= 0, name);
        QCOMPARE(entries[std::size_t(at)].key(), std::string_view(name));
    }
    QCOMPARE(LocateKey(entries, collator, "gone.jpg"), -1L);
    QCOMPARE(LocateKey({}, collator, "a.jpg"), -1L);
}

void TestFileList::locateKeyPrefersExactBytes_data()
{
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QByteArray>("wanted");
    QTest::addColumn<QByteArray>("expected"); // the key found; empty: none
    QTest::newRow("lower case wanted")
        << QByteArrayList{"A.jpg", "a.jpg", "b.jpg"} << QByteArray("a.jpg") << QByteArray("a.jpg");
    QTest::newRow("upper case wanted")
        << QByteArrayList{"A.jpg", "a.jpg", "b.jpg"} << QByteArray("A.jpg") << QByteArray("A.jpg");
    QTest::newRow("three spellings") << QByteArrayList{"x.JPG", "X.jpg", "x.jpg", "[x.jpg]"}
                                     << QByteArray("x.jpg") << QByteArray("x.jpg");
    QTest::newRow("no exact spelling: a tie still counts")
        << QByteArrayList{"B.jpg", "c.jpg"} << QByteArray("b.JPG") << QByteArray("B.jpg");
    QTest::newRow("not listed") << QByteArrayList{"a.jpg"} << QByteArray("b.jpg") << QByteArray();
}

void TestFileList::locateKeyPrefersExactBytes()
{
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArray, wanted);
    QFETCH(QByteArray, expected);
    // Both read orders: the search must not depend on which spelling the sort put first.
    for (bool reversed : {false, true}) {
        if (reversed)
            std::reverse(names.begin(), names.end());
        std::vector<FileEntry> entries = entriesOf(names);
        const QCollator collator = EntryCollator();
        SortEntries(entries, collator);
        const long at = LocateKey(entries, collator, wanted.toStdString());
        QCOMPARE(at < 0 ? QByteArray() : keysOf(entries)[at], expected);
    }
}

void TestFileList::listFolder()
{
    test::ScopedXdgHome home;
    QVERIFY(home.isValid());
    const std::string root = QFile::encodeName(home.path()).toStdString();
    for (const char *folder : {"/Desktop", "/config", "/pics", "/pics/Sub", "/pics/.hidden"})
        QVERIFY(::mkdir((root + folder).c_str(), 0755) == 0);
    test::writeText(root + "/config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n");
    for (const char *file : {"/pics/b.jpg", "/pics/A.BMP", "/pics/.c.pcx", "/pics/notes.txt",
                             "/Desktop/wallpaper.jpg"})
        test::touch(root + file);

    const QCollator collator = EntryCollator();
    const MaskFilter pictures("*.jpg;*.bmp;*.pcx");
    const PIDL folder = FolderPathToPIDL(root + "/pics");
    std::optional<FolderListing> listing = ListFolder(folder, pictures, collator);
    QVERIFY(listing);
    QCOMPARE(keysOf(listing->entries),
             (QByteArrayList{" ..", " .hidden", " Sub", ".c.pcx", "A.BMP", "b.jpg"}));
    QCOMPARE(listing->imageCount, 3);
    QCOMPARE(PIDLToPath(listing->parent), root);
    QVERIFY(listing->entries.back().path.empty()); // built from the folder's path
    TPIDLFileFind record;
    QVERIFY(FolderCacheFind(".hidden", record));
    QVERIFY(FolderCacheFind("Sub", record));
    QCOMPARE(FolderCacheCount(), std::size_t(3)); // with the parent entry

    // A folder gone since it was listed gives nothing and leaves the cache as it was.
    QVERIFY(::rmdir((root + "/pics/Sub").c_str()) == 0);
    QVERIFY(!ListFolder(PIDLConcat(folder, record.IDList), pictures, collator));
    QCOMPARE(FolderCacheCount(), std::size_t(3));

    // The desktop has no path and no parent: its files carry their own paths.
    listing = ListFolder(DesktopPIDL(), pictures, collator);
    QVERIFY(listing);
    QVERIFY(listing->parent.isAbsent());
    QCOMPARE(listing->imageCount, 1);
    QCOMPARE(listing->entries.back().path, root + "/Desktop/wallpaper.jpg");
}

QTEST_GUILESS_MAIN(TestFileList)
#include "tst_filelist.moc"
