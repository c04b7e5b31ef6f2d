// The slide show's decisions: the order of slides at the list's ends, the settings fixed
// at the start (with out-of-range stored values), the random pick, and the pointer's slack.

#include "slideshow/SlideShow.h"

#include <QtTest>
#include <climits>

using namespace oxlume;

class TestSlideShow : public QObject {
    Q_OBJECT
private slots:
    void orderedSteps_data();
    void orderedSteps();
    void startSettings_data();
    void startSettings();
    void randomSkipsFoldersAndRecordsEveryTry();
    void randomPickMadeAheadAndListChanges();
    void pointerSlack_data();
    void pointerSlack();
};

namespace {

// "F" a folder entry, "I" an image entry, in list order.
SlideEntries entriesOf(const QString &pattern)
{
    int images = int(pattern.count(QLatin1Char('I')));
    return {int(pattern.size()), images,
            [pattern](int row) { return pattern.at(row) == QLatin1Char('I'); }};
}

} // namespace

void TestSlideShow::orderedSteps_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("selection");
    QTest::addColumn<bool>("loop");
    QTest::addColumn<QList<int>>("rows"); // rows of successive ticks; -1: the show stops

    QTest::newRow("top to bottom starts below the folders")
        << "FFIII" << 0 << 3 << false << QList<int>{2, 3, 4, -1};
    QTest::newRow("an image at index 0 comes first")
        << "III" << 0 << 2 << false << QList<int>{0, 1, 2, -1};
    QTest::newRow("from the current entry") << "FIII" << 1 << 1 << false << QList<int>{2, 3, -1};
    QTest::newRow("on the last entry, no loop") << "FII" << 1 << 2 << false << QList<int>{-1};
    QTest::newRow("loop wraps to the first image")
        << "FFII" << 1 << 3 << true << QList<int>{2, 3, 2};
    QTest::newRow("loop wraps onto an image at index 0")
        << "II" << 1 << 1 << true << QList<int>{0, 1, 0};
    QTest::newRow("nothing selected") << "FII" << 1 << -1 << false << QList<int>{1, 2, -1};
    // After a folder change: no image below the selection.
    QTest::newRow("no image below, no loop") << "IIFF" << 1 << 1 << false << QList<int>{-1};
    QTest::newRow("no image below, loop") << "IIFF" << 1 << 1 << true << QList<int>{0, 1, 0};
    QTest::newRow("no image at all, loop") << "FF" << 1 << 0 << true << QList<int>{-1};
}

void TestSlideShow::orderedSteps()
{
    QFETCH(QString, list);
    QFETCH(int, method);
    QFETCH(int, selection);
    QFETCH(bool, loop);
    QFETCH(QList<int>, rows);
    const SlideEntries entries = entriesOf(list);
    RandomGenerator generator;
    SlideShow show;
    show.start(108, method, false, entries, generator);
    for (int expected : rows) {
        // What is read ahead is what the tick then shows.
        QCOMPARE(show.peek(entries, selection, loop, generator), expected);
        const SlideShow::Step step = show.next(entries, selection, loop, generator);
        QCOMPARE(step.stop ? -1 : step.row, expected);
        selection = step.row;
    }
}

void TestSlideShow::startSettings_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("order");
    QTest::addColumn<int>("history");

    QTest::newRow("fastest") << 100 << 0 << 5 << 100 << 0 << 0;
    QTest::newRow("default") << 108 << 1 << 5 << 4000 << 1 << 0;
    QTest::newRow("slowest") << 124 << 2 << 5 << 120000 << 2 << 2;
    QTest::newRow("speed below the scale") << 99 << 1 << 5 << 100 << 1 << 0;
    QTest::newRow("speed far below") << INT_MIN << 1 << 5 << 100 << 1 << 0;
    QTest::newRow("speed above the scale") << 125 << 1 << 5 << 120000 << 1 << 0;
    QTest::newRow("method above 2") << 108 << 200 << 5 << 4000 << 2 << 2;
    QTest::newRow("method below 0") << 108 << -3 << 5 << 4000 << 0 << 0;
    QTest::newRow("random, 2 entries: no history") << 108 << 2 << 2 << 4000 << 2 << 0;
    QTest::newRow("random, 3 entries") << 108 << 2 << 3 << 4000 << 2 << 1;
    QTest::newRow("random, 34 entries") << 108 << 2 << 34 << 4000 << 2 << 16;
    QTest::newRow("random, 35 entries") << 108 << 2 << 35 << 4000 << 2 << 16;
}

void TestSlideShow::startSettings()
{
    QFETCH(int, speed);
    QFETCH(int, method);
    QFETCH(int, entries);
    QFETCH(int, interval);
    QFETCH(int, order);
    QFETCH(int, history);
    RandomGenerator generator;
    SlideShow show;
    show.start(speed, method, true, entriesOf(QString(entries, QLatin1Char('I'))), generator);
    QVERIFY(show.running() && show.fullScreen());
    QCOMPARE(show.intervalMs(), interval);
    QCOMPARE(int(show.order()), order);
    QCOMPARE(show.historySize(), history);
    QCOMPARE(generator.historySize(), history);
    show.stop(generator);
    QVERIFY(!show.running());
    QCOMPARE(generator.historySize(), 0);
}

void TestSlideShow::randomSkipsFoldersAndRecordsEveryTry()
{
    const SlideEntries entries = entriesOf(QStringLiteral("FFFII"));
    // A state whose tries land on a folder entry before an image; a replica lists them.
    RandomGenerator generator;
    QList<int> tries;
    for (std::uint32_t right = 1; tries.size() < 2; ++right) {
        generator.setState(7, right);
        RandomGenerator replica = generator;
        replica.withoutRepeat(0, 2);
        tries.clear();
        do
            tries << replica.withoutRepeat(4, 2);
        while (tries.back() < 3);
    }
    generator.withoutRepeat(0, 2);
    const int row = RandomImageIndex(generator, entries, 2);
    QCOMPARE(row, tries.back());
    // The rejected try before it counts as a recent pick.
    QVERIFY(generator.inHistory(tries.at(tries.size() - 2)));
    QVERIFY(generator.inHistory(row));
    QVERIFY(CanStartSlideShow(2) && !CanStartSlideShow(1));
}

void TestSlideShow::randomPickMadeAheadAndListChanges()
{
    RandomGenerator generator;
    generator.setState(3, 5);
    SlideShow show;
    // Images only, so no rejected try takes a place in the history of 3.
    SlideEntries entries = entriesOf(QStringLiteral("IIIIIII"));
    show.start(108, 2, false, entries, generator);
    QList<int> shown;
    for (int i = 0; i < 12; ++i) {
        const int ahead = show.peek(entries, -1, false, generator);
        QCOMPARE(show.peek(entries, -1, false, generator), ahead); // one pick, however often asked
        const SlideShow::Step step = show.next(entries, -1, false, generator);
        QVERIFY(!step.stop);
        QCOMPARE(step.row, ahead);
        QVERIFY(entries.isImage(step.row));
        // No repeat within the last three picks: a pick made ahead was recorded once.
        for (int back = 1; back <= 3 && back <= shown.size(); ++back)
            QVERIFY(shown.at(shown.size() - back) != step.row);
        shown << step.row;
    }
    // A longer list starts the generator again instead of failing its bound.
    entries = entriesOf(QStringLiteral("FFIIIIIIIIIIIIIIIIIIII")); // 22 entries: history 10
    QVERIFY(!show.next(entries, -1, false, generator).stop);
    QCOMPARE(show.historySize(), 10);
    QCOMPARE(generator.historySize(), 10);
    // Fewer than two images left: the show stops.
    QVERIFY(show.next(entriesOf(QStringLiteral("FFI")), -1, false, generator).stop);
}

void TestSlideShow::pointerSlack_data()
{
    QTest::addColumn<QList<QPoint>>("moves"); // from the first position seen
    QTest::addColumn<bool>("stops");
    QTest::newRow("15 right") << QList<QPoint>{{15, 0}} << false;
    QTest::newRow("16 right") << QList<QPoint>{{16, 0}} << true;
    QTest::newRow("15 up") << QList<QPoint>{{0, -15}} << false;
    QTest::newRow("16 up") << QList<QPoint>{{0, -16}} << true;
    QTest::newRow("15 diagonally") << QList<QPoint>{{15, 15}, {-15, -15}} << false;
    QTest::newRow("slow drift adds up") << QList<QPoint>{{5, 0}, {10, 0}, {15, 0}, {20, 0}} << true;
}

void TestSlideShow::pointerSlack()
{
    QFETCH(QList<QPoint>, moves);
    QFETCH(bool, stops);
    const QPoint origin(300, 200);
    SlideShow show;
    QVERIFY(!show.pointerMovedAway(origin.x(), origin.y()));
    bool stopped = false;
    for (const QPoint &move : moves)
        stopped = stopped || show.pointerMovedAway(origin.x() + move.x(), origin.y() + move.y());
    QCOMPARE(stopped, stops);
}

QTEST_GUILESS_MAIN(TestSlideShow)
#include "tst_slideshow.moc"
