// The loading protocol on its own: when the worker rests and when it takes a request, and
// how a hand-over is answered or given up.

#include "viewer/LoadChannel.h"

#include <QTest>

#include <chrono>
#include <future>
#include <optional>
#include <poll.h>

using namespace oxlume;
using namespace std::chrono_literals;

namespace {

// The worker side on its own thread, so that a wait shows as a future not yet ready.
template<typename Fn>
auto onWorker(Fn fn)
{
    return std::async(std::launch::async, fn);
}

template<typename T>
bool waits(std::future<T> &future)
{
    return future.wait_for(100ms) == std::future_status::timeout;
}

struct StopAtExit {
    LoadChannel &channel;
    ~StopAtExit() { channel.stop(); }
};

bool readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
}

} // namespace

class TestLoadChannel : public QObject {
    Q_OBJECT
private slots:
    void workerRestsOnlyWhenItsImageIsTheRequest_data();
    void workerRestsOnlyWhenItsImageIsTheRequest();
    void readAheadWaitsForTheImageOnScreen();
    void handOverIsAnsweredOrGivenUp_data();
    void handOverIsAnsweredOrGivenUp();
};

void TestLoadChannel::workerRestsOnlyWhenItsImageIsTheRequest_data()
{
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("postedDuringRound"); // after a.jpg was taken
    QTest::addColumn<bool>("rests");
    QTest::newRow("shown, still requested") << true << QString() << true;
    QTest::newRow("shown, newer request") << true << QStringLiteral("b.jpg") << false;
    // Served again: the file may have changed since it was read.
    QTest::newRow("shown, asked again after another")
        << true << QStringLiteral("b.jpg a.jpg") << false;
    QTest::newRow("passed over, asked again") << false << QStringLiteral("b.jpg a.jpg") << false;
    QTest::newRow("passed over, nothing newer") << false << QString() << true;
}

void TestLoadChannel::workerRestsOnlyWhenItsImageIsTheRequest()
{
    QFETCH(bool, shown);
    QFETCH(QString, postedDuringRound);
    QFETCH(bool, rests);

    LoadChannel channel;
    std::future<std::optional<LoadChannel::Request>> first, next;
    const StopAtExit guard{channel}; // a failed check must not leave a worker waiting
    QVERIFY(channel.isWorkerParked());
    first = onWorker([&] { return channel.nextRequest({}, false); });
    QVERIFY(waits(first)); // created parked
    channel.post("a.jpg");
    const std::optional<LoadChannel::Request> taken = first.get();
    QVERIFY(taken && taken->path == "a.jpg");
    QCOMPARE(channel.loadingFile(), std::string("a.jpg"));

    for (const QString &path : postedDuringRound.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        channel.post(path.toStdString());
    next = onWorker([&] { return channel.nextRequest(*taken, shown); });
    QCOMPARE(waits(next), rests);
    QCOMPARE(channel.isWorkerParked(), rests);
    if (rests)
        channel.post("c.jpg");
    const std::optional<LoadChannel::Request> after = next.get();
    QVERIFY(after);
    QCOMPARE(after->path, channel.requestedFile()); // always the latest, never a queue
    QVERIFY(after->serial > taken->serial);

    channel.stop();
    QVERIFY(!channel.nextRequest(*after, false)); // stopped: no wait at all
}

// Reading ahead never delays the request: it starts once the request is on screen, or at
// once when asked to (the file named at start-up).
void TestLoadChannel::readAheadWaitsForTheImageOnScreen()
{
    LoadChannel channel;
    std::future<std::optional<LoadChannel::Request>> job;
    const StopAtExit guard{channel};
    channel.setReadAhead("b.jpg");
    job = onWorker([&] { return channel.nextRequest({}, false); });
    QVERIFY(waits(job)); // nothing on screen yet
    channel.readAheadNow("b.jpg");
    const std::optional<LoadChannel::Request> taken = job.get();
    QVERIFY(taken && taken->readAhead && taken->path == "b.jpg");
    QVERIFY(channel.isWorkerParked()); // only reading ahead
}

void TestLoadChannel::handOverIsAnsweredOrGivenUp_data()
{
    QTest::addColumn<int>("answer"); // 0 moved, 1 passed over, 2 stop instead
    QTest::newRow("moved") << 0;
    QTest::newRow("passed over") << 1;
    QTest::newRow("stopped while waiting") << 2;
}

void TestLoadChannel::handOverIsAnsweredOrGivenUp()
{
    QFETCH(int, answer);
    LoadChannel channel;
    std::future<bool> offer;
    const StopAtExit guard{channel};
    QVERIFY(!channel.takeHandOver()); // nothing offered yet

    offer = onWorker([&] { return channel.offerHandOver({"a.jpg", 1, false, {}}); });
    QVERIFY(QTest::qWaitFor([&] { return readable(channel.handOverFd()); }, 2000));
    QVERIFY(waits(offer));
    if (answer == 2) {
        channel.stop();
        QVERIFY(!offer.get());
        return;
    }
    const std::optional<LoadChannel::HandOver> taken = channel.takeHandOver();
    QVERIFY(taken && taken->path == "a.jpg" && !taken->preview);
    QVERIFY(waits(offer)); // taken, not yet answered
    channel.finishHandOver(answer == 0);
    QCOMPARE(offer.get(), answer == 0);
    QVERIFY(!channel.takeHandOver()); // answered once only

    // Previews left beside it never wait; the latest replaces one not yet taken.
    channel.leavePreview({"b.jpg", 2, QImage(4, 4, QImage::Format_RGB32)});
    channel.leavePreview({"c.jpg", 3, QImage(2, 2, QImage::Format_RGB32)});
    QVERIFY(readable(channel.handOverFd()));
    QVERIFY(!channel.takeHandOver());
    const std::optional<LoadChannel::Preview> preview = channel.takePreview();
    QVERIFY(preview && preview->path == "c.jpg" && preview->serial == 3 &&
            preview->image.width() == 2);
    QVERIFY(!channel.takePreview());
}

QTEST_GUILESS_MAIN(TestLoadChannel)
#include "tst_loadchannel.moc"
