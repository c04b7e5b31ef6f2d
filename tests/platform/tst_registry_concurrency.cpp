// Two processes writing the same hive, and saves killed half-way: the file must always
// parse, hold the old or the new content, and no process may lose another's change.

#include "platform/RegFile.h"
#include "platform/Registry.h"
#include "platform/RegistryValues.h"

#include "common/Files.h"
#include "common/TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <thread>

using namespace oxlume;
using oxlume::test::readText;

namespace {

constexpr int kValuesPerWriter = 200;
constexpr std::size_t kBigA = 150000;
constexpr std::size_t kBigB = 90000;

// Child: sets kValuesPerWriter values of its own under a shared key.
int writerChild(const std::string &prefix)
{
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, "Shared\\Key", &key) != ERROR_SUCCESS)
        return 2;
    for (int i = 0; i < kValuesPerWriter; ++i) {
        if (SetDwordValue(key, prefix + std::to_string(i), static_cast<std::uint32_t>(i)) !=
            ERROR_SUCCESS)
            return 3;
    }
    RegCloseKey(key);
    return 0;
}

// Child: rewrites a large value back and forth until it is killed.
int flipperChild()
{
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, "Crash", &key) != ERROR_SUCCESS)
        return 2;
    const std::string a(kBigA, 'a');
    const std::string b(kBigB, 'b');
    for (std::uint32_t n = 0;; ++n) {
        SetStringValue(key, "Big", (n % 2) ? b : a);
        SetDwordValue(key, "Counter", n);
    }
}

} // namespace

class TstRegistryConcurrency : public QObject {
    Q_OBJECT

private:
    std::optional<test::ScopedXdgHome> m_dir;

    QProcess *startChild(const QString &role)
    {
        auto *child = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("OXLUME_REGISTRY_CHILD"), role);
        child->setProcessEnvironment(env);
        child->start(QCoreApplication::applicationFilePath(), {});
        return child;
    }

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void concurrentWritersLoseNothing()
    {
        QProcess *a = startChild(QStringLiteral("writer:A-"));
        QProcess *b = startChild(QStringLiteral("writer:B-"));
        // This process writes at the same time, through the same calls.
        HKEY key = nullptr;
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "Shared\\Key", &key), ERROR_SUCCESS);
        for (int i = 0; i < 50; ++i)
            QCOMPARE(SetDwordValue(key, "Main-" + std::to_string(i), 1), ERROR_SUCCESS);
        QVERIFY(a->waitForFinished(120000));
        QVERIFY(b->waitForFinished(120000));
        QCOMPARE(a->exitCode(), 0);
        QCOMPARE(b->exitCode(), 0);

        DWORD values = 0;
        QCOMPARE(RegQueryInfoKey(key, nullptr, nullptr, &values, nullptr, nullptr), ERROR_SUCCESS);
        QCOMPARE(values, DWORD(2 * kValuesPerWriter + 50));
        for (int i = 0; i < kValuesPerWriter; ++i) {
            std::uint32_t v = 0xffffffff;
            QCOMPARE(QueryDwordValue(key, "A-" + std::to_string(i), v), ERROR_SUCCESS);
            QCOMPARE(v, std::uint32_t(i));
            QCOMPARE(QueryDwordValue(key, "B-" + std::to_string(i), v), ERROR_SUCCESS);
            QCOMPARE(v, std::uint32_t(i));
        }
        RegCloseKey(key);
    }

    void killedSaveLeavesOldOrNewFile()
    {
        const std::string hive = RegistryHivePath(HKEY_CURRENT_USER);
        const QString folder = QString::fromStdString(hive.substr(0, hive.rfind('/')));
        for (int round = 0; round < 20; ++round) {
            QProcess *child = startChild(QStringLiteral("flipper"));
            QVERIFY(child->waitForStarted());
            // Let it get going, then kill it at an arbitrary moment of a save.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(20 + QRandomGenerator::global()->bounded(60)));
            child->kill();
            QVERIFY(child->waitForFinished());
            delete child;

            const std::string text = readText(hive);
            if (text.empty())
                continue; // killed before the first save
            Result<reg::RegKey> parsed = reg::parseRegFile(text, "HKEY_CURRENT_USER");
            QVERIFY2(parsed.ok(), parsed.ok() ? "" : parsed.error().message.c_str());
            const reg::RegKey *crash = parsed.value().find({"Crash"});
            QVERIFY(crash);
            if (const reg::RegValue *big = crash->findValue("Big")) {
                const bool isA = big->data == std::string(kBigA, 'a') + '\0';
                const bool isB = big->data == std::string(kBigB, 'b') + '\0';
                QVERIFY(isA || isB);
            }
        }
        // The next save clears what the killed ones left behind.
        HKEY key = nullptr;
        QCOMPARE(RegCreateKeyEx(HKEY_CURRENT_USER, "After", &key), ERROR_SUCCESS);
        RegCloseKey(key);
        QCOMPARE(QDir(folder).entryList({QStringLiteral("user.reg.tmp-*")}, QDir::Files).size(), 0);
        QCOMPARE(QDir(folder).entryList({QStringLiteral("user.reg.bad-*")}, QDir::Files).size(), 0);
    }
};

int main(int argc, char **argv)
{
    if (const char *role = std::getenv("OXLUME_REGISTRY_CHILD")) {
        const std::string r = role;
        if (r.rfind("writer:", 0) == 0)
            return writerChild(r.substr(7));
        if (r == "flipper")
            return flipperChild();
        return 1;
    }
    QCoreApplication app(argc, argv);
    TstRegistryConcurrency test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_registry_concurrency.moc"
