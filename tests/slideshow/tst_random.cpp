// moc cannot parse <concepts>, which the error header pulls in.
#ifndef Q_MOC_RUN
#include "platform/Errors.h"
#include "slideshow/RandomNumbers.h"
#endif

#include <QtTest>
#include <climits>

using namespace oxlume;

// Expected values come from an independent script of the published psdes function; the
// first two rows are the check values printed alongside it.
class TestRandom : public QObject {
    Q_OBJECT
private slots:
    void nextFollowsPsdes_data();
    void nextFollowsPsdes();
    void seedIsDeterministicAndWraps();
    void betweenEdgeValues_data();
    void betweenEdgeValues();
    void betweenSingleValueDoesNotStep();
    void betweenRejectsBadRanges();
    void withoutRepeatWindows_data();
    void withoutRepeatWindows();
    void withoutRepeatUnrecordedWithoutHistory();
    void withoutRepeatAssertions_data();
    void withoutRepeatAssertions();
};

void TestRandom::nextFollowsPsdes_data()
{
    QTest::addColumn<quint32>("left");
    QTest::addColumn<quint32>("right");
    QTest::addColumn<QList<quint32>>("expected");
    QTest::newRow("start state 1,1")
        << 1u << 1u << QList<quint32>{0x509C0C23u, 0x585EFC74u, 0x003AE300u, 0x43684828u};
    QTest::newRow("1,99") << 1u << 99u << QList<quint32>{0xA66CB41Au};
}

void TestRandom::nextFollowsPsdes()
{
    QFETCH(quint32, left);
    QFETCH(quint32, right);
    QFETCH(QList<quint32>, expected);
    RandomGenerator g;
    g.setState(left, right);
    for (quint32 value : expected)
        QCOMPARE(g.next(), value);
}

void TestRandom::seedIsDeterministicAndWraps()
{
    RandomGenerator a, b;
    a.seed(1700000000, 100, 200, 1920);
    b.seed(1700000000, 100, 200, 1920);
    QCOMPARE(a.right(), 1700000000u);
    QCOMPARE(a.left(), 1700000000u + 100u + 200u * 1920u);
    for (quint32 value : {0xDE0BB061u, 0xA60E1722u, 0xBE7A1CF3u}) {
        QCOMPARE(a.next(), value);
        QCOMPARE(b.next(), value);
    }

    // A monitor left of the primary one gives negative coordinates: seed modulo 2^32.
    RandomGenerator c;
    c.seed(5, -1920, -10, 1920);
    QCOMPARE(c.left(), 0xFFFFAD85u);
    c.seed(-1, INT_MAX, INT_MAX, INT_MAX);
    QCOMPARE(c.right(), 0xFFFFFFFFu);
}

void TestRandom::betweenEdgeValues_data()
{
    // States found by running the four rounds backwards from the wanted step value.
    QTest::addColumn<quint32>("left");
    QTest::addColumn<quint32>("right");
    QTest::addColumn<int>("lo");
    QTest::addColumn<int>("hi");
    QTest::addColumn<int>("expected");
    const quint32 maxL = 0xD95B2243u, maxR = 0xFBE15094u;   // steps to 0xFFFFFFFF
    const quint32 max1L = 0x1BC8DCCDu, max1R = 0xD7EECDBCu; // steps to 0xFFFFFFFE
    const quint32 max2L = 0x910665C8u, max2R = 0x1282F8CBu; // steps to 0xFFFFFFFD
    const quint32 zeroL = 0x5F403E31u, zeroR = 0x39C63918u; // steps to 0
    QTest::newRow("0..1 largest step gives 2") << maxL << maxR << 0 << 1 << 2;
    QTest::newRow("0..1 second largest gives 2") << max1L << max1R << 0 << 1 << 2;
    QTest::newRow("0..1 third largest gives 1") << max2L << max2R << 0 << 1 << 1;
    QTest::newRow("0..2 largest step gives 3") << maxL << maxR << 0 << 2 << 3;
    QTest::newRow("0..2 second largest gives 2") << max1L << max1R << 0 << 2 << 2;
    QTest::newRow("-5..4 zero step gives lo") << zeroL << zeroR << -5 << 4 << -5;
    QTest::newRow("-5..4 largest step gives hi+1") << maxL << maxR << -5 << 4 << 5;
}

void TestRandom::betweenEdgeValues()
{
    QFETCH(quint32, left);
    QFETCH(quint32, right);
    QFETCH(int, lo);
    QFETCH(int, hi);
    QFETCH(int, expected);
    RandomGenerator g;
    g.setState(left, right);
    QCOMPARE(g.between(lo, hi), expected);
}

void TestRandom::betweenSingleValueDoesNotStep()
{
    RandomGenerator g;
    g.setState(11, 22);
    QCOMPARE(g.between(7, 7), 7);
    QCOMPARE(g.left(), 11u);
    QCOMPARE(g.right(), 22u);
}

void TestRandom::betweenRejectsBadRanges()
{
    RandomGenerator g;
    // An empty range would divide by zero; a reversed one is a range error.
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, g.between(5, 4));
    QVERIFY_THROWS_EXCEPTION(RangeCheckError, g.between(5, 2));
    QVERIFY_THROWS_EXCEPTION(IntegerOverflow, g.between(INT_MIN, INT_MAX));
    // The oversize results of a huge range cannot wrap into negative numbers.
    g.setState(0xD95B2243u, 0xFBE15094u);
    QVERIFY_THROWS_EXCEPTION(IntegerOverflow, g.between(INT_MAX - 2, INT_MAX));
}

void TestRandom::withoutRepeatWindows_data()
{
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("count");
    QTest::newRow("one slot") << 9 << 1;
    QTest::newRow("five slots") << 9 << 5;
    QTest::newRow("history as large as max") << 9 << 9;
    QTest::newRow("sixteen slots of a large list") << 400 << 16;
}

void TestRandom::withoutRepeatWindows()
{
    QFETCH(int, max);
    QFETCH(int, count);
    RandomGenerator g;
    g.seed(123456, 10, 20, 1280);
    QCOMPARE(g.withoutRepeat(0, count), 0);
    QList<int> picks;
    for (int k = 0; k < 300; ++k) {
        const int r = g.withoutRepeat(max, count);
        QVERIFY(r >= 0 && r <= max + 1);
        QVERIFY(g.inHistory(r));
        picks << r;
    }
    for (int start = 0; start + count < picks.size(); ++start) {
        const QList<int> window = picks.mid(start, count + 1);
        const QSet<int> distinct(window.begin(), window.end());
        QVERIFY2(distinct.size() == window.size(), qPrintable(QString::number(start)));
    }
}

void TestRandom::withoutRepeatUnrecordedWithoutHistory()
{
    RandomGenerator g, twin;
    g.setState(42, 4242);
    twin.setState(42, 4242);
    g.withoutRepeat(0, 3);
    g.withoutRepeat(0, 0); // stopping a show frees the history
    QCOMPARE(g.historySize(), 0);
    for (int k = 0; k < 20; ++k) {
        const int r = g.withoutRepeat(6, 0);
        QCOMPARE(r, twin.between(0, 6));
        QVERIFY(!g.inHistory(r));
    }
}

void TestRandom::withoutRepeatAssertions_data()
{
    QTest::addColumn<int>("initCount");
    QTest::addColumn<int>("firstMax");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("line");
    QTest::newRow("count above max") << 3 << 0 << 2 << 3 << 105;
    QTest::newRow("max changed after the first pick") << 2 << 5 << 6 << 2 << 109;
    QTest::newRow("count differs from the history") << 2 << 0 << 5 << 3 << 111;
    QTest::newRow("count given without history") << 0 << 0 << 5 << 1 << 111;
}

void TestRandom::withoutRepeatAssertions()
{
    QFETCH(int, initCount);
    QFETCH(int, firstMax);
    QFETCH(int, max);
    QFETCH(int, count);
    QFETCH(int, line);
    RandomGenerator g;
    g.withoutRepeat(0, initCount);
    if (firstMax != 0)
        g.withoutRepeat(firstMax, initCount);
    try {
        g.withoutRepeat(max, count);
        QFAIL("no assertion raised");
    } catch (const AssertionFailure &e) {
        QCOMPARE(e.line(), line);
        QCOMPARE(QString::fromStdString(e.what()),
                 QStringLiteral("Assertion failure (RandomNumbers, line %1)").arg(line));
    }
}

QTEST_APPLESS_MAIN(TestRandom)
#include "tst_random.moc"
