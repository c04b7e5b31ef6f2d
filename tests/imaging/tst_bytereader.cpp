// Bounded reader: however a read fails, the reader stays failed and nothing past its end
// can be read afterwards.

#include "imaging/ByteReader.h"

#include <QtTest>

#include <array>
#include <functional>

using oxlume::imaging::ByteReader;
using oxlume::imaging::Bytes;

using Failing = std::function<void(ByteReader &)>;
Q_DECLARE_METATYPE(Failing)

class TestByteReader : public QObject {
    Q_OBJECT

private slots:
    void failureIsFinal_data();
    void failureIsFinal();
};

void TestByteReader::failureIsFinal_data()
{
    QTest::addColumn<Failing>("failing");
    // The reader sees 8 bytes; each row fails it a different way.
    QTest::newRow("u8 at the end") << Failing([](ByteReader &r) { r.skip(8), r.u8(); });
    QTest::newRow("u16 with one byte left") << Failing([](ByteReader &r) { r.skip(7), r.u16le(); });
    QTest::newRow("u64 with seven left") << Failing([](ByteReader &r) { r.u8(), r.u64be(); });
    QTest::newRow("skip past the end") << Failing([](ByteReader &r) { r.skip(9); });
    QTest::newRow("take past the end") << Failing([](ByteReader &r) { r.u8(), r.take(8); });
    QTest::newRow("seek past the end") << Failing([](ByteReader &r) { r.seek(9); });
    QTest::newRow("start past the end")
        << Failing([](ByteReader &r) { r = ByteReader(r.rest(), 9); });
}

void TestByteReader::failureIsFinal()
{
    QFETCH(Failing, failing);
    // Readable bytes lie beyond the reader's span, so a reader that wanders past its end
    // reads them instead of zeros.
    std::array<std::byte, 32> memory;
    memory.fill(std::byte{0xAB});
    ByteReader r(Bytes(memory).first(8));
    failing(r);
    QVERIFY(r.failed());
    QCOMPARE(r.remaining(), size_t(0));
    QVERIFY(!r.has(1));
    QVERIFY(r.rest().empty());
    QCOMPARE(r.u8(), uint8_t(0));
    QCOMPARE(r.u32le(), uint32_t(0));
    r.seek(0);
    QVERIFY(r.failed());
    QCOMPARE(r.u16be(), uint16_t(0));
    QVERIFY(r.take(1).empty());
}

QTEST_GUILESS_MAIN(TestByteReader)
#include "tst_bytereader.moc"
