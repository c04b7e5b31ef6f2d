// The registry calls over the hive files: round trips, the file format, the buffer
// contracts, delete rules, damaged files and folders we may not write.

#include "platform/RegFile.h"
#include "platform/Registry.h"
#include "platform/RegistryValues.h"

#include "common/Files.h"
#include "common/TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace oxlume;
using oxlume::test::readText;
using oxlume::test::writeText;

namespace {

std::string userHive()
{
    return RegistryHivePath(HKEY_CURRENT_USER);
}

HKEY create(const std::string &path, DWORD *disposition = nullptr)
{
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyEx(HKEY_CURRENT_USER, path, &key, disposition);
    return rc == ERROR_SUCCESS ? key : nullptr;
}

QStringList badFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("user.reg.bad-*")}, QDir::Files);
}

// Run in a child process: the config folder is read-only, so reads work and writes are
// refused. Root ignores permissions, so the child gives root up first.
int readOnlyChild()
{
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 10;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, "Existing", &key) != ERROR_SUCCESS)
        return 11;
    std::uint32_t v = 0;
    if (QueryDwordValue(key, "Value", v) != ERROR_SUCCESS || v != 7)
        return 12;
    if (SetDwordValue(key, "Value", 8) != ERROR_ACCESS_DENIED)
        return 13;
    HKEY created = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, "New", &created) != ERROR_ACCESS_DENIED || created)
        return 14;
    RegCloseKey(key);
    // A config root without our folder that cannot get one.
    setenv("XDG_CONFIG_HOME", std::getenv("OXLUME_READONLY_ROOT"), 1);
    if (RegOpenKeyEx(HKEY_CURRENT_USER, "Existing", &key) != ERROR_FILE_NOT_FOUND)
        return 15;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, "New", &created) != ERROR_ACCESS_DENIED)
        return 16;
    return 0;
}

} // namespace

class TstRegistry : public QObject {
    Q_OBJECT

private:
    std::optional<test::ScopedXdgHome> m_dir;
    QString m_configFolder; // the folder of user.reg

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
        m_configFolder = m_dir->configFolder();
    }

    void cleanup() { m_dir.reset(); }

    void valuesRoundTripThroughTheFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("type");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("fileForm"); // expected in the text, empty: don't care
        auto sz = [](const char *s) { return QByteArray(s, static_cast<int>(strlen(s)) + 1); };
        QTest::newRow("text") << "Plain" << uint(REG_SZ) << sz("/home/me/pics")
                              << QByteArray("\"Plain\"=\"/home/me/pics\"");
        QTest::newRow("escapes") << "Q\"uo\\te" << uint(REG_SZ) << sz("a\\b\"c")
                                 << QByteArray("\"Q\\\"uo\\\\te\"=\"a\\\\b\\\"c\"");
        QTest::newRow("utf8 and raw bytes") << "Bytes" << uint(REG_SZ) << sz("caf\xc3\xa9 \xff\xfe")
                                            << QByteArray("\"Bytes\"=\"caf\xc3\xa9 \xff\xfe\"");
        QTest::newRow("newline") << "Lines" << uint(REG_SZ) << sz("one\ntwo\r")
                                 << QByteArray("\"Lines\"=hex(1):6f,6e,65,0a");
        QTest::newRow("no terminator") << "Bare" << uint(REG_SZ) << QByteArray("abc")
                                       << QByteArray("\"Bare\"=hex(1):61,62,63\n");
        QTest::newRow("embedded zero") << "Zero" << uint(REG_SZ) << QByteArray("a\0b\0", 4)
                                       << QByteArray("hex(1):61,00,62,00");
        QTest::newRow("empty text")
            << "Empty" << uint(REG_SZ) << QByteArray("\0", 1) << QByteArray("\"Empty\"=\"\"");
        QTest::newRow("no bytes") << "None" << uint(REG_SZ) << QByteArray()
                                  << QByteArray("\"None\"=hex(1):\n");
        QTest::newRow("dword") << "Num" << uint(REG_DWORD) << QByteArray("\xff\xff\xff\xff", 4)
                               << QByteArray("\"Num\"=dword:ffffffff");
        QTest::newRow("short dword") << "Short" << uint(REG_DWORD) << QByteArray("\x01\x02", 2)
                                     << QByteArray("\"Short\"=hex(4):01,02");
        QTest::newRow("binary") << "Bin" << uint(REG_BINARY) << QByteArray("\x00\x01\xfe", 3)
                                << QByteArray("\"Bin\"=hex:00,01,fe");
        QTest::newRow("unknown type")
            << "Odd" << uint(0x2b) << QByteArray("xy") << QByteArray("\"Odd\"=hex(2b):78,79");
        QTest::newRow("long binary wraps")
            << "Long" << uint(REG_BINARY) << QByteArray(3000, '\x5a') << QByteArray(",\\\n  5a");
        QTest::newRow("default value")
            << "" << uint(REG_SZ) << sz("Marzel JPG") << QByteArray("@=\"Marzel JPG\"");
        // A line that ends in a backslash continues only when its data is a hex list.
        QTest::newRow("=hex in name, backslash at end")
            << "x=hex" << uint(REG_SZ) << sz("ends in \\")
            << QByteArray("\"x=hex\"=\"ends in \\\\\"\n");
    }

    void valuesRoundTripThroughTheFile()
    {
        QFETCH(QString, name);
        QFETCH(uint, type);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, fileForm);
        const std::string valueName = name.toStdString();
        HKEY key = create("Software\\Test");
        QVERIFY(key);
        QCOMPARE(RegSetValueEx(key, valueName, type, data.constData(), DWORD(data.size())),
                 ERROR_SUCCESS);
        RegCloseKey(key);

        const std::string text = readText(userHive());
        QVERIFY2(text.find(fileForm.toStdString()) != std::string::npos, text.c_str());
        Result<reg::RegKey> parsed = reg::parseRegFile(text, "HKEY_CURRENT_USER");
        QVERIFY(parsed.ok());
        const reg::RegKey *k = parsed.value().find({"Software", "Test"});
        QVERIFY(k);
        const reg::RegValue *v = k->findValue(valueName);
        QVERIFY(v);
        QCOMPARE(v->type, DWORD(type));
        QCOMPARE(QByteArray::fromStdString(v->data), data);
        QVERIFY(parsed.value() ==
                reg::parseRegFile(reg::writeRegFile(parsed.value(), "HKEY_CURRENT_USER"),
                                  "HKEY_CURRENT_USER")
                    .value());
    }

    void fileIsRegeditTextWithEmptyKeys()
    {
        HKEY key = create("SOFTWARE\\Kestrune\\Marzel");
        QVERIFY(key);
        QCOMPARE(SetDwordValue(key, "Slide Method", 2), ERROR_SUCCESS);
        QCOMPARE(SetStringValue(key, "", "x"), ERROR_SUCCESS);
        RegCloseKey(key);
        HKEY empty = create("SOFTWARE\\Empty");
        RegCloseKey(empty);
        QCOMPARE(readText(userHive()),
                 std::string("REGEDIT4\n\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE]\n\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE\\Empty]\n\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE\\Kestrune]\n\n"
                             "[HKEY_CURRENT_USER\\SOFTWARE\\Kestrune\\Marzel]\n"
                             "\"Slide Method\"=dword:00000002\n"
                             "@=\"x\"\n\n"));
        QVERIFY(QFileInfo(m_configFolder + QStringLiteral("/user.reg")).permissions() ==
                (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser));
    }

    void parsesHandEditedFiles()
    {
        const std::string text = "\xEF\xBB\xBFREGEDIT4\r\n"
                                 "; a comment\r\n"
                                 "[HKEY_CURRENT_USER\\A\\B]\r\n"
                                 "\"Gone\"=\"soon\"\r\n"
                                 "\"Gone\"=-\r\n"
                                 "\"Hex\"=hex:01,02,\\\r\n"
                                 "   03\r\n"
                                 "\"D\" = dword:1f\r\n"
                                 "[HKEY_CURRENT_USER\\A\\C]\r\n"
                                 "[-HKEY_CURRENT_USER\\A\\C]\r\n"
                                 "\"Ignored\"=\"in a deleted section\"\r\n";
        Result<reg::RegKey> parsed = reg::parseRegFile(text, "HKEY_CURRENT_USER");
        QVERIFY2(parsed.ok(), parsed.ok() ? "" : parsed.error().message.c_str());
        const reg::RegKey *b = parsed.value().find({"a", "b"});
        QVERIFY(b);
        QCOMPARE(b->values.size(), std::size_t(2));
        QCOMPARE(b->findValue("hex")->data, std::string("\x01\x02\x03"));
        QCOMPARE(b->findValue("d")->data, std::string("\x1f\0\0\0", 4));
        QVERIFY(!parsed.value().find({"A", "C"}));
    }

    void parseMergesRepeatsAndDeletions()
    {
        const std::string text = "REGEDIT4\n"
                                 "[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n\"b\"=\"2\"\n"
                                 "[HKEY_CURRENT_USER\\k\\Sub]\n\"s\"=\"x\"\n"
                                 "[hkey_current_user\\k]\n\"A\"=\"3\"\n\"b\"=-\n\"B\"=\"4\"\n"
                                 "[-HKEY_CURRENT_USER\\K\\sub]\n"
                                 "[HKEY_CURRENT_USER\\K\\SUB]\n"
                                 "[HKEY_CURRENT_USER\\Z]\n[HKEY_CURRENT_USER\\a]\n";
        Result<reg::RegKey> parsed = reg::parseRegFile(text, "HKEY_CURRENT_USER");
        QVERIFY(parsed.ok());
        const reg::RegKey &root = parsed.value();
        QCOMPARE(root.subKeys.size(), std::size_t(3));
        QCOMPARE(root.subKeys[0].name + root.subKeys[1].name + root.subKeys[2].name,
                 std::string("aKZ")); // sorted without case, first spelling kept
        const reg::RegKey &k = root.subKeys[1];
        QCOMPARE(k.values.size(), std::size_t(2));
        QCOMPARE(k.values[0].name + k.values[0].data, std::string("a3") + '\0'); // kept its place
        QCOMPARE(k.values[1].name + k.values[1].data, std::string("B4") + '\0'); // set anew: last
        QCOMPARE(k.subKeys.size(), std::size_t(1));
        QCOMPARE(k.subKeys[0].name, std::string("SUB")); // deleted, then made again: empty
        QVERIFY(k.subKeys[0].values.empty());

        // The same rules in a key with enough values to be merged through a hash table.
        std::string many = "REGEDIT4\n[HKEY_CURRENT_USER\\M]\n";
        for (char c = 'a'; c <= 'l'; ++c)
            many += std::string("\"") + c + "\"=\"1\"\n";
        many += "\"B\"=\"2\"\n\"c\"=-\n\"C\"=\"3\"\n";
        parsed = reg::parseRegFile(many, "HKEY_CURRENT_USER");
        QVERIFY(parsed.ok());
        std::string merged;
        for (const reg::RegValue &v : parsed.value().subKeys[0].values)
            merged += v.name + v.data[0];
        QCOMPARE(merged, std::string("a1b2d1e1f1g1h1i1j1k1l1C3"));
    }

    void readingIsLinearInSiblingsAndValues()
    {
        // Reading was quadratic: 100,000 siblings took 20 s and 200,000 values 46 s.
        std::string text = "REGEDIT4\n";
        for (int i = 100000; i > 0; --i)
            text += "[HKEY_CURRENT_USER\\Many\\K" + std::to_string(i) + "]\n";
        text += "[HKEY_CURRENT_USER\\Values]\n";
        for (int i = 0; i < 100000; ++i)
            text += "\"V" + std::to_string(i) + "\"=dword:1\n";
        Result<reg::RegKey> parsed = reg::parseRegFile(text, "HKEY_CURRENT_USER");
        QVERIFY(parsed.ok());
        QCOMPARE(parsed.value().find({"Many"})->subKeys.size(), std::size_t(100000));
        QCOMPARE(parsed.value().find({"Values"})->values.size(), std::size_t(100000));
    }

    void keysNestAtMost512Deep()
    {
        std::string path = "D";
        for (int i = 1; i < 512; ++i)
            path += "\\D";
        HKEY key = create(path);
        QVERIFY(key);
        HKEY deeper = nullptr;
        QCOMPARE(RegCreateKeyEx(key, "D", &deeper), ERROR_INVALID_PARAMETER);
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, path + "\\D", &deeper), ERROR_INVALID_PARAMETER);
        QCOMPARE(SetDwordValue(key, "V", 1), ERROR_SUCCESS);
        std::uint32_t v = 0;
        QCOMPARE(QueryDwordValue(key, "V", v), ERROR_SUCCESS);
        QCOMPARE(v, 1u);
        RegCloseKey(key);
        // The file saved at 512 reads back (the value above came from memory).
        const Result<reg::RegKey> saved =
            reg::parseRegFile(readText(userHive()), "HKEY_CURRENT_USER");
        QVERIFY2(saved.ok(), saved.ok() ? "" : saved.error().message.c_str());
        const reg::RegKey *deepest = saved.value().find(std::vector<std::string>(512, "D"));
        QVERIFY(deepest && deepest->findValue("V"));
    }

    void batchSavesOnceAndSeesItsOwnChanges()
    {
        HKEY key = create("Batch");
        QCOMPARE(SetDwordValue(key, "Old", 1), ERROR_SUCCESS);
        const std::string before = readText(userHive());
        int saves = test::savesDuring(m_configFolder.toStdString(), "user.reg", [&] {
            RegistryBatch batch;
            for (int i = 0; i < 5; ++i)
                QCOMPARE(SetDwordValue(key, "V" + std::to_string(i), DWORD(i)), ERROR_SUCCESS);
            QCOMPARE(RegDeleteValue(key, "V0"), ERROR_SUCCESS);
            HKEY sub = nullptr;
            QCOMPARE(RegCreateKeyEx(key, "Sub", &sub), ERROR_SUCCESS);
            DWORD values = 0;
            QCOMPARE(RegQueryInfoKey(key, nullptr, nullptr, &values, nullptr, nullptr),
                     ERROR_SUCCESS);
            QCOMPARE(values, 5u); // its own changes, before they are saved
            RegCloseKey(sub);
            QCOMPARE(readText(userHive()), before);
            // Another program saves meanwhile: its value must survive the commit.
            writeText(userHive(), before + "[HKEY_CURRENT_USER\\Other]\n\"X\"=dword:00000007\n");
            QCOMPARE(batch.commit(), ERROR_SUCCESS);
        });
        QCOMPARE(saves, 1);
        Result<reg::RegKey> tree = reg::parseRegFile(readText(userHive()), "HKEY_CURRENT_USER");
        QVERIFY(tree.ok());
        const reg::RegKey *batch = tree.value().find({"Batch"});
        QVERIFY(batch && batch->findValue("Old") && batch->findValue("V4") &&
                !batch->findValue("V0"));
        QVERIFY(batch->findSubKey("Sub"));
        QVERIFY(tree.value().find({"Other"}));
        RegCloseKey(key);
    }

    void instancesKeepEachOthersChanges()
    {
        // Two running instances: this one reads its settings at start, the other changes
        // some and saves, then this one saves all of its own at close.
        writeText(userHive(), "REGEDIT4\n[HKEY_CURRENT_USER\\S]\n\"A\"=dword:00000001\n"
                              "\"B\"=dword:00000001\n\"C\"=dword:00000001\n"
                              "\"D\"=dword:00000001\n");
        HKEY key = create("S");
        std::uint32_t v = 0;
        for (const char *name : {"A", "B", "C", "D"})
            QCOMPARE(QueryDwordValue(key, name, v), ERROR_SUCCESS);
        const pid_t other = ::fork();
        if (other == 0) {
            HKEY k = create("S");
            const bool ok = SetDwordValue(k, "A", 2) == ERROR_SUCCESS &&
                            RegDeleteValue(k, "B") == ERROR_SUCCESS &&
                            SetDwordValue(k, "E", 5) == ERROR_SUCCESS;
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ::waitpid(other, &status, 0);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        {
            RegistryBatch batch;
            for (const char *name : {"a", "B"}) // as read: not changed here
                QCOMPARE(SetDwordValue(key, name, 1), ERROR_SUCCESS);
            QCOMPARE(SetDwordValue(key, "C", 3), ERROR_SUCCESS);
            QCOMPARE(RegDeleteValue(key, "D"), ERROR_SUCCESS);
            QCOMPARE(batch.commit(), ERROR_SUCCESS);
        }
        QCOMPARE(SetDwordValue(key, "A", 1), ERROR_SUCCESS); // nor outside a batch
        Result<reg::RegKey> tree = reg::parseRegFile(readText(userHive()), "HKEY_CURRENT_USER");
        QVERIFY(tree.ok());
        const reg::RegKey *s = tree.value().find({"S"});
        QVERIFY(s);
        QStringList values;
        for (const reg::RegValue &value : s->values)
            values << QString::fromStdString(value.name) + QLatin1Char('=') +
                          QString::number(static_cast<unsigned char>(value.data[0]));
        values.sort();
        QCOMPARE(values.join(QLatin1Char(' ')), QStringLiteral("A=2 C=3 E=5"));
        RegCloseKey(key);
    }

    void namesIgnoreCaseAndKeepSpelling()
    {
        DWORD disposition = 0;
        HKEY key = create("Software\\MixedCase", &disposition);
        QCOMPARE(disposition, REG_CREATED_NEW_KEY);
        QCOMPARE(SetDwordValue(key, "Value Name", 1), ERROR_SUCCESS);
        QCOMPARE(SetDwordValue(key, "VALUE NAME", 2), ERROR_SUCCESS);
        RegCloseKey(key);

        key = create("SOFTWARE\\mixedcase", &disposition);
        QCOMPARE(disposition, REG_OPENED_EXISTING_KEY);
        std::uint32_t v = 0;
        QCOMPARE(QueryDwordValue(key, "value name", v), ERROR_SUCCESS);
        QCOMPARE(v, 2u);
        char name[32];
        DWORD size = sizeof name;
        QCOMPARE(RegEnumValue(key, 0, name, &size, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        QCOMPARE(std::string(name), std::string("Value Name"));
        RegCloseKey(key);
        size = sizeof name;
        HKEY software = create("software");
        QCOMPARE(RegEnumKeyEx(software, 0, name, &size), ERROR_SUCCESS);
        QCOMPARE(std::string(name), std::string("MixedCase"));
        RegCloseKey(software);
    }

    void queryReportsSizesAndShortBuffers()
    {
        HKEY key = create("K");
        QCOMPARE(SetStringValue(key, "S", "12345"), ERROR_SUCCESS); // 6 bytes with the zero
        DWORD type = 0;
        DWORD size = 0;
        QCOMPARE(RegQueryValueEx(key, "S", &type, nullptr, &size), ERROR_SUCCESS);
        QCOMPARE(size, 6u);
        QCOMPARE(type, REG_SZ);

        char buf[8] = "zzzzzzz";
        size = 5;
        QCOMPARE(RegQueryValueEx(key, "S", nullptr, buf, &size), ERROR_MORE_DATA);
        QCOMPARE(size, 6u);
        QCOMPARE(buf[0], 'z'); // nothing copied
        size = 6;
        QCOMPARE(RegQueryValueEx(key, "S", nullptr, buf, &size), ERROR_SUCCESS);
        QCOMPARE(std::string(buf), std::string("12345"));

        QCOMPARE(RegQueryValueEx(key, "Missing", nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
        QCOMPARE(RegQueryValueEx(key, "", nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
        QCOMPARE(RegQueryValueEx(key, "S", nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);

        // Enumeration: the name buffer counts the terminator, the result does not.
        char name[2];
        DWORD nameSize = 1;
        QCOMPARE(RegEnumValue(key, 0, name, &nameSize, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
        QCOMPARE(nameSize, 1u);
        nameSize = 2;
        QCOMPARE(RegEnumValue(key, 0, name, &nameSize, &type, nullptr, nullptr), ERROR_SUCCESS);
        QCOMPARE(nameSize, 1u);
        QCOMPARE(name[0], 'S');
        QCOMPARE(RegEnumValue(key, 1, name, &nameSize, nullptr, nullptr, nullptr),
                 ERROR_NO_MORE_ITEMS);
        RegCloseKey(key);
    }

    void deleteFollowsWin32Rules()
    {
        HKEY parent = create("P");
        HKEY child = create("P\\Child");
        QCOMPARE(SetDwordValue(child, "V", 1), ERROR_SUCCESS);
        DWORD subKeys = 9, values = 9;
        QCOMPARE(RegQueryInfoKey(parent, &subKeys, nullptr, &values, nullptr, nullptr),
                 ERROR_SUCCESS);
        QCOMPARE(subKeys, 1u);
        QCOMPARE(values, 0u);

        QCOMPARE(RegDeleteKey(parent, ""), ERROR_ACCESS_DENIED); // has a sub-key
        QCOMPARE(RegDeleteKey(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
        QCOMPARE(RegDeleteValue(child, "Nope"), ERROR_FILE_NOT_FOUND);
        QCOMPARE(RegDeleteKey(child, ""), ERROR_SUCCESS); // values go with it
        QCOMPARE(RegQueryInfoKey(child, &subKeys, nullptr, nullptr, nullptr, nullptr),
                 ERROR_KEY_DELETED);
        QCOMPARE(SetDwordValue(child, "V", 2), ERROR_KEY_DELETED); // never re-created
        QCOMPARE(RegDeleteKey(parent, "Child"), ERROR_FILE_NOT_FOUND);
        QCOMPARE(RegCloseKey(child), ERROR_SUCCESS);
        QCOMPARE(RegCloseKey(child), ERROR_INVALID_HANDLE);
        QCOMPARE(RegDeleteKey(HKEY_CURRENT_USER, "p"), ERROR_SUCCESS);
        RegCloseKey(parent);
        HKEY gone = nullptr;
        QCOMPARE(RegOpenKeyEx(HKEY_CURRENT_USER, "P", &gone), ERROR_FILE_NOT_FOUND);
        QVERIFY(!gone);
    }

    void handlesSeeChangesMadeElsewhere()
    {
        HKEY a = create("Shared");
        HKEY b = create("shared");
        QCOMPARE(SetDwordValue(a, "V", 5), ERROR_SUCCESS);
        std::uint32_t v = 0;
        QCOMPARE(QueryDwordValue(b, "V", v), ERROR_SUCCESS);
        QCOMPARE(v, 5u);
        // Another program (or the user) rewrites the file: open handles see the new text.
        writeText(userHive(), "REGEDIT4\n[HKEY_CURRENT_USER\\Shared]\n\"V\"=dword:00000009\n");
        QCOMPARE(QueryDwordValue(a, "V", v), ERROR_SUCCESS);
        QCOMPARE(v, 9u);
        RegCloseKey(a);
        RegCloseKey(b);
    }

    void handleStaysWithTheFileItWasOpenedOn()
    {
        HKEY key = create("Bound");
        const std::string first = userHive();
        qputenv("XDG_CONFIG_HOME", (m_dir->path() + QStringLiteral("/other")).toUtf8());
        QCOMPARE(SetDwordValue(key, "V", 1), ERROR_SUCCESS);
        QVERIFY(readText(first).find("\"V\"=dword:00000001") != std::string::npos);
        QVERIFY(!QFile::exists(QString::fromStdString(userHive())));
        RegCloseKey(key);
    }

    void badArgumentsAreRefused()
    {
        HKEY key = nullptr;
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "a\\\\b", &key), ERROR_INVALID_PARAMETER);
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "\\a", &key), ERROR_INVALID_PARAMETER);
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "a\nb", &key), ERROR_INVALID_PARAMETER);
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, std::string(256, 'k'), &key),
                 ERROR_INVALID_PARAMETER);
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "a", nullptr), ERROR_INVALID_PARAMETER);
        HKEY bogus = reinterpret_cast<HKEY>(&key);
        QCOMPARE(RegCreateKeyEx(bogus, "a", &key), ERROR_INVALID_HANDLE);
        // Opening makes the same checks, and a refused call leaves no stale handle behind.
        key = bogus;
        QCOMPARE(RegOpenKeyEx(HKEY_CURRENT_USER, "\\a", &key), ERROR_INVALID_PARAMETER);
        QVERIFY(!key);
        QCOMPARE(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
        key = create("Ok");
        QCOMPARE(SetDwordValue(key, "line\nbreak", 1), ERROR_INVALID_PARAMETER);
        QCOMPARE(RegSetValueEx(key, "x", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
        RegCloseKey(key);
    }

    void damagedFilesAreKeptAsideAndGiveDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("garbage") << QByteArray("this is not a registry file\n");
        QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfeREGEDIT4", 12);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut in a string")
            << QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\Keep]\n\"V\"=\"abc");
        QTest::newRow("cut in a hex list")
            << QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\Keep]\n\"V\"=hex:01,\\\n");
        QTest::newRow("other root") << QByteArray("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Keep]\n");
        QTest::newRow("bad dword")
            << QByteArray("REGEDIT4\n[HKEY_CURRENT_USER\\Keep]\n\"V\"=dword:123456789\n");
        QTest::newRow("value before section") << QByteArray("REGEDIT4\n\"V\"=\"x\"\n");
        QByteArray deep = "REGEDIT4\n[HKEY_CURRENT_USER";
        for (int i = 0; i < 513; ++i)
            deep += "\\k";
        QTest::newRow("nested deeper than 512") << deep + "]\n";
        // 512 levels of 255-byte names: each section would repeat up to 130 KB of path.
        QByteArray wide = "REGEDIT4\n[HKEY_CURRENT_USER";
        for (int i = 0; i < 512; ++i)
            wide += "\\" + QByteArray(255, 'n');
        QTest::newRow("saved form past 16 MB") << wide + "]\n";
    }

    void damagedFilesAreKeptAsideAndGiveDefaults()
    {
        QFETCH(QByteArray, content);
        writeText(userHive(), content.toStdString());
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyEx(HKEY_CURRENT_USER, "Keep", &key), ERROR_FILE_NOT_FOUND);
        QCOMPARE(QByteArray::fromStdString(readText(userHive())), content); // reading moves nothing
        QVERIFY(badFiles(m_configFolder).isEmpty());

        key = create("Fresh");
        QVERIFY(key);
        QCOMPARE(SetDwordValue(key, "V", 3), ERROR_SUCCESS);
        RegCloseKey(key);
        const QStringList bad = badFiles(m_configFolder);
        QCOMPARE(bad.size(), 1);
        QCOMPARE(QByteArray::fromStdString(
                     readText(m_configFolder.toStdString() + "/" + bad.front().toStdString())),
                 content);
        QVERIFY(reg::parseRegFile(readText(userHive()), "HKEY_CURRENT_USER").ok());
    }

    void hivePathThatIsAFolderIsLeftAlone()
    {
        QVERIFY(QDir().mkpath(m_configFolder + QStringLiteral("/user.reg/inside")));
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyEx(HKEY_CURRENT_USER, "Any", &key), ERROR_FILE_NOT_FOUND);
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "Any", &key), ERROR_ACCESS_DENIED);
        QVERIFY(QFileInfo(m_configFolder + QStringLiteral("/user.reg/inside")).isDir());
        QVERIFY(badFiles(m_configFolder).isEmpty());
    }

    void symlinkedHiveStaysALink()
    {
        const QString real = m_dir->path() + QStringLiteral("/dotfiles/user.reg");
        QVERIFY(QDir().mkpath(m_dir->path() + QStringLiteral("/dotfiles")));
        QVERIFY(QDir().mkpath(m_configFolder));
        writeText(real.toStdString(), "REGEDIT4\n[HKEY_CURRENT_USER\\Linked]\n");
        QVERIFY(QFile::link(real, QString::fromStdString(userHive())));
        HKEY key = create("Linked");
        QVERIFY(key);
        QCOMPARE(SetDwordValue(key, "V", 1), ERROR_SUCCESS);
        RegCloseKey(key);
        QVERIFY(QFileInfo(QString::fromStdString(userHive())).isSymLink());
        QVERIFY(readText(real.toStdString()).find("\"V\"=dword:00000001") != std::string::npos);
        QVERIFY(!QFile::exists(real + QStringLiteral(".lock"))); // the lock stays in our folder
    }

    void unsafePlacesAreReadButNotWritten_data()
    {
        QTest::addColumn<QString>("place");
        QTest::newRow("folder writable by others") << "open folder";
        QTest::newRow("folder of another user") << "foreign folder";
        QTest::newRow("link to another user's file") << "foreign target";
        QTest::newRow("link to a folder") << "folder target";
    }

    void unsafePlacesAreReadButNotWritten()
    {
        QFETCH(QString, place);
        const std::string content =
            "REGEDIT4\n[HKEY_CURRENT_USER\\Existing]\n\"Value\"=dword:00000007\n";
        const std::string folder = m_configFolder.toStdString();
        const std::string target = m_dir->path().toStdString() + "/elsewhere/user.reg";
        if (place.endsWith(QLatin1String("target"))) {
            QVERIFY(QDir().mkpath(m_configFolder));
            if (place.startsWith(QLatin1String("folder")))
                QVERIFY(QDir().mkpath(QString::fromStdString(target)));
            else
                writeText(target, content);
            QVERIFY(::symlink(target.c_str(), userHive().c_str()) == 0);
            if (place.startsWith(QLatin1String("foreign")) &&
                ::chown(target.c_str(), 65534, 65534) != 0)
                QSKIP("giving a file to another user needs root");
        } else {
            writeText(userHive(), content);
            if (place.startsWith(QLatin1String("open")))
                QVERIFY(::chmod(folder.c_str(), 0777) == 0);
            else if (::chown(folder.c_str(), 65534, 65534) != 0)
                QSKIP("giving a folder to another user needs root");
        }
        const std::string before = readText(userHive());
        HKEY key = nullptr;
        if (place != QLatin1String("folder target")) {
            QCOMPARE(RegOpenKeyEx(HKEY_CURRENT_USER, "Existing", &key), ERROR_SUCCESS);
            std::uint32_t v = 0;
            QCOMPARE(QueryDwordValue(key, "Value", v), ERROR_SUCCESS);
            QCOMPARE(v, 7u);
            QCOMPARE(SetDwordValue(key, "Value", 8), ERROR_ACCESS_DENIED);
            RegCloseKey(key);
        }
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "New", &key), ERROR_ACCESS_DENIED);
        QCOMPARE(readText(userHive()), before);
        QVERIFY(!QFile::exists(QString::fromStdString(target + ".lock")));
        ::chown(folder.c_str(), 0, 0);
        ::chmod(folder.c_str(), 0700);
    }

    void readOnlyConfigFolderRefusesWrites()
    {
        writeText(userHive(),
                  "REGEDIT4\n[HKEY_CURRENT_USER\\Existing]\n\"Value\"=dword:00000007\n");
        const QString readOnlyRoot = m_dir->path() + QStringLiteral("/readonly-root");
        QVERIFY(QDir().mkpath(readOnlyRoot));
        // Readable for the unprivileged child, writable by nobody.
        QVERIFY(::chmod(m_dir->path().toUtf8().constData(), 0755) == 0);
        QVERIFY(::chmod((m_dir->path() + QStringLiteral("/config")).toUtf8().constData(), 0755) ==
                0);
        QVERIFY(::chmod(userHive().c_str(), 0644) == 0);
        QVERIFY(::chmod(m_configFolder.toUtf8().constData(), 0555) == 0);
        QVERIFY(::chmod(readOnlyRoot.toUtf8().constData(), 0555) == 0);

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("OXLUME_REGISTRY_CHILD"), QStringLiteral("readonly"));
        env.insert(QStringLiteral("OXLUME_READONLY_ROOT"), readOnlyRoot);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(readText(userHive()).find("dword:00000007") != std::string::npos);
        ::chmod(m_configFolder.toUtf8().constData(), 0700);
    }
};

int main(int argc, char **argv)
{
    if (const char *role = std::getenv("OXLUME_REGISTRY_CHILD");
        role && std::string(role) == "readonly")
        return readOnlyChild();
    QCoreApplication app(argc, argv);
    TstRegistry test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_registry.moc"
