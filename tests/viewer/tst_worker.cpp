// The background decoder: only the latest request is shown, nothing deadlocks, and the
// worker never holds up the end of the process.

#include "viewer/ImageLoader.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <unistd.h>

using namespace oxlume;
using oxlume::imaging::TImager;
using oxlume::imaging::WindowlessImager;

namespace {

const char *const kChildVariable = "OXLUME_WORKER_EXIT_CHILD";

std::string save(const QString &path, const QImage &image, const char *format)
{
    if (!image.save(path, format, 90))
        return {};
    return QFile::encodeName(path).toStdString();
}

QImage pattern(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = qRgb((x * 7) & 255, (y * 3) & 255, ((x ^ y) * 5) & 255);
    }
    return image;
}

struct Rig {
    TImager imager1;
    WindowlessImager decoder;
    WindowlessImager unadjusted;
    TOptions options;
    QString caption;
    std::unique_ptr<ImageLoader> loader;

    Rig()
    {
        ImageLoader::WindowHooks hooks;
        hooks.caption = [this] { return caption; };
        hooks.setCaption = [this](const QString &text) { caption = text; };
        hooks.title = [] { return QString(); };
        hooks.setTitle = [](const QString &) {};
        loader = std::make_unique<ImageLoader>(imager1, decoder, unadjusted, options, hooks);
    }
};

// The large image, written once per run and shared with the child process.
QString largeImagePath()
{
    return QDir::temp().filePath(
        QStringLiteral("oxlume-worker-large-%1.jpg")
            .arg(qEnvironmentVariable(kChildVariable).isEmpty()
                     ? QCoreApplication::applicationPid()
                     : qEnvironmentVariableIntValue("OXLUME_WORKER_PARENT")));
}

} // namespace

class TestWorker : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void lastRequestAlwaysWins();
    void readAheadNeverShowsAStaleImage();
    void readAheadGivesWayAtOnce_data();
    void readAheadGivesWayAtOnce();
    void reselectingASilencedLoadLoadsItAgain();
    void decodeLockWaitsForTheRunningDecode();
    void destroyingStopsALargeDecodeEarly();
    void destroyingReleasesAWaitingHandOver();
    void exitSilencesTheWorker();

private:
    QTemporaryDir m_dir;
    std::vector<std::string> m_images; // image k is (40 + 37k) pixels wide
    std::string m_large;
    qint64 m_largeDecodeMs = 0;
};

void TestWorker::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (int k = 0; k < 6; ++k) {
        const int width = 40 + 37 * k;
        m_images.push_back(save(m_dir.filePath(QStringLiteral("img%1.bmp").arg(k)),
                                pattern(width, 30 + 90 * k), "BMP"));
        QVERIFY(!m_images.back().empty());
    }
    m_large = save(largeImagePath(), pattern(3000, 2000), "JPG");
    if (m_large.empty())
        QSKIP("no JPEG writer among the Qt image plugins");
    TImager probe;
    QElapsedTimer clock;
    clock.start();
    probe.LoadFile(m_large);
    m_largeDecodeMs = clock.elapsed();
    qInfo("large image decodes in %lld ms", m_largeDecodeMs);
}

void TestWorker::cleanupTestCase()
{
    QFile::remove(largeImagePath());
}

void TestWorker::lastRequestAlwaysWins()
{
    Rig rig;
    // Every hand-over must be of the request standing at that moment.
    int staleHandOvers = 0;
    connect(rig.loader.get(), &ImageLoader::imageHandedOver, this, [&](const QString &path) {
        if (QFile::encodeName(path).toStdString() != rig.loader->RequestedFile())
            ++staleHandOvers;
    });

    std::vector<std::string> choices = m_images;
    choices.push_back(m_dir.filePath(QStringLiteral("missing.bmp")).toStdString());
    choices.push_back(std::string());
    choices.push_back(m_large);
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("seed %u", seed);

    for (int round = 0; round < 4; ++round) {
        std::size_t last = 0;
        std::size_t before = 0;
        int lastIndex = 0;
        for (int k = 0; k < 120; ++k) {
            lastIndex = k;
            // Going back to the file before (A, B, A) is the case where a passed-over load
            // is asked for again.
            const std::size_t next = random.bounded(3u) == 0
                                         ? before
                                         : std::size_t(random.bounded(quint32(choices.size())));
            before = last;
            last = next;
            rig.loader->ShowImage(choices[last]);
            const int pause = int(random.bounded(4u));
            if (pause > 0)
                QTest::qWait(pause); // serves hand-overs meanwhile
            else if (random.bounded(2u))
                QThread::usleep(random.bounded(2000u)); // hand-overs left waiting
        }
        QVERIFY2(QTest::qWaitFor([&] { return rig.loader->isWorkerParked(); }, 10000),
                 "worker did not park again");
        // Nothing may still be under way; a late preview of an image passed would land
        // within a decode.
        QTest::qWait(20 + int(m_largeDecodeMs));
        QVERIFY(rig.loader->isWorkerParked());
        QCOMPARE(rig.loader->RequestedFile(), choices[last]);
        QCOMPARE(rig.loader->LoadingFile(), choices[last]);

        const QImage shown = rig.imager1.BitmapList();
        if (last < m_images.size())
            QCOMPARE(shown.width(), 40 + 37 * int(last));
        else if (choices[last] == m_large)
            QCOMPARE(rig.imager1.shownSize(), QSize(3000, 2000));
        else
            QVERIFY2(shown.isNull(),
                     qPrintable(QStringLiteral("round %1 k %2 last '%3' shows %4 x %5")
                                    .arg(round)
                                    .arg(lastIndex)
                                    .arg(QString::fromStdString(choices[last]))
                                    .arg(shown.width())
                                    .arg(shown.height())));
        QCOMPARE(int(rig.decoder.BitmapListCount()), 0);
    }
    QCOMPARE(staleHandOvers, 0);
    QVERIFY(rig.loader->handOverCount() > 0);
}

// With read-ahead of "the file after the request", a storm of requests among files that are
// rewritten meanwhile: the last request wins and what is shown is the file as it is now.
void TestWorker::readAheadNeverShowsAStaleImage()
{
    QTemporaryDir dir;
    constexpr int kFiles = 5;
    std::vector<std::string> files;
    std::vector<int> version(kFiles, 0);
    const auto width = [](int k, int v) { return 40 + 37 * k + 200 * v; };
    const auto write = [&](int k) {
        return save(dir.filePath(QStringLiteral("f%1.bmp").arg(k)),
                    pattern(width(k, version[std::size_t(k)]), 60), "BMP");
    };
    for (int k = 0; k < kFiles; ++k)
        files.push_back(write(k));

    Rig rig;
    int staleHandOvers = 0;
    connect(rig.loader.get(), &ImageLoader::imageHandedOver, this, [&](const QString &path) {
        if (QFile::encodeName(path).toStdString() != rig.loader->RequestedFile())
            ++staleHandOvers;
    });
    rig.loader->setNextFileProvider([&] {
        const auto at = std::find(files.begin(), files.end(), rig.loader->RequestedFile());
        return at != files.end() && at + 1 != files.end() ? *(at + 1) : std::string();
    });
    // First without chance: the file after the one shown is read ahead, then rewritten.
    rig.loader->ShowImage(files[0]);
    QVERIFY(QTest::qWaitFor([&] { return rig.loader->readAheadFile() == files[1]; }, 10000));
    ++version[1];
    QVERIFY(!write(1).empty());
    rig.loader->ShowImage(files[1]);
    QVERIFY(QTest::qWaitFor([&] { return rig.loader->handOverCount() == 2; }, 10000));
    QCOMPARE(rig.imager1.BitmapList().width(), width(1, version[1]));
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("seed %u", seed);

    int last = 0;
    for (int round = 0; round < 40; ++round) {
        for (int k = int(random.bounded(6u)); k > 0; --k) {
            // Mostly steps down, the case read-ahead serves; sometimes a jump.
            last = random.bounded(3u) ? std::min(last + 1, kFiles - 1)
                                      : int(random.bounded(quint32(kFiles)));
            rig.loader->ShowImage(files[std::size_t(last)]);
            if (random.bounded(2u))
                QTest::qWait(int(random.bounded(5u)));
        }
        // Rewrite a file, often the one read ahead, while it may be cached or decoding;
        // often step down onto it then.
        if (random.bounded(2u))
            (void)QTest::qWaitFor([&] { return !rig.loader->readAheadFile().empty(); }, 200);
        const int changed = random.bounded(2u) ? std::min(last + 1, kFiles - 1)
                                               : int(random.bounded(quint32(kFiles)));
        if (random.bounded(3u)) {
            ++version[std::size_t(changed)];
            QVERIFY(!write(changed).empty());
        }
        if (random.bounded(2u))
            last = changed;
        // The same request again does nothing, so a file changed under it is asked for anew.
        if (rig.loader->RequestedFile() == files[std::size_t(last)] || random.bounded(4u) == 0)
            rig.loader->ShowImage({});

        rig.loader->ShowImage(files[std::size_t(last)]);
        QVERIFY2(
            QTest::qWaitFor(
                [&] { return rig.loader->isWorkerParked() && rig.imager1.BitmapListCount() != 0; },
                10000),
            "worker did not settle");
        QCOMPARE(rig.imager1.BitmapList().width(), width(last, version[std::size_t(last)]));
    }
    QCOMPARE(staleHandOvers, 0);
}

void TestWorker::readAheadGivesWayAtOnce_data()
{
    QTest::addColumn<bool>("askForIt"); // request the very file being read ahead
    QTest::newRow("another file") << false;
    QTest::newRow("the file read ahead") << true;
}

// A request never waits behind a read-ahead: another file cancels it, the same file takes
// it over without starting again.
void TestWorker::readAheadGivesWayAtOnce()
{
    QFETCH(bool, askForIt);
    Rig rig;
    int asked = 0; // read ahead once only
    rig.loader->setNextFileProvider([&] { return ++asked == 1 ? m_large : std::string(); });
    rig.loader->ShowImage(m_images[0]);
    QVERIFY(QTest::qWaitFor([&] { return rig.loader->handOverCount() == 1; }, 5000));
    QTest::qWait(int(std::min<qint64>(30, m_largeDecodeMs / 4))); // well into the read-ahead
    QVERIFY(rig.loader->isWorkerParked());                        // reading ahead counts as resting
    // On a loaded machine the wait above can outlast the whole decode.
    if (rig.loader->readAheadsDecoded() != 0)
        QSKIP("the machine was too slow to ask before the read-ahead ended");

    rig.loader->ShowImage(askForIt ? m_large : m_images[1]);
    QVERIFY(QTest::qWaitFor([&] { return rig.loader->handOverCount() == 2; }, 10000));
    if (askForIt) {
        QCOMPARE(rig.imager1.shownSize(), QSize(3000, 2000));
    } else {
        QCOMPARE(rig.imager1.BitmapList().width(), 40 + 37);
        // Cancelled, not finished in the background: nothing lands in the cache.
        QTest::qWait(int(m_largeDecodeMs) + 100);
        QCOMPARE(rig.loader->readAheadFile(), std::string());
    }
    // Taken over, the read-ahead ran to its end once; given way to another file, it stopped
    // short.
    if (rig.loader->readAheadsBegun() == 0)
        QSKIP("the machine was too busy to begin the read-ahead before the request");
    QCOMPARE(rig.loader->readAheadsDecoded(), askForIt ? 1 : 0);
}

void TestWorker::reselectingASilencedLoadLoadsItAgain()
{
    for (int round = 0; round < 5; ++round) {
        Rig rig;
        rig.loader->ShowImage(m_large);
        QVERIFY(QTest::qWaitFor([&] { return !rig.loader->PendingCaption().isEmpty(); }, 5000));
        rig.loader->ShowImage(m_images[1]);
        QElapsedTimer clock;
        clock.start();
        while (rig.decoder.EnableProgressEvent() && clock.elapsed() < 2000)
            QThread::yieldCurrentThread(); // silenced at its next report
        if (rig.decoder.EnableProgressEvent())
            continue; // it finished before it could be silenced
        // Back to the first: the silenced load stopped short, so it must not be shown.
        rig.loader->ShowImage(m_large);
        QVERIFY(QTest::qWaitFor(
            [&] { return rig.loader->isWorkerParked() && rig.imager1.BitmapListCount() != 0; },
            5000));
        QCOMPARE(rig.imager1.shownSize(), QSize(3000, 2000));
    }
}

void TestWorker::decodeLockWaitsForTheRunningDecode()
{
    Rig rig;
    rig.loader->ShowImage(m_large);
    QVERIFY(QTest::qWaitFor([&] { return !rig.loader->PendingCaption().isEmpty(); }, 5000));
    {
        // As when background decoding is switched off: wait for the decode, then change.
        std::lock_guard decode(rig.loader->DecodeLock());
        rig.options.UseWorkThread = false;
    }
    // That load is still the requested one, so it is still shown.
    QVERIFY(QTest::qWaitFor([&] { return rig.loader->handOverCount() == 1; }, 5000));
    QCOMPARE(rig.imager1.shownSize(), QSize(3000, 2000));
    rig.loader->ShowImage(m_images[2]); // now on this thread
    QCOMPARE(rig.imager1.BitmapList().width(), 40 + 37 * 2);
    QTest::qWait(50);
    QCOMPARE(rig.loader->handOverCount(), 1);
}

void TestWorker::destroyingStopsALargeDecodeEarly()
{
    Rig rig;
    rig.loader->ShowImage(m_large);
    QVERIFY(QTest::qWaitFor([&] { return !rig.loader->PendingCaption().isEmpty(); }, 5000));
    rig.loader.reset();
    // Stopped short: a load that ran on to its end would have left its image in the decoder.
    QCOMPARE(int(rig.decoder.BitmapListCount()), 0);
    QCOMPARE(int(rig.imager1.BitmapListCount()), 0);
}

void TestWorker::destroyingReleasesAWaitingHandOver()
{
    Rig rig;
    rig.loader->ShowImage(m_images[0]);
    // No events are served: the worker finishes and waits for a hand-over that never runs.
    QThread::msleep(150);
    QVERIFY(!rig.loader->isWorkerParked());
    rig.loader.reset();                // would wait for ever
    QCoreApplication::processEvents(); // the unserved hand-over went with its loader
    QCOMPARE(int(rig.imager1.BitmapListCount()), 0);
}

// In a child process, because the exit flag is process-wide.
void TestWorker::exitSilencesTheWorker()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildVariable), QStringLiteral("1"));
    env.insert(QStringLiteral("OXLUME_WORKER_PARENT"),
               QString::number(QCoreApplication::applicationPid()));
    // The child ends with its worker still running, on purpose; ThreadSanitizer would call
    // that a leak.
    env.insert(QStringLiteral("TSAN_OPTIONS"), env.value(QStringLiteral("TSAN_OPTIONS")) +
                                                   QStringLiteral(" report_thread_leaks=0"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(20000));
    const QByteArray output = child.readAllStandardError() + child.readAllStandardOutput();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             output.constData());
}

namespace {

// What the main block does at exit, in the middle of a large decode and with a finished
// image waiting for its hand-over: flag, then end without joining or destroying anything.
int runExitChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    auto *rig = new Rig; // never destroyed, as at exit
    const std::string large = QFile::encodeName(largeImagePath()).toStdString();
    rig->loader->ShowImage(large);
    if (!QTest::qWaitFor([&] { return !rig->loader->PendingCaption().isEmpty(); }, 5000))
        return 2;
    rig->loader->prepareForExit();
    rig->loader->ShowImage(std::string()); // ignored from now on
    QTest::qWait(300);
    if (rig->loader->handOverCount() != 0 || rig->imager1.BitmapListCount() != 0)
        return 4;
    {
        // The decode was silenced, not waited for: it stopped short, leaving no image.
        std::lock_guard decode(rig->loader->DecodeLock());
        if (rig->decoder.BitmapListCount() != 0)
            return 3;
    }
    if (rig->loader->RequestedFile() != large)
        return 5;
    std::fflush(nullptr);
    _exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty(kChildVariable))
        return runExitChild(argc, argv);
    QApplication app(argc, argv);
    TestWorker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_worker.moc"
