// Installing and removing the "Oxlume" verb below HKEY_CLASSES_ROOT, and the desktop entry.
// Runs without any GUI application object, as the uninstall run does.

#include "associations/DesktopEntry.h"
#include "associations/FileAssociations.h"
#include "associations/RegistryFunctions.h"
#include "platform/Errors.h"
#include "platform/RegistryValues.h"

#include "common/Files.h"
#include "common/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace oxlume;
using oxlume::test::readText;

namespace {

const std::string kExe = "/opt/oxlume/bin/oxlume";

bool keyExists(const std::string &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CLASSES_ROOT, path, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The default value as stored (with its terminating zero), or "<none>".
std::string defaultValue(const std::string &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CLASSES_ROOT, path, &key) != ERROR_SUCCESS)
        return "<no key>";
    char buf[512];
    DWORD size = sizeof buf;
    const LONG rc = RegQueryValueEx(key, "", nullptr, buf, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(buf, size) : "<none>";
}

void setValue(const std::string &path, const std::string &name, const std::string &text)
{
    HKEY key = nullptr;
    QCOMPARE(RegCreateKeyEx(HKEY_CLASSES_ROOT, path, &key), ERROR_SUCCESS);
    QCOMPARE(SetStringValue(key, name, text), ERROR_SUCCESS);
    RegCloseKey(key);
}

DWORD rootKeyCount()
{
    DWORD subKeys = 0;
    RegQueryInfoKey(HKEY_CLASSES_ROOT, &subKeys, nullptr, nullptr, nullptr, nullptr);
    return subKeys;
}

const char *const kExtensions[] = {".bmp", ".rle", ".dib", ".jpg", ".jpeg",
                                   ".jpe", ".jg",  ".pcx", ".psd", ".wmf"};

} // namespace

class TstAssociations : public QObject {
    Q_OBJECT

private:
    std::optional<test::ScopedXdgHome> m_dir;

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { m_dir.reset(); }

    void installThenRemoveOnAnEmptyHive()
    {
        InstallAssociations(kExe);
        const std::string command = kExe + " \"%1\"" + '\0';
        QCOMPARE(defaultValue(".jpg"), std::string("Marzel JPG") + '\0');
        QCOMPARE(defaultValue(".rle"), std::string("Marzel BMP") + '\0');
        QCOMPARE(defaultValue("Marzel JPG\\shell\\Oxlume\\command"), command);
        QCOMPARE(defaultValue("Marzel WMF\\shell\\Oxlume\\command"), command);
        QCOMPARE(defaultValue("Marzel JPG\\shell\\Oxlume"), std::string("<none>"));
        QCOMPARE(rootKeyCount(), DWORD(10 + 5)); // ten extensions, five classes
        const std::string entry = readText(DesktopEntryPath());
        QVERIFY(entry.find("\nExec=/opt/oxlume/bin/oxlume %f\n") != std::string::npos);
        QVERIFY(entry.find("\nMimeType=image/bmp;image/x-bmp;image/x-ms-bmp;image/jpeg;"
                           "image/vnd.zbrush.pcx;image/x-pcx;image/vnd.adobe.photoshop;"
                           "image/x-psd;image/wmf;image/x-wmf;\n") != std::string::npos);

        // A second install changes nothing.
        const std::string hive = readText(RegistryHivePath(HKEY_CLASSES_ROOT));
        InstallAssociations(kExe);
        QCOMPARE(readText(RegistryHivePath(HKEY_CLASSES_ROOT)), hive);

        RemoveAssociations();
        QCOMPARE(rootKeyCount(), DWORD(0));
        QVERIFY(!QFile::exists(QString::fromStdString(DesktopEntryPath())));
    }

    void extensionOwnedByAnotherClass()
    {
        setValue(".jpg", "", "jpegfile");
        setValue("jpegfile\\shell\\open\\command", "", "other \"%1\"");
        setValue("pngish", "", "x"); // a class without a shell key
        setValue(".psd", "", "pngish");
        InstallAssociations(kExe);
        QCOMPARE(defaultValue(".jpg"), std::string("jpegfile") + '\0');
        QVERIFY(keyExists("jpegfile\\shell\\Oxlume\\command"));
        QVERIFY(keyExists("pngish\\shell\\Oxlume\\command"));
        QVERIFY(keyExists("Marzel JPG\\shell\\Oxlume\\command")); // from .jpeg and the rest
        QVERIFY(!keyExists("Marzel PSD"));

        RemoveAssociations();
        QCOMPARE(defaultValue(".jpg"), std::string("jpegfile") + '\0');
        QCOMPARE(defaultValue(".psd"), std::string("pngish") + '\0');
        QVERIFY(keyExists("jpegfile\\shell\\open\\command"));
        QVERIFY(!keyExists("jpegfile\\shell\\Oxlume"));
        QVERIFY(keyExists("pngish\\shell")); // another class's key, even the one we added
        QVERIFY(!keyExists("pngish\\shell\\Oxlume"));
        QVERIFY(!keyExists("Marzel JPG"));
        QVERIFY(!keyExists(".jpeg"));
    }

    void furtherValuesKeepTheirKeys()
    {
        InstallAssociations(kExe);
        setValue(".pcx", "Content Type", "image/x-pcx");
        setValue("Marzel JPG\\shell\\Oxlume", "Extra", "kept");
        RemoveAssociations();
        QCOMPARE(defaultValue(".pcx"), std::string("Marzel PCX") + '\0'); // default included
        QVERIFY(!keyExists("Marzel PCX")); // the class itself was still removed
        QVERIFY(keyExists("Marzel JPG\\shell\\Oxlume"));
        QVERIFY(!keyExists("Marzel JPG\\shell\\Oxlume\\command"));
        QVERIFY(!keyExists(".jpg"));
    }

    void sharedClassIsRemovedOnce()
    {
        InstallAssociations(kExe);
        // .bmp removes the class keys; .rle and .dib find only their own keys.
        QCOMPARE(RemoveVerbForMasks("*.bmp;*.rle;*.dib", "Marzel BMP", "Oxlume"),
                 ERROR_FILE_NOT_FOUND);
        QVERIFY(!keyExists(".bmp") && !keyExists(".rle") && !keyExists(".dib"));
        QVERIFY(!keyExists("Marzel BMP"));
        QVERIFY(keyExists("Marzel JPG"));
    }

    void removeWithNothingInstalledChangesNothing()
    {
        RemoveAssociations();
        QVERIFY(!QDir(m_dir->path() + QStringLiteral("/data")).exists());
        QCOMPARE(RemoveVerb("jpg", "Marzel JPG", "Oxlume"), ERROR_FILE_NOT_FOUND);

        // With others' entries present: install and remove give back the hive byte for byte,
        // each in one save, and a further removal does not even rewrite it.
        setValue(".png", "", "pngfile");
        setValue("jpegfile\\shell\\open\\command", "", "other \"%1\"");
        setValue(".jpeg", "", "jpegfile");
        const std::string hive = RegistryHivePath(HKEY_CLASSES_ROOT);
        const std::string folder = hive.substr(0, hive.rfind('/'));
        const std::string before = readText(hive);
        QCOMPARE(test::savesDuring(folder, "classes.reg", [] { InstallAssociations(kExe); }), 1);
        QVERIFY(keyExists("jpegfile\\shell\\Oxlume\\command"));
        QCOMPARE(test::savesDuring(folder, "classes.reg", [] { RemoveAssociations(); }), 1);
        QCOMPARE(readText(hive), before);
        QCOMPARE(test::savesDuring(folder, "classes.reg", [] { RemoveAssociations(); }), 0);
        QCOMPARE(readText(hive), before);
    }

    void overlongClassNameIsSkipped()
    {
        const std::string longName(201, 'c');
        setValue(".jpg", "", longName);
        QCOMPARE(AddVerb(".jpg", "Marzel JPG", "Oxlume", "x \"%1\""), ERROR_MORE_DATA);
        QCOMPARE(RemoveVerb("jpg", "Marzel JPG", "Oxlume"), ERROR_MORE_DATA);
        QCOMPARE(rootKeyCount(), DWORD(1));
        QCOMPARE(defaultValue(".jpg"), longName + '\0');
        // 200 bytes still fit the buffer.
        setValue(".jpg", "", longName.substr(1));
        QCOMPARE(AddVerb("jpg", "Marzel JPG", "Oxlume", "x \"%1\""), ERROR_SUCCESS);
        QVERIFY(keyExists(longName.substr(1) + "\\shell\\Oxlume\\command"));
    }

    void emptyExtensionIsAnAssertion()
    {
        try {
            AddVerb("", "Marzel JPG", "Oxlume", "x");
            QFAIL("no assertion");
        } catch (const AssertionFailure &e) {
            QCOMPARE(e.unit(), std::string("RegistryFunctions"));
        }
        QVERIFY_THROWS_EXCEPTION(AssertionFailure, RemoveVerb("", "Marzel JPG", "Oxlume"));
    }

    void keyIsEmpty_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<bool>("withSubKey");
        QTest::addColumn<bool>("empty");
        QTest::newRow("nothing") << QStringList() << false << true;
        QTest::newRow("default only") << QStringList{QString()} << false << true;
        QTest::newRow("named value") << QStringList{QStringLiteral("n")} << false << false;
        QTest::newRow("default and named")
            << QStringList{QString(), QStringLiteral("n")} << false << false;
        QTest::newRow("sub-key") << QStringList() << true << false;
        QTest::newRow("long name") << QStringList{QString(70, QLatin1Char('v'))} << false << false;
    }

    void keyIsEmpty()
    {
        QFETCH(QStringList, values);
        QFETCH(bool, withSubKey);
        QFETCH(bool, empty);
        HKEY key = nullptr;
        QCOMPARE(RegCreateKeyEx(HKEY_CLASSES_ROOT, "Probe", &key), ERROR_SUCCESS);
        for (const QString &v : values)
            QCOMPARE(SetStringValue(key, v.toStdString(), "x"), ERROR_SUCCESS);
        if (withSubKey)
            setValue("Probe\\Sub", "", "x");
        QCOMPARE(KeyIsEmpty(key), empty);
        QCOMPARE(DeleteKeyIfEmpty(key, true), ERROR_SUCCESS);
        QCOMPARE(keyExists("Probe"), !empty);
        RegCloseKey(key);
    }

    void executablePathWithBlanks()
    {
        const std::string exe = "/opt/my apps/oxlume";
        InstallAssociations(exe);
        QCOMPARE(defaultValue("Marzel PSD\\shell\\Oxlume\\command"),
                 std::string("/opt/my apps/oxlume \"%1\"") + '\0');
        QVERIFY(readText(DesktopEntryPath()).find("\nExec=\"/opt/my apps/oxlume\" %f\n") !=
                std::string::npos);
        QCOMPARE(ExecutablePath(), QCoreApplication::applicationFilePath().toStdString());
    }

    void desktopExecEscaping_data()
    {
        QTest::addColumn<QString>("exe");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/usr/bin/oxlume"
                               << "/usr/bin/oxlume %f";
        QTest::newRow("percent") << "/opt/100%/ox"
                                 << "env /opt/100%%/ox %f";
        QTest::newRow("dollar") << "/opt/$x/ox"
                                << "\"/opt/\\\\$x/ox\" %f";
        QTest::newRow("quote") << "/opt/a\"b/ox"
                               << "\"/opt/a\\\\\"b/ox\" %f";
        QTest::newRow("backslash") << "/opt/a\\b/ox"
                                   << "\"/opt/a\\\\\\\\b/ox\" %f";
        QTest::newRow("tab") << "/opt/a\tb/ox"
                             << "\"/opt/a\\tb/ox\" %f";
        QTest::newRow("carriage return") << "/opt/a\rb/ox"
                                         << "\"/opt/a\\rb/ox\" %f";
        QTest::newRow("percent in quotes") << "/opt/50% off/ox"
                                           << "env \"/opt/50%% off/ox\" %f";
    }

    void desktopExecEscaping()
    {
        QFETCH(QString, exe);
        QFETCH(QString, exec);
        QCOMPARE(QString::fromStdString(DesktopExecValue(exe.toStdString())), exec);
    }

    void desktopEntryForOddPaths_data()
    {
        QTest::addColumn<QByteArray>("exe");
        QTest::addColumn<QByteArray>("tryExec"); // empty: no entry is written
        QTest::newRow("tab") << QByteArray("/opt/a\tb/ox") << QByteArray("/opt/a\\tb/ox");
        QTest::newRow("utf-8") << QByteArray("/opt/caf\xc3\xa9/ox")
                               << QByteArray("/opt/caf\xc3\xa9/ox");
        QTest::newRow("percent") << QByteArray("/opt/100%/ox") << QByteArray("/opt/100%/ox");
        QTest::newRow("latin-1 byte") << QByteArray("/opt/caf\xe9/ox") << QByteArray();
        QTest::newRow("overlong slash") << QByteArray("/opt/\xc0\xaf/ox") << QByteArray();
        QTest::newRow("control byte") << QByteArray("/opt/a\x01/ox") << QByteArray();
    }

    void desktopEntryForOddPaths()
    {
        QFETCH(QByteArray, exe);
        QFETCH(QByteArray, tryExec);
        InstallAssociations(exe.toStdString());
        const std::string entry = readText(DesktopEntryPath());
        QVERIFY(keyExists("Marzel JPG\\shell\\Oxlume\\command")); // the hive either way
        if (tryExec.isEmpty()) {
            QVERIFY(entry.empty());
            return;
        }
        QVERIFY2(entry.find("\nTryExec=" + tryExec.toStdString() + "\n") != std::string::npos,
                 entry.c_str());
        QVERIFY(entry.find("\nIcon=oxlume\n") != std::string::npos);
    }

    void desktopDatabaseIsRefreshedWhenTheToolIsThere_data()
    {
        QTest::addColumn<QByteArray>("tool"); // the script found on PATH; empty: none
        QTest::newRow("present") << QByteArray("echo \"$1\" >> \"$0.log\"");
        // Outlives the 3 s the viewer gives it, unless it is stopped (PATH holds only the
        // script, hence the full path).
        QTest::newRow("hanging") << QByteArray("/bin/sleep 8; echo finished >> \"$0.done\"");
        QTest::newRow("absent") << QByteArray();
    }

    void desktopDatabaseIsRefreshedWhenTheToolIsThere()
    {
        QFETCH(QByteArray, tool);
        const std::string bin = m_dir->path().toStdString() + "/bin";
        QVERIFY(QDir().mkpath(QString::fromStdString(bin)));
        const std::string script = bin + "/update-desktop-database";
        if (!tool.isEmpty()) {
            test::writeText(script, "#!/bin/sh\n" + tool.toStdString() + "\n");
            QVERIFY(::chmod(script.c_str(), 0755) == 0);
        }
        m_dir->env().set("PATH", QByteArray::fromStdString(bin));
        InstallAssociations(kExe);
        RemoveAssociations();
        QVERIFY2(!QFile::exists(QString::fromStdString(script + ".done")),
                 "waited for the tool to finish instead of stopping it");
        QVERIFY(!keyExists(".jpg"));
        if (tool.startsWith("echo")) {
            const std::string folder = DesktopEntryPath().substr(0, DesktopEntryPath().rfind('/'));
            QCOMPARE(readText(script + ".log"), folder + "\n" + folder + "\n");
        }
    }

    void desktopEntryOfOthersIsLeftAlone()
    {
        const QString path = QString::fromStdString(DesktopEntryPath());
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        const QByteArray mine =
            "[Desktop Entry]\nType=Application\nName=My viewer\nExec=oxlume %f\n"
            "[Other]\nX-Oxlume-Generated=true\n";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(mine);
        }
        InstallAssociations(kExe);
        QCOMPARE(QByteArray::fromStdString(readText(path.toStdString())), mine);
        RemoveAssociations();
        QCOMPARE(QByteArray::fromStdString(readText(path.toStdString())), mine);
        QVERIFY(keyExists(".jpg") == false);
    }
};

QTEST_GUILESS_MAIN(TstAssociations)
#include "tst_associations.moc"
