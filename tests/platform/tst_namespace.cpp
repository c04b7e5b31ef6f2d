#include "platform/Namespace.h"

#include "common/Files.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace oxlume;
using oxlume::test::tempPath;
using oxlume::test::touch;

namespace {

// Every entry of one enumeration: name -> attributes.
std::map<std::string, std::uint32_t> listAll(const PIDL &folder, std::uint32_t flags,
                                             const NamespaceRoots &roots, int *status = nullptr)
{
    std::map<std::string, std::uint32_t> result;
    NamespaceEnumerator e;
    const int s = e.open(folder, flags, roots);
    if (status)
        *status = s;
    NamespaceEntry entry;
    while (s == kStatusOk && e.next(entry))
        result[std::string(entry.name)] = entry.attributes;
    return result;
}

constexpr std::uint32_t kAll = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN;

} // namespace

class TestNamespace : public QObject {
    Q_OBJECT
private slots:
    void listLayout();
    void fromBytesRejectsMalformed_data();
    void fromBytesRejectsMalformed();
    void pathOfList_data();
    void pathOfList();
    void listOfPathIsLexicalAndMustExist();
    void mountInfo();
    void entriesListAsTheyAre();
    void openFailures();
    void desktopFolderOfItsOwn();
};

void TestNamespace::listLayout()
{
    PIDL list = PIDL::desktop();
    QVERIFY(list.append(ItemKind::Computer, {}));
    QVERIFY(list.append(ItemKind::FileSystemEntry, "abc"));
    // Computer: count 3 (2 count bytes + kind); "abc": count 6; then the terminator.
    const std::vector<std::uint8_t> expected = {3, 0, 2, 6, 0, 6, 'a', 'b', 'c', 0, 0};
    QCOMPARE(std::vector<std::uint8_t>(list.bytes().begin(), list.bytes().end()), expected);
    QCOMPARE(list.count(), std::size_t(2));
    QCOMPARE(list.last().name, std::string_view("abc"));

    // Counts above 255 use the high byte.
    PIDL big;
    QVERIFY(big.append(ItemKind::FileSystemEntry, std::string(300, 'x')));
    QCOMPARE(big.bytes()[0], std::uint8_t(303 & 0xFF));
    QCOMPARE(big.bytes()[1], std::uint8_t(1));
    QVERIFY(!big.append(ItemKind::FileSystemEntry, std::string(0xFFFF, 'y')));
    QCOMPARE(big.count(), std::size_t(1));

    list.removeLast();
    list.removeLast();
    list.removeLast(); // the desktop has no parent
    QVERIFY(list == PIDL::desktop());
    PIDL absent;
    absent.removeLast();
    QVERIFY(absent.isAbsent());
}

void TestNamespace::fromBytesRejectsMalformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::newRow("desktop") << QByteArray("\0\0", 2) << true;
    QTest::newRow("one item") << QByteArray("\4\0\6x\0\0", 6) << true;
    QTest::newRow("empty block") << QByteArray() << false;
    QTest::newRow("one byte") << QByteArray("\0", 1) << false;
    QTest::newRow("no terminator") << QByteArray("\4\0\6x", 4) << false;
    QTest::newRow("count past the end") << QByteArray("\x10\0\6x\0\0", 6) << false;
    QTest::newRow("count of 1 would loop") << QByteArray("\1\0\0\0", 4) << false;
    QTest::newRow("count of 2 has no kind") << QByteArray("\2\0\0\0", 4) << false;
    QTest::newRow("bytes after terminator") << QByteArray("\0\0\0", 3) << false;
}

void TestNamespace::fromBytesRejectsMalformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    const PIDL list = PIDL::fromBytes(std::span(
        reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size())));
    QCOMPARE(!list.isAbsent(), valid);
    if (valid)
        QCOMPARE(list.size(), std::size_t(bytes.size()));
}

void TestNamespace::pathOfList_data()
{
    QTest::addColumn<QList<int>>("kinds");
    QTest::addColumn<QByteArrayList>("names");
    QTest::addColumn<QByteArray>("path");
    const int home = int(ItemKind::Home), computer = int(ItemKind::Computer),
              root = int(ItemKind::FileSystemRoot), mount = int(ItemKind::MountPoint),
              desk = int(ItemKind::DesktopEntry), entry = int(ItemKind::FileSystemEntry);
    QTest::newRow("desktop") << QList<int>{} << QByteArrayList{} << QByteArray();
    QTest::newRow("computer") << QList<int>{computer} << QByteArrayList{""} << QByteArray();
    QTest::newRow("root") << QList<int>{computer, root} << QByteArrayList{"", "/"}
                          << QByteArray("/");
    QTest::newRow("below root") << QList<int>{computer, root, entry, entry}
                                << QByteArrayList{"", "/", "usr", "lib"} << QByteArray("/usr/lib");
    QTest::newRow("mount point") << QList<int>{computer, mount, entry}
                                 << QByteArrayList{"", "/media/usb", "dcim"}
                                 << QByteArray("/media/usb/dcim");
    QTest::newRow("home") << QList<int>{home, entry} << QByteArrayList{"", "pics"}
                          << QByteArray("/home/me/pics");
    QTest::newRow("desktop entry")
        << QList<int>{desk} << QByteArrayList{"a.jpg"} << QByteArray("/home/me/Desktop/a.jpg");
    // Lists that no enumeration produces name nothing rather than a wrong place.
    QTest::newRow("dot-dot item") << QList<int>{computer, root, entry}
                                  << QByteArrayList{"", "/", ".."} << QByteArray();
    QTest::newRow("slash in a name")
        << QList<int>{computer, root, entry} << QByteArrayList{"", "/", "a/b"} << QByteArray();
    QTest::newRow("entry at the top") << QList<int>{entry} << QByteArrayList{"etc"} << QByteArray();
    QTest::newRow("computer twice")
        << QList<int>{computer, computer} << QByteArrayList{"", ""} << QByteArray();
    QTest::newRow("relative mount")
        << QList<int>{computer, mount} << QByteArrayList{"", "media"} << QByteArray();
    QTest::newRow("unknown kind") << QList<int>{77} << QByteArrayList{"x"} << QByteArray();
}

void TestNamespace::pathOfList()
{
    QFETCH(QList<int>, kinds);
    QFETCH(QByteArrayList, names);
    QFETCH(QByteArray, path);
    PIDL list = PIDL::desktop();
    for (qsizetype i = 0; i < kinds.size(); ++i)
        QVERIFY(list.append(ItemKind(kinds[i]), names[i].toStdString()));
    const NamespaceRoots roots{"/home/me/", "/home/me/Desktop"};
    QCOMPARE(QByteArray::fromStdString(namespacePath(list, roots)), path);
}

void TestNamespace::listOfPathIsLexicalAndMustExist()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string base = tempPath(dir);
    QCOMPARE(::mkdir((base + "/sub").c_str(), 0755), 0);
    touch(base + "/sub/f.jpg");
    QCOMPARE(::symlink("sub", (base + "/link").c_str()), 0);

    QCOMPARE(lexicalPath("//a/./b//../c/"), std::string("/a/c"));
    QCOMPARE(lexicalPath("/.."), std::string("/"));
    QCOMPARE(lexicalPath("relative"), std::string());

    const PIDL list = namespaceListOfPath(base + "//sub/./x/../f.jpg");
    QVERIFY(!list.isAbsent());
    QCOMPARE(namespacePath(list, {}), base + "/sub/f.jpg");
    // The linked folder keeps the spelling it was given.
    QCOMPARE(namespacePath(namespaceListOfPath(base + "/link/f.jpg"), {}), base + "/link/f.jpg");
    QVERIFY(namespaceListOfPath(base + "/missing").isAbsent());
    QVERIFY(namespaceListOfPath(base + "/sub/f.jpg/").isAbsent()); // a file is no folder
    QVERIFY(namespaceListOfPath("sub").isAbsent());
    QVERIFY(namespaceListOfPath(std::string("/tmp\0x", 6)).isAbsent());
    QCOMPARE(namespaceListOfPath("/").count(), std::size_t(2));
}

void TestNamespace::mountInfo()
{
    const std::string text =
        "21 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "22 21 0:20 / /proc rw - proc proc rw\n"
        "23 21 8:2 / /home rw shared:2 - ext4 /dev/sda2 rw\n"
        "24 21 7:0 / /snap/core/1 ro - squashfs /dev/loop0 ro\n"
        "25 21 8:17 / /media/me/USB\\040STICK rw,nosuid shared:3 master:1 - vfat /dev/sdb1 rw\n"
        "26 21 8:2 /me/shared /srv/bind rw - ext4 /dev/sda2 rw\n"
        "27 21 0:44 /var/lib/c/hosts /etc/hosts rw - ext4 /dev/vda1 rw\n"
        "28 21 8:2 / /home rw shared:2 - ext4 /dev/sda2 rw\n"
        "29 21 0:50 / /mnt/nfs rw - nfs server:/export rw\n"
        "30 21 8:3 / /opt rw - fuseblk /dev/sdc1 rw\n"
        "garbage line\n"
        "31 21 8:4 / /short rw -\n";
    const std::vector<std::string> expected = {"/home", "/media/me/USB STICK", "/opt"};
    QCOMPARE(mountPointsFromMountInfo(text), expected);
    QCOMPARE(itemDisplayName({ItemKind::MountPoint, "/media/me/USB STICK"}),
             std::string("USB STICK"));
}

void TestNamespace::entriesListAsTheyAre()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string base = tempPath(dir);
    const std::string invalid = "bad\xff\xfe.jpg";
    const std::string longName = std::string(251, 'n') + ".jpg";
    for (const std::string &name :
         {invalid, std::string("back\\slash.jpg"), std::string("-leading.jpg"), longName})
        touch(base + "/" + name);
    QCOMPARE(::mkdir((base + "/real").c_str(), 0755), 0);
    QCOMPARE(::symlink("real", (base + "/tofolder").c_str()), 0);
    QCOMPARE(::symlink("nowhere", (base + "/dangling").c_str()), 0);
    QCOMPARE(::symlink("loop", (base + "/loop").c_str()), 0);
    QCOMPARE(::symlink("b", (base + "/a").c_str()), 0);
    QCOMPARE(::symlink("a", (base + "/b").c_str()), 0);

    int status = -1;
    const auto entries = listAll(namespaceListOfPath(base), kAll, {}, &status);
    QCOMPARE(status, kStatusOk);
    const std::map<std::string, std::uint32_t> expected = {{invalid, kFileAttributes},
                                                           {"back\\slash.jpg", kFileAttributes},
                                                           {"-leading.jpg", kFileAttributes},
                                                           {longName, kFileAttributes},
                                                           {"real", kFolderAttributes},
                                                           {"tofolder", kFolderAttributes},
                                                           {"dangling", kFileAttributes},
                                                           {"loop", kFileAttributes},
                                                           {"a", kFileAttributes},
                                                           {"b", kFileAttributes}};
    QCOMPARE(entries, expected);

    // A looping link does not parse as a path; the folder link lists its target.
    QVERIFY(namespaceListOfPath(base + "/loop").isAbsent());
    touch(base + "/real/inside");
    QCOMPARE(listAll(namespaceListOfPath(base + "/tofolder"), kAll, {}).count("inside"),
             std::size_t(1));
}

void TestNamespace::openFailures()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string base = tempPath(dir);
    touch(base + "/file");
    QCOMPARE(::mkdir((base + "/gone").c_str(), 0755), 0);
    PIDL gone = namespaceListOfPath(base + "/gone");
    PIDL file = namespaceListOfPath(base + "/file");
    QCOMPARE(::rmdir((base + "/gone").c_str()), 0);

    NamespaceEnumerator e;
    QCOMPARE(e.open(gone, kAll, {}), kStatusFileNotFound);
    QVERIFY(!e.isOpen());
    QCOMPARE(e.open(file, kAll, {}), kStatusNotAFolder);
    QCOMPARE(e.open(PIDL(), kAll, {}), kStatusInvalidArgument);
    PIDL homeOnly;
    QVERIFY(homeOnly.append(ItemKind::Home, {}));
    QCOMPARE(e.open(homeOnly, kAll, {}), kStatusInvalidArgument); // no home folder known
    NamespaceEntry entry;
    QVERIFY(!e.next(entry));
}

void TestNamespace::desktopFolderOfItsOwn()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const std::string desktop = tempPath(home) + "/Desktop";
    QCOMPARE(::mkdir(desktop.c_str(), 0755), 0);
    touch(desktop + "/note.jpg");
    touch(desktop + "/.hidden");

    auto kinds = [&](const std::string &desktopFolder, std::uint32_t flags) {
        std::vector<ItemKind> seen;
        NamespaceEnumerator e;
        NamespaceEntry entry;
        if (e.open(PIDL::desktop(), flags, {tempPath(home), desktopFolder}) == kStatusOk) {
            while (e.next(entry))
                seen.push_back(entry.kind);
        }
        return seen;
    };
    using K = ItemKind;
    QCOMPARE(kinds(desktop, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS),
             (std::vector<K>{K::Home, K::Computer, K::DesktopEntry}));
    QCOMPARE(kinds(desktop, SHCONTF_NONFOLDERS), (std::vector<K>{K::DesktopEntry}));
    // No desktop folder, or one that cannot be read: Home and Computer still show.
    QCOMPARE(kinds({}, kAll), (std::vector<K>{K::Home, K::Computer}));
    QCOMPARE(kinds(desktop + "/missing", kAll), (std::vector<K>{K::Home, K::Computer}));
}

QTEST_GUILESS_MAIN(TestNamespace)
#include "tst_namespace.moc"
