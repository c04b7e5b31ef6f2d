// Image allocation: size guards, pool reuse and its bounds, and that pooled images behave
// like any QImage (copy-on-write, freed in any order).

#include "imaging/ImageBuffer.h"

#include <QtTest>

using namespace oxlume::imaging;

class TestImageBuffer : public QObject {
    Q_OBJECT

private slots:
    void init() { trimImagePool(); }
    void refusesBadSizes_data();
    void refusesBadSizes();
    void layoutPerFormat_data();
    void layoutPerFormat();
    void largeBuffersAreReused();
    void poolIsBounded();
    void bigBufferNotSpentOnSmallImage();
    void pooledImageIsCopyOnWrite();
};

void TestImageBuffer::refusesBadSizes_data()
{
    QTest::addColumn<qint64>("w");
    QTest::addColumn<qint64>("h");
    QTest::addColumn<QString>("mentions");
    QTest::newRow("zero width") << qint64(0) << qint64(10) << QStringLiteral("empty or negative");
    QTest::newRow("negative height")
        << qint64(10) << qint64(-3) << QStringLiteral("empty or negative");
    QTest::newRow("side past limit") << qint64(65536) << qint64(1) << QStringLiteral("65536 x 1");
    QTest::newRow("pixels past limit")
        << qint64(65535) << qint64(65535) << QStringLiteral("65535 x 65535");
    QTest::newRow("300000 wide") << qint64(300000) << qint64(300000) << QStringLiteral("300000");
}

void TestImageBuffer::refusesBadSizes()
{
    QFETCH(qint64, w);
    QFETCH(qint64, h);
    QFETCH(QString, mentions);
    const auto before = imagePoolStats();
    auto img = allocateImage("PCX", w, h);
    QVERIFY(!img.ok());
    const QString msg = QString::fromStdString(img.error().message);
    QVERIFY2(msg.startsWith(QLatin1String("PCX: ")) && msg.contains(mentions), qPrintable(msg));
    QCOMPARE(imagePoolStats().mapped, before.mapped);
}

void TestImageBuffer::layoutPerFormat_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::newRow("rgb32 small") << int(QImage::Format_RGB32) << 7 << 3;
    QTest::newRow("argb32 pooled") << int(QImage::Format_ARGB32) << 1001 << 700;
    QTest::newRow("grey8 odd pooled") << int(QImage::Format_Grayscale8) << 1999 << 1000;
    QTest::newRow("mono pooled") << int(QImage::Format_Mono) << 9999 << 1000;
}

// Scan lines as QImage lays them out itself (32-bit aligned), every byte writable.
void TestImageBuffer::layoutPerFormat()
{
    QFETCH(int, format);
    QFETCH(int, w);
    QFETCH(int, h);
    auto img = allocateImage("BMP", w, h, QImage::Format(format));
    QVERIFY(img.ok());
    QImage &i = img.value();
    QCOMPARE(i.size(), QSize(w, h));
    QCOMPARE(int(i.format()), format);
    const QImage reference(w, h, QImage::Format(format));
    QCOMPARE(i.bytesPerLine(), reference.bytesPerLine());
    std::memset(i.bits(), 0x5A, size_t(i.sizeInBytes()));
    QCOMPARE(uchar(i.constScanLine(h - 1)[i.bytesPerLine() - 1]), uchar(0x5A));
}

void TestImageBuffer::largeBuffersAreReused()
{
    const uchar *first = nullptr;
    {
        auto a = allocateImage("JPEG", 2000, 1500);
        QVERIFY(a.ok());
        first = a->constBits();
        a->fill(Qt::red);
    }
    const auto before = imagePoolStats();
    QCOMPARE(before.pooledBuffers, 1);
    auto b = allocateImage("JPEG", 2000, 1500);
    QVERIFY(b.ok());
    QCOMPARE(b->constBits(), first);
    QCOMPARE(imagePoolStats().reused, before.reused + 1);
    QCOMPARE(imagePoolStats().pooledBuffers, 0);
    // A slightly smaller image fits the same buffer too.
    const uchar *second = b->constBits();
    b = QImage();
    auto c = allocateImage("JPEG", 1900, 1500);
    QVERIFY(c.ok());
    QCOMPARE(c->constBits(), second);
}

void TestImageBuffer::poolIsBounded()
{
    {
        std::vector<QImage> images;
        for (int i = 0; i < 5; ++i) {
            auto a = allocateImage("JPEG", 1024, 1024 + i);
            QVERIFY(a.ok());
            images.push_back(a.value());
        }
    }
    QCOMPARE(imagePoolStats().pooledBuffers, 2);
    QVERIFY(imagePoolStats().pooledBytes <= qint64(512) << 20);
    trimImagePool();
    QCOMPARE(imagePoolStats().pooledBuffers, 0);
    QCOMPARE(imagePoolStats().pooledBytes, 0);
}

void TestImageBuffer::bigBufferNotSpentOnSmallImage()
{
    const uchar *big = nullptr;
    {
        auto a = allocateImage("JPEG", 6000, 4000);
        QVERIFY(a.ok());
        big = a->constBits();
    }
    auto small = allocateImage("JPEG", 800, 600);
    QVERIFY(small.ok());
    QVERIFY(small->constBits() != big);
    QCOMPARE(imagePoolStats().pooledBuffers, 1); // still there for the next photo
    auto again = allocateImage("JPEG", 6000, 4000);
    QCOMPARE(again->constBits(), big);
}

void TestImageBuffer::pooledImageIsCopyOnWrite()
{
    auto a = allocateImage("JPEG", 1200, 1000);
    QVERIFY(a.ok());
    QImage original = a.value();
    a = QImage();
    original.fill(qRgb(10, 20, 30));
    QImage copy = original;
    copy.setPixel(0, 0, qRgb(200, 0, 0));
    QCOMPARE(original.pixel(0, 0), qRgb(10, 20, 30));
    QCOMPARE(copy.pixel(1, 1), qRgb(10, 20, 30));
    // The pooled buffer goes back when the original dies; the detached copy lives on.
    original = QImage();
    QCOMPARE(imagePoolStats().pooledBuffers, 1);
    QCOMPARE(copy.pixel(0, 0), qRgb(200, 0, 0));
    QCOMPARE(copy.pixel(1199, 999), qRgb(10, 20, 30));
}

QTEST_GUILESS_MAIN(TestImageBuffer)
#include "tst_imagebuffer.moc"
