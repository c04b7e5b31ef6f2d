#ifndef Q_MOC_RUN
#include "platform/Errors.h"
#include "shell/MaskMatch.h"
#endif

#include <QtTest>
#include <string>

using namespace oxlume;

class TestMasks : public QObject {
    Q_OBJECT
private slots:
    void matchesMaskList_data();
    void matchesMaskList();
    void normaliseMaskList_data();
    void normaliseMaskList();
    void matchMaskFromPositions();
    void matchMaskAssertsPositions();
    void hostileNamesStayFast();
    void agreesWithRecursiveDefinition();
};

void TestMasks::matchesMaskList_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("masks");
    QTest::addColumn<bool>("expected");
    QTest::newRow("empty list matches all") << QByteArray("x") << QByteArray() << true;
    QTest::newRow("blanks and ; match nothing") << QByteArray("x") << QByteArray(" ; ;") << false;
    QTest::newRow("star one char") << QByteArray("a") << QByteArray("*") << true;
    QTest::newRow("star needs a char") << QByteArray(".jpg") << QByteArray("*.jpg") << false;
    QTest::newRow("ASCII case folds") << QByteArray("Photo.JPG") << QByteArray("*.jpg") << true;
    QTest::newRow("trailing extra") << QByteArray("photo.jpg.bak") << QByteArray("*.jpg") << false;
    QTest::newRow("longer extension") << QByteArray("photo.jpeg") << QByteArray("*.jpg") << false;
    QTest::newRow("dot star") << QByteArray("a.b") << QByteArray("*.*") << true;
    QTest::newRow("dot star no dot") << QByteArray("ab") << QByteArray("*.*") << false;
    QTest::newRow("dot star ends in dot") << QByteArray("ab.") << QByteArray("*.*") << false;
    QTest::newRow("question one char") << QByteArray("a.jpe") << QByteArray("*.jp?") << true;
    QTest::newRow("question needs a char") << QByteArray("a.jp") << QByteArray("*.jp?") << false;
    QTest::newRow("abc* vs abc") << QByteArray("abc") << QByteArray("abc*") << false;
    QTest::newRow("ab?d vs abXd") << QByteArray("abXd") << QByteArray("ab?d") << true;
    QTest::newRow("ab?d vs abd") << QByteArray("abd") << QByteArray("ab?d") << false;
    QTest::newRow("blanks around masks")
        << QByteArray("x.dib") << QByteArray("*.bmp ; *.dib") << true;
    QTest::newRow("later mask matches") << QByteArray("x.pcx") << QByteArray("*.jpg;*.pcx") << true;
    QTest::newRow("empty mask between") << QByteArray("x.b") << QByteArray("*.a;;*.b") << true;
    // U+00C9 / U+00E9 in UTF-8 differ in the second byte, which must not fold.
    QTest::newRow("accented capital exact")
        << QByteArray("\xc3\x89.jpg") << QByteArray("\xc3\xa9*") << false;
    QTest::newRow("high bytes equal") << QByteArray("\xff\xfe.jpg") << QByteArray("??.JPG") << true;
    QTest::newRow("stars backtrack") << QByteArray("aXbXbc") << QByteArray("a*b*c") << true;
    QTest::newRow("star takes one at end") << QByteArray("ab") << QByteArray("a*") << true;
    QTest::newRow("two stars need two") << QByteArray("a") << QByteArray("**") << false;
    QTest::newRow("two stars two chars") << QByteArray("ab") << QByteArray("**") << true;
}

void TestMasks::matchesMaskList()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, masks);
    QFETCH(bool, expected);
    QCOMPARE(MatchesMaskList(name.toStdString(), masks.toStdString()), expected);
}

void TestMasks::normaliseMaskList_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("trimmed") << QByteArray(" *.bmp ;\t*.dib ") << QByteArray("*.bmp;*.dib");
    QTest::newRow("leading blanks vanish") << QByteArray(" ; ;*.a") << QByteArray("*.a");
    QTest::newRow("later blank stays empty") << QByteArray("*.a; ;*.b") << QByteArray("*.a;;*.b");
    QTest::newRow("trailing ;") << QByteArray("*.a;") << QByteArray("*.a");
    QTest::newRow("trailing blank piece") << QByteArray("*.a; ") << QByteArray("*.a;");
}

void TestMasks::normaliseMaskList()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(NormaliseMaskList(list.toStdString())), expected);
}

void TestMasks::matchMaskFromPositions()
{
    QVERIFY(MatchMask("xx.jpg", "*.jpg", 2, 1));
    QVERIFY(MatchMask("abc", "abc", 3, 3)); // both at their ends
    QVERIFY(!MatchMask("abc", "abc", 3, 2));
    QVERIFY(!MatchMask("abc", "abc", 2, 3));
}

void TestMasks::matchMaskAssertsPositions()
{
    try {
        MatchMask("ab", "*", 3, 0);
        QFAIL("no assertion");
    } catch (const AssertionFailure &e) {
        QCOMPARE(QByteArray::fromStdString(e.unit()), QByteArray("MaskMatch"));
    }
    QVERIFY_THROWS_EXCEPTION(AssertionFailure, MatchMask("ab", "*", 0, 2));
}

void TestMasks::hostileNamesStayFast()
{
    // Plain backtracking tries exponentially many splits here: it would not finish.
    const std::string name(250, 'a');
    for (int k = 0; k < 100; ++k) {
        QVERIFY(!MatchesMaskList(name, "*a*a*a*a*a*b"));
        QVERIFY(MatchesMaskList(name + 'b', "*a*a*a*a*a*b"));
        QVERIFY(!MatchesMaskList(name, "*?*?*?*?*?*?*?*?*?*?*b;*a*a*a*a*a*a*a*a*c"));
    }
}

// The plain recursive test the iterative one replaces, for short inputs only.
static bool recursiveMatch(const std::string &name, const std::string &mask, size_t i, size_t j)
{
    if (i == name.size() || j == mask.size())
        return i == name.size() && j == mask.size();
    const char c = mask[j];
    if (c == '?')
        return recursiveMatch(name, mask, i + 1, j + 1);
    if (c == '*')
        return recursiveMatch(name, mask, i + 1, j) || recursiveMatch(name, mask, i + 1, j + 1);
    const auto lower = [](char x) { return x >= 'A' && x <= 'Z' ? char(x + 32) : x; };
    return lower(name[i]) == lower(c) && recursiveMatch(name, mask, i + 1, j + 1);
}

void TestMasks::agreesWithRecursiveDefinition()
{
    QRandomGenerator rng(20261207);
    const char nameChars[] = "abAB.";
    const char maskChars[] = "abA.?**";
    for (int round = 0; round < 20000; ++round) {
        std::string name, mask;
        for (int k = int(rng.bounded(8)); k > 0; --k)
            name += nameChars[rng.bounded(5)];
        for (int k = int(rng.bounded(7)); k > 0; --k)
            mask += maskChars[rng.bounded(7)];
        const size_t i = size_t(rng.bounded(int(name.size()) + 1));
        const size_t j = size_t(rng.bounded(int(mask.size()) + 1));
        QVERIFY2(MatchMask(name, mask, i, j) == recursiveMatch(name, mask, i, j),
                 qPrintable(QString::fromStdString(name + " / " + mask)));
    }
}

QTEST_APPLESS_MAIN(TestMasks)
#include "tst_masks.moc"
