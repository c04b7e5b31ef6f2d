#include "shell/FileNameFunctions.h"
#include "shell/StringFunctions.h"

#include "common/TestEnv.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace oxlume;

class TestPaths : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void textBeforeAndAfter_data();
    void textBeforeAndAfter();
    void removeAll_data();
    void removeAll();
    void lastPos_data();
    void lastPos();
    void stripAndJoin_data();
    void stripAndJoin();
    void lastPathComponent_data();
    void lastPathComponent();
    void folderAndFileExist();
    void specialFoldersFromUserDirs_data();
    void specialFoldersFromUserDirs();
    void specialFoldersFallBackToHome();
};

static std::string s(const QByteArray &b)
{
    return b.toStdString();
}

void TestPaths::cleanup()
{
    qunsetenv("XDG_CONFIG_HOME");
}

void TestPaths::textBeforeAndAfter_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("sep");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("list entry") << QByteArray("Photo.jpg/Photo.jpg") << QByteArray("/")
                                << QByteArray("Photo.jpg") << QByteArray("Photo.jpg");
    QTest::newRow("no separator") << QByteArray("abc") << QByteArray("/") << QByteArray("abc")
                                  << QByteArray();
    QTest::newRow("first separator only")
        << QByteArray("a/b/c") << QByteArray("/") << QByteArray("a") << QByteArray("b/c");
    QTest::newRow("long separator")
        << QByteArray("a::b") << QByteArray("::") << QByteArray("a") << QByteArray("b");
    QTest::newRow("empty separator")
        << QByteArray("ab") << QByteArray() << QByteArray("ab") << QByteArray();
}

void TestPaths::textBeforeAndAfter()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, sep);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QCOMPARE(QByteArray::fromStdString(TextBefore(s(text), s(sep))), before);
    QCOMPARE(QByteArray::fromStdString(TextAfter(s(text), s(sep))), after);
}

void TestPaths::removeAll_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("part");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("star mask") << QByteArray("*.jpg") << QByteArray("*") << QByteArray(".jpg");
    QTest::newRow("two stars") << QByteArray("**.jpg") << QByteArray("*") << QByteArray(".jpg");
    QTest::newRow("empty part") << QByteArray("abc") << QByteArray() << QByteArray("abc");
    QTest::newRow("joined pieces") << QByteArray("aabb") << QByteArray("ab") << QByteArray();
    QTest::newRow("joined deep") << QByteArray("xaaabbby") << QByteArray("ab") << QByteArray("xy");
}

void TestPaths::removeAll()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, part);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(RemoveAll(s(text), s(part))), expected);
}

void TestPaths::lastPos_data()
{
    QTest::addColumn<QByteArray>("part");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("path") << QByteArray("/") << QByteArray("/a/b") << 3;
    QTest::newRow("empty text") << QByteArray("/") << QByteArray() << 0;
    QTest::newRow("overlapping") << QByteArray("aa") << QByteArray("aaa") << 2;
    QTest::newRow("absent") << QByteArray("q") << QByteArray("xyz") << 0;
}

void TestPaths::lastPos()
{
    QFETCH(QByteArray, part);
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    QCOMPARE(LastPos(s(part), s(text)), std::size_t(expected));
}

void TestPaths::stripAndJoin_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("stripped");
    QTest::addColumn<QByteArray>("joined"); // with the name a.jpg
    QTest::newRow("root") << QByteArray("/") << QByteArray() << QByteArray("/a.jpg");
    QTest::newRow("two slashes") << QByteArray("/pics//") << QByteArray("/pics")
                                 << QByteArray("/pics/a.jpg");
    QTest::newRow("only slashes") << QByteArray("///") << QByteArray() << QByteArray("/a.jpg");
    QTest::newRow("empty") << QByteArray() << QByteArray() << QByteArray("/a.jpg");
    QTest::newRow("backslash kept")
        << QByteArray("/x\\") << QByteArray("/x\\") << QByteArray("/x\\/a.jpg");
    QTest::newRow("blank kept") << QByteArray("/x/ ") << QByteArray("/x/ ")
                                << QByteArray("/x/ /a.jpg");
}

void TestPaths::stripAndJoin()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, stripped);
    QFETCH(QByteArray, joined);
    QCOMPARE(QByteArray::fromStdString(StripTrailingSlashes(s(folder))), stripped);
    QCOMPARE(QByteArray::fromStdString(JoinPath(s(folder), "a.jpg")), joined);
}

void TestPaths::lastPathComponent_data()
{
    // The last component ignores trailing slashes; folderPart and fileNamePart split a path
    // at its last '/' as it stands.
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("trailing slash")
        << QByteArray("/home/Pictures/Holiday/") << QByteArray("Holiday")
        << QByteArray("/home/Pictures/Holiday/") << QByteArray();
    QTest::newRow("root") << QByteArray("/") << QByteArray() << QByteArray("/") << QByteArray();
    QTest::newRow("bare name") << QByteArray("b") << QByteArray("b") << QByteArray()
                               << QByteArray("b");
    QTest::newRow("colon is a letter") << QByteArray("/a/C:Holiday") << QByteArray("C:Holiday")
                                       << QByteArray("/a/") << QByteArray("C:Holiday");
    QTest::newRow("non-UTF-8 bytes") << QByteArray("/a/\xff\xfe") << QByteArray("\xff\xfe")
                                     << QByteArray("/a/") << QByteArray("\xff\xfe");
}

void TestPaths::lastPathComponent()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(LastPathComponent(s(path))), expected);
    QTEST(QByteArray::fromStdString(folderPart(s(path))), "folder");
    QTEST(QByteArray::fromStdString(fileNamePart(s(path))), "file");
}

void TestPaths::folderAndFileExist()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string root = dir.path().toStdString();
    const std::string file = JoinPath(root, "\xff\xfe.jpg");
    std::ofstream(file) << "x";
    const std::string link = JoinPath(root, "link");
    QVERIFY(QFile::link(dir.path(), QString::fromStdString(link)));

    QVERIFY(FolderExists(root));
    QVERIFY(FolderExists("/"));
    QVERIFY(FolderExists(link));
    QVERIFY(!FolderExists(file));
    QVERIFY(!FolderExists(""));
    QVERIFY(!FolderExists(JoinPath(root, "missing")));
    QVERIFY(FileExists(file));
    QVERIFY(!FileExists(root));
    QVERIFY(!FileExists(""));
}

void TestPaths::specialFoldersFromUserDirs_data()
{
    QTest::addColumn<QByteArray>("line");   // the desktop line of user-dirs.dirs
    QTest::addColumn<QByteArray>("folder"); // relative to HOME, created before the test
    QTest::addColumn<bool>("usesFolder");   // else HOME
    QTest::newRow("HOME relative") << QByteArray("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"")
                                   << QByteArray("Schreibtisch") << true;
    QTest::newRow("absolute") << QByteArray("XDG_DESKTOP_DIR=\"@/Abs\"") << QByteArray("Abs")
                              << true;
    QTest::newRow("escaped quote")
        << QByteArray("XDG_DESKTOP_DIR=\"$HOME/a\\\"b\"") << QByteArray("a\"b") << true;
    QTest::newRow("missing folder")
        << QByteArray("XDG_DESKTOP_DIR=\"$HOME/Gone\"") << QByteArray() << false;
    QTest::newRow("relative is invalid")
        << QByteArray("XDG_DESKTOP_DIR=\"Desk\"") << QByteArray("Desk") << false;
    QTest::newRow("commented out")
        << QByteArray("# XDG_DESKTOP_DIR=\"$HOME/D\"") << QByteArray("D") << false;
    QTest::newRow("unquoted") << QByteArray("XDG_DESKTOP_DIR=$HOME/D") << QByteArray("D") << false;
    // No entry, or no file at all: the XDG default $HOME/Desktop, when it exists.
    QTest::newRow("no entry, default exists")
        << QByteArray("# none") << QByteArray("Desktop") << true;
    QTest::newRow("no file, default exists") << QByteArray() << QByteArray("Desktop") << true;
    QTest::newRow("invalid entry, default exists")
        << QByteArray("XDG_DESKTOP_DIR=\"Desk\"") << QByteArray("Desktop") << true;
}

void TestPaths::specialFoldersFromUserDirs()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, folder);
    QFETCH(bool, usesFolder);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QByteArray homePath = QFile::encodeName(home.path());
    auto env = std::make_unique<test::ScopedEnv>(); // HOME back before the checks
    env->set("HOME", homePath);
    qputenv("XDG_CONFIG_HOME", homePath + "/config");
    QDir(home.path()).mkpath(QStringLiteral("config"));
    if (!folder.isEmpty())
        QDir(home.path()).mkpath(QFile::decodeName(folder));
    if (!line.isNull()) {
        std::ofstream out((homePath + "/config/user-dirs.dirs").toStdString());
        out << "# written by a test\nXDG_DOCUMENTS_DIR=\"$HOME/" << folder.toStdString() << "\"\n"
            << line.replace('@', homePath).toStdString() << "\n";
    }
    const std::string expected =
        usesFolder ? (homePath + "/" + folder).toStdString() : homePath.toStdString();
    const std::string desktop = DesktopPath();
    const std::string documents = DocumentsPath();
    env.reset();
    QCOMPARE(QByteArray::fromStdString(desktop), QByteArray::fromStdString(expected));
    if (!line.isNull() && !folder.isEmpty() && !folder.contains('"'))
        QCOMPARE(QByteArray::fromStdString(documents), homePath + "/" + folder);
}

void TestPaths::specialFoldersFallBackToHome()
{
    QTemporaryDir config; // no user-dirs.dirs, and no Desktop or Documents below HOME
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    test::ScopedEnv emptyHome;
    emptyHome.set("HOME", QFile::encodeName(config.path()));
    QCOMPARE(SpecialFolderPath(SpecialFolder::Desktop), std::string());
    QCOMPARE(DesktopPath(), HomePath());
    QCOMPARE(DocumentsPath(), HomePath());

    std::string home, desktop;
    {
        test::ScopedEnv env;
        env.unset("HOME");
        home = HomePath(); // from the password database
        desktop = DesktopPath();
    }
    const passwd *entry = ::getpwuid(::getuid());
    QCOMPARE(home, entry && entry->pw_dir && *entry->pw_dir ? std::string(entry->pw_dir)
                                                            : std::string("/"));
    QVERIFY2(desktop.starts_with(home), desktop.c_str()); // the desktop follows that home
}

QTEST_APPLESS_MAIN(TestPaths)
#include "tst_paths.moc"
