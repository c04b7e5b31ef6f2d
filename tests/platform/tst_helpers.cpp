#include "platform/TrelvinImport.h"

#include <QtTest>
#include <climits>
#include <clocale>
#include <ctime>

using namespace oxlume;

class TestHelpers : public QObject {
    Q_OBJECT
private slots:
    void characterRulesAreAscii();
    void atoiReadsLeadingNumber_data();
    void atoiReadsLeadingNumber();
    void clockIsNonNegative();
};

void TestHelpers::characterRulesAreAscii()
{
    // A Latin-1 locale would fold 0xC9 to 0xE9 and call it printable; callers rely on ASCII.
    std::setlocale(LC_ALL, "C.UTF-8");
    for (int c = 0; c < 256; ++c) {
        const bool upper = c >= 'A' && c <= 'Z';
        QCOMPARE(c_tolower(c), upper ? c + 32 : c);
        QCOMPARE(c_isgraph(c) != 0, c > 32 && c < 127);
    }
}

void TestHelpers::atoiReadsLeadingNumber_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("plain") << QByteArray("42") << 42;
    QTest::newRow("blanks and sign") << QByteArray(" \t-17x") << -17;
    QTest::newRow("plus") << QByteArray("+8") << 8;
    QTest::newRow("no digits") << QByteArray("abc") << 0;
    QTest::newRow("sign only") << QByteArray("-") << 0;
    QTest::newRow("largest") << QByteArray("2147483647") << INT_MAX;
    QTest::newRow("smallest") << QByteArray("-2147483648") << INT_MIN;
    QTest::newRow("too large saturates") << QByteArray("99999999999999999999") << INT_MAX;
    QTest::newRow("too small saturates") << QByteArray("-99999999999999999999") << INT_MIN;
}

void TestHelpers::atoiReadsLeadingNumber()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    QCOMPARE(c_atoi(text.constData()), expected);
}

void TestHelpers::clockIsNonNegative()
{
    const std::int32_t t = GetTimet();
    QVERIFY(t >= 0);
    QVERIFY(qAbs(qint64(t) - (qint64(std::time(nullptr)) & 0x7FFFFFFF)) <= 2);
}

QTEST_APPLESS_MAIN(TestHelpers)
#include "tst_helpers.moc"
