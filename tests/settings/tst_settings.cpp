// The settings record: defaults, the stored values and their byte-level rules, the
// one-shot requests and the slide-speed scale.

#include "associations/FileAssociations.h"
#include "guidance/HintSettings.h"
#include "guidance/TipSettings.h"
#include "platform/RegFile.h"
#include "platform/Registry.h"
#include "settings/OptionsUnit.h"
#include "shell/FileNameFunctions.h"

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

// Writes the settings key with the given lines of values, as a user editing the file would.
void storeSettings(const std::string &valueLines)
{
    test::writeText(RegistryHivePath(HKEY_CURRENT_USER),
                    "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Kestrune\\Marzel]\n" + valueLines);
}

// The stored value under the settings key, or nullopt.
std::optional<reg::RegValue> stored(const std::string &name)
{
    Result<reg::RegKey> tree =
        reg::parseRegFile(readText(RegistryHivePath(HKEY_CURRENT_USER)), "HKEY_CURRENT_USER");
    if (!tree.ok())
        return std::nullopt;
    const reg::RegKey *key = tree.value().find({"SOFTWARE", "Kestrune", "Marzel"});
    const reg::RegValue *v = key ? key->findValue(name) : nullptr;
    return v ? std::optional<reg::RegValue>(*v) : std::nullopt;
}

std::string dwordBytes(std::uint32_t v)
{
    return std::string{char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff),
                       char((v >> 24) & 0xff)};
}

} // namespace

class TstSettings : public QObject {
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

    void firstStartUsesDefaultsAndSavesEverything()
    {
        LoadOptions();
        QVERIFY(Options.UseWorkThread);
        QCOMPARE(Options.StartDirectory, TStartDirectory::Desktop);
        QCOMPARE(Options.LastDirectory, std::string());
        QCOMPARE(Options.CustomDirectory, DesktopPath());
        QVERIFY(!Options.FileAssociations);
        QCOMPARE(Options.SlideShowSpeed, 108);
        QCOMPARE(Options.SlideMethod, TSlideMethod::FromCurrent);
        QVERIFY(!Options.SlideStopOnMouse && !Options.SlideFullScreen && !Options.SlideShowLoop);
        QVERIFY(!Options.ShowControls);
        QVERIFY(Options.ShowButtons);
        QVERIFY(!FirstRunRequested());
        HKEY key = nullptr;
        QCOMPARE(RegOpenKeyEx(HKEY_CURRENT_USER, OptionsKeyPath, &key), ERROR_SUCCESS);
        RegCloseKey(key);

        QVERIFY(SaveOptions(DesktopPath()).ok());
        QCOMPARE(stored("Last Directory")->data, DesktopPath() + '\0');
        QCOMPARE(stored("Last Directory")->type, REG_SZ);
        QCOMPARE(stored("Custom Directory")->data, DesktopPath() + '\0');
        const std::pair<const char *, std::uint32_t> dwords[] = {
            {"Use Work Thread", 0xffffffff}, {"Start Directory", 1},    {"File Associations", 0},
            {"Slide Show Speed", 108},       {"Slide Method", 1},       {"Slide Stop On Mouse", 0},
            {"Slide Full Screen", 0},        {"Slide Show Loop", 0},    {"Show Controls", 0},
            {"Show Buttons", 0xffffffff},    {"Show Tips", 0xffffffff}, {"Next Tip", 0},
            {"Disable All Hints", 0},        {"Hint Disabled", 0}};
        for (const auto &[name, value] : dwords) {
            const auto v = stored(name);
            QVERIFY2(v, name);
            QCOMPARE(v->type, REG_DWORD);
            QCOMPARE(v->data, dwordBytes(value));
        }
        QVERIFY(!stored("First Run") && !stored("Set File Associations"));
    }

    void storedValuesAreRead()
    {
        storeSettings("\"Last Directory\"=\"/pics/last\"\n"
                      "\"Custom Directory\"=\"/pics/custom\"\n"
                      "\"Use Work Thread\"=dword:00000000\n"
                      "\"Start Directory\"=dword:00000003\n"
                      "\"File Associations\"=dword:ffffffff\n"
                      "\"Slide Show Speed\"=dword:00000063\n" // 99: no range check
                      "\"Slide Method\"=dword:00000102\n"     // 258: low byte 2
                      "\"Slide Stop On Mouse\"=dword:00000001\n"
                      "\"Slide Full Screen\"=dword:00000002\n"
                      "\"Slide Show Loop\"=dword:ffffffff\n"
                      "\"Show Controls\"=dword:00000001\n"
                      "\"Show Buttons\"=dword:00000000\n");
        LoadOptions();
        QCOMPARE(Options.LastDirectory, std::string("/pics/last"));
        QCOMPARE(Options.CustomDirectory, std::string("/pics/custom"));
        QVERIFY(!Options.UseWorkThread);
        QCOMPARE(Options.StartDirectory, TStartDirectory::Custom);
        QVERIFY(Options.FileAssociations);
        QCOMPARE(Options.SlideShowSpeed, 99);
        QCOMPARE(Options.SlideMethod, TSlideMethod::Random);
        QVERIFY(Options.SlideStopOnMouse && Options.SlideFullScreen && Options.SlideShowLoop);
        QVERIFY(Options.ShowControls);
        QVERIFY(!Options.ShowButtons);
    }

    void trueIsStoredAsAllBitsSet()
    {
        LoadOptions();
        LongBool *const fields[] = {&Options.UseWorkThread,    &Options.FileAssociations,
                                    &Options.SlideStopOnMouse, &Options.SlideFullScreen,
                                    &Options.SlideShowLoop,    &Options.ShowControls,
                                    &Options.ShowButtons};
        for (LongBool *field : fields)
            *field = true;
        QVERIFY(SaveOptions("/x").ok());
        for (const char *name :
             {"Use Work Thread", "File Associations", "Slide Stop On Mouse", "Slide Full Screen",
              "Slide Show Loop", "Show Controls", "Show Buttons"}) {
            const auto v = stored(name);
            QVERIFY2(v && v->data == dwordBytes(0xffffffff), name);
        }
    }

    void saveIsOneRewriteOfTheFile()
    {
        LoadOptions();
        QVERIFY(SaveOptions("/first").ok());
        const std::string hive = RegistryHivePath(HKEY_CURRENT_USER);
        Options.ShowControls = true;
        Options.SlideShowSpeed = 110;
        const int saves = test::savesDuring(hive.substr(0, hive.rfind('/')), "user.reg",
                                            [] { QVERIFY(SaveOptions("/second").ok()); });
        QCOMPARE(saves, 1);
        QCOMPARE(stored("Last Directory")->data, std::string("/second") + '\0');
        QCOMPARE(stored("Slide Show Speed")->data, dwordBytes(110));
    }

    void loadReadsTheFileOnce()
    {
        storeSettings("\"Slide Show Speed\"=dword:0000006e\n\"Show Tips\"=dword:00000000\n"
                      "\"Next Tip\"=dword:00000003\n\"Disable All Hints\"=dword:00000001\n");
        const std::string hive = RegistryHivePath(HKEY_CURRENT_USER);
        QCOMPARE(test::opensDuring(hive.substr(0, hive.rfind('/')), "user.reg", LoadOptions), 1);
        QCOMPARE(Options.SlideShowSpeed, 110);
        QVERIFY(!ShowTips());
    }

    void failedSaveSaysWhichFileAndWhy_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("reason");
        QTest::newRow("hive is a folder") << "folder"
                                          << "not a file that can be read";
        QTest::newRow("folder open to others") << "open"
                                               << "writable by other users";
    }

    void failedSaveSaysWhichFileAndWhy()
    {
        QFETCH(QString, place);
        QFETCH(QString, reason);
        LoadOptions();
        const std::string hive = RegistryHivePath(HKEY_CURRENT_USER);
        const std::string folder = hive.substr(0, hive.rfind('/'));
        if (place == QLatin1String("folder")) {
            QVERIFY(QFile::remove(QString::fromStdString(hive)));
            QVERIFY(QDir().mkpath(QString::fromStdString(hive)));
        } else {
            QVERIFY(::chmod(folder.c_str(), 0777) == 0);
        }
        const Result<void> saved = SaveOptions("/x");
        QVERIFY(!saved.ok());
        const QString message = QString::fromStdString(saved.error().message);
        QVERIFY2(message.contains(QString::fromStdString(hive)), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        ::chmod(folder.c_str(), 0700);
    }

    void enumerationsKeepOnlyTheLowByte()
    {
        storeSettings("\"Start Directory\"=dword:00000007\n\"Slide Method\"=dword:0000ff05\n");
        LoadOptions();
        QCOMPARE(static_cast<int>(Options.StartDirectory), 7); // passes through unchanged
        QCOMPARE(static_cast<int>(Options.SlideMethod), 5);
        QVERIFY(SaveOptions("").ok());
        QCOMPARE(stored("Start Directory")->data, dwordBytes(7));
        QCOMPARE(stored("Slide Method")->data, dwordBytes(5)); // written zero-extended
    }

    void storedOneIsWrittenBackUnlessAssigned()
    {
        storeSettings("\"Show Controls\"=dword:00000001\n\"Slide Show Loop\"=dword:00000001\n");
        LoadOptions();
        QVERIFY(Options.ShowControls);
        QVERIFY(Options.SlideShowLoop);
        Options.SlideShowLoop = true; // the Options dialog assigns it
        QVERIFY(SaveOptions("/x").ok());
        QCOMPARE(stored("Show Controls")->data, dwordBytes(1));
        QCOMPARE(stored("Slide Show Loop")->data, dwordBytes(0xffffffff));
    }

    void oneShotRequestsAreDeletedOnRead()
    {
        storeSettings("\"First Run\"=dword:00000001\n\"Set File Associations\"=dword:00000001\n");
        LoadOptions();
        QVERIFY(FirstRunRequested());
        QVERIFY(Options.FileAssociations);
        QVERIFY(!stored("First Run"));
        QVERIFY(!stored("Set File Associations"));
        HKEY command = nullptr;
        QCOMPARE(RegOpenKeyEx(HKEY_CLASSES_ROOT, "Marzel JPG\\shell\\Oxlume\\command", &command),
                 ERROR_SUCCESS);
        RegCloseKey(command);
        QVERIFY(SaveOptions("/x").ok());
        QCOMPARE(stored("File Associations")->data, dwordBytes(0xffffffff));
        QVERIFY(!stored("First Run"));

        // A zero request is no request: it stays and nothing is installed.
        storeSettings("\"Set File Associations\"=dword:00000000\n");
        LoadOptions();
        QVERIFY(!Options.FileAssociations);
        QVERIFY(stored("Set File Associations"));
    }

    void stringsUpTo512Bytes_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("expected"); // empty: the default stays
        const QByteArray fits(512, 'p');
        QTest::newRow("512 bytes") << ("\"Last Directory\"=\"" + fits + "\"\n") << fits;
        QTest::newRow("513 bytes") << ("\"Last Directory\"=\"" + fits + "q\"\n") << QByteArray();
        QTest::newRow("empty") << QByteArray("\"Last Directory\"=\"\"\n") << QByteArray();
        QTest::newRow("up to a zero")
            << QByteArray("\"Last Directory\"=hex(1):2f,61,00,62,00\n") << QByteArray("/a");
        QTest::newRow("number instead")
            << QByteArray("\"Last Directory\"=dword:2f2f2f2f\n") << QByteArray();
    }

    void stringsUpTo512Bytes()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, expected);
        storeSettings(line.toStdString() + line.toStdString().replace(1, 4, "Custom"));
        LoadOptions();
        QCOMPARE(QByteArray::fromStdString(Options.LastDirectory), expected);
        QCOMPARE(Options.CustomDirectory,
                 expected.isEmpty() ? DesktopPath() : expected.toStdString());
    }

    void numbersOfWrongTypeOrSizeKeepDefaults()
    {
        storeSettings("\"Use Work Thread\"=\"0\"\n"         // text where a number belongs
                      "\"Slide Show Speed\"=hex(4):64,00\n" // two bytes only
                      "\"Show Buttons\"=hex:00,00,00,00\n"  // four binary bytes count
                      "\"Slide Method\"=\"2\"\n");
        LoadOptions();
        QVERIFY(Options.UseWorkThread);
        QCOMPARE(Options.SlideShowSpeed, 108);
        QVERIFY(!Options.ShowButtons);
        QCOMPARE(Options.SlideMethod, TSlideMethod::FromCurrent);
    }

    void emptyCurrentDirectoryKeepsLastDirectory()
    {
        storeSettings("\"Last Directory\"=\"/kept\"\n");
        LoadOptions();
        Options.CustomDirectory.clear();
        QVERIFY(SaveOptions("").ok());
        QCOMPARE(stored("Last Directory")->data, std::string("/kept") + '\0');
        QCOMPARE(stored("Custom Directory")->data, std::string(1, '\0')); // a single zero byte
        QVERIFY(SaveOptions("/new").ok());
        QCOMPARE(stored("Last Directory")->data, std::string("/new") + '\0');
    }

    void damagedHiveGivesDefaultsAndIsKept()
    {
        const std::string hive = RegistryHivePath(HKEY_CURRENT_USER);
        QDir().mkpath(QString::fromStdString(hive.substr(0, hive.rfind('/'))));
        QFile f(QString::fromStdString(hive));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\Kestrune\\Marzel]\n\"Show "
                "Buttons\"=dword:0\n\"Broken");
        f.close();
        LoadOptions();
        QVERIFY(Options.ShowButtons);
        const QDir folder(QString::fromStdString(hive.substr(0, hive.rfind('/'))));
        QCOMPARE(folder.entryList({QStringLiteral("user.reg.bad-*")}).size(), 1);
    }

    void slideSpeedText_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("100") << 100 << "tenth second";
        QTest::newRow("102") << 102 << "third second";
        QTest::newRow("104") << 104 << "three-quarter second";
        QTest::newRow("105") << 105 << "second";
        QTest::newRow("106") << 106 << "2 seconds";
        QTest::newRow("108") << 108 << "4 seconds";
        QTest::newRow("112") << 112 << "12.5 seconds";
        QTest::newRow("124") << 124 << "120 seconds";
        QTest::newRow("99") << 99 << "Invalid speed";
        QTest::newRow("125") << 125 << "Invalid speed";
        QTest::newRow("min int") << std::numeric_limits<int>::min() << "Invalid speed";
    }

    void slideSpeedText()
    {
        QFETCH(int, position);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(SlideSpeedText(position)), text);
    }

    void slideSpeedIntervalsAreCheckedByPosition()
    {
        QCOMPARE(SlideSpeedIntervals[100], 100);
        QCOMPARE(SlideSpeedIntervals[102], 333);
        QCOMPARE(SlideSpeedIntervals[124], 120000);
        QVERIFY_THROWS_EXCEPTION(RangeCheckError, SlideSpeedIntervals[99]);
        QVERIFY_THROWS_EXCEPTION(RangeCheckError, SlideSpeedIntervals[125]);
    }
};

QTEST_GUILESS_MAIN(TstSettings)
#include "tst_settings.moc"
