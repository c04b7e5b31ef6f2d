// Fit, 100 % and zoom geometry: sizes, centring, scroll ranges, high-DPI.

#include "imaging/ViewGeometry.h"

#include <QtTest>

using namespace oxlume::imaging;

class TestViewGeometry : public QObject {
    Q_OBJECT
private slots:
    void fitKeepsAspectAndCentres_data();
    void fitKeepsAspectAndCentres();
    void actualSizeScrollsWhenLarger();
    void zoomScalesAndClamps_data();
    void zoomScalesAndClamps();
    void highDpiMapsImagePixelsToDevicePixels();
    void degenerateInputs();
};

void TestViewGeometry::fitKeepsAspectAndCentres_data()
{
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QSize>("area");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("wide") << QSize(400, 200) << QSize(100, 100) << QRect(0, 25, 100, 50);
    QTest::newRow("tall") << QSize(200, 400) << QSize(100, 100) << QRect(25, 0, 50, 100);
    QTest::newRow("small enlarged") << QSize(10, 5) << QSize(100, 100) << QRect(0, 25, 100, 50);
    QTest::newRow("same aspect") << QSize(6000, 4000) << QSize(1920, 1280)
                                 << QRect(0, 0, 1920, 1280);
    QTest::newRow("photo in HD") << QSize(6000, 4000) << QSize(1920, 1080)
                                 << QRect(150, 0, 1620, 1080);
    QTest::newRow("rounded side") << QSize(3, 2) << QSize(100, 100) << QRect(0, 16, 100, 67);
    QTest::newRow("thin line") << QSize(10000, 1) << QSize(100, 100) << QRect(0, 49, 100, 1);
    QTest::newRow("one pixel") << QSize(1, 1) << QSize(30, 20) << QRect(5, 0, 20, 20);
}

void TestViewGeometry::fitKeepsAspectAndCentres()
{
    QFETCH(QSize, image);
    QFETCH(QSize, area);
    QFETCH(QRect, expected);
    const ViewGeometry g(image, area, 1.0, PaintSizeMode::Fit);
    QCOMPARE(g.targetDeviceRect(QPoint(0, 0)), expected);
    // Fit never scrolls, whatever scroll position is passed.
    QCOMPARE(g.maxScrollX(), 0);
    QCOMPARE(g.maxScrollY(), 0);
    QCOMPARE(g.targetDeviceRect(QPoint(40, 40)), expected);
    QCOMPARE(g.isReduction(), expected.width() < image.width());
}

void TestViewGeometry::actualSizeScrollsWhenLarger()
{
    const ViewGeometry g(QSize(300, 50), QSize(100, 80), 1.0, PaintSizeMode::ActualSize);
    QCOMPARE(g.targetDeviceSize(), QSize(300, 50));
    QVERIFY(!g.isReduction());
    QCOMPARE(g.maxScrollX(), 200);
    QCOMPARE(g.maxScrollY(), 0);
    // Scrolled horizontally, centred vertically; scroll positions outside the range clamp.
    QCOMPARE(g.targetDeviceRect(QPoint(0, 0)), QRect(0, 15, 300, 50));
    QCOMPARE(g.targetDeviceRect(QPoint(120, 9)), QRect(-120, 15, 300, 50));
    QCOMPARE(g.targetDeviceRect(QPoint(900, 0)), QRect(-200, 15, 300, 50));
    QCOMPARE(g.targetDeviceRect(QPoint(-5, 0)), QRect(0, 15, 300, 50));
}

void TestViewGeometry::zoomScalesAndClamps_data()
{
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("50") << 50.0 << QSize(150, 100);
    QTest::newRow("130") << 130.0 << QSize(390, 260);
    QTest::newRow("1.156") << 1.156 << QSize(3, 2);
    QTest::newRow("below 1") << 0.01 << QSize(3, 2);
    QTest::newRow("above 1600") << 5000.0 << QSize(4800, 3200);
    QTest::newRow("not a number") << std::nan("") << QSize(300, 200);
}

void TestViewGeometry::zoomScalesAndClamps()
{
    QFETCH(double, zoom);
    QFETCH(QSize, expected);
    const ViewGeometry g(QSize(300, 200), QSize(500, 500), 1.0, PaintSizeMode::Zoom, zoom);
    QCOMPARE(g.targetDeviceSize(), expected);
    QCOMPARE(g.maxScrollX(), std::max(0, expected.width() - 500));
    QCOMPARE(g.isReduction(), expected.width() < 300);
    // Zoom is ignored outside zoom mode.
    QCOMPARE(ViewGeometry(QSize(300, 200), QSize(500, 500), 1.0, PaintSizeMode::ActualSize, zoom)
                 .targetDeviceSize(),
             QSize(300, 200));
}

void TestViewGeometry::highDpiMapsImagePixelsToDevicePixels()
{
    // 100 % at ratio 2: the 200 x 100 image fills the 100 x 50 logical area exactly.
    const ViewGeometry actual(QSize(200, 100), QSize(100, 50), 2.0, PaintSizeMode::ActualSize);
    QCOMPARE(actual.targetDeviceSize(), QSize(200, 100));
    QCOMPARE(actual.contentSize(), QSize(100, 50));
    QCOMPARE(actual.maxScrollX(), 0);
    QCOMPARE(actual.targetRect(QPoint()), QRectF(0, 0, 100, 50));
    // Fit at ratio 1.5 uses the device pixels of the area.
    const ViewGeometry fit(QSize(4000, 2000), QSize(200, 200), 1.5, PaintSizeMode::Fit);
    QCOMPARE(fit.targetDeviceSize(), QSize(300, 150));
    QCOMPARE(fit.targetDeviceRect(QPoint()), QRect(0, 75, 300, 150));
    // An odd area at 1.5 has a half device pixel: the image stays inside, no scrolling.
    const ViewGeometry odd(QSize(4000, 2000), QSize(401, 301), 1.5, PaintSizeMode::Fit);
    QCOMPARE(odd.contentSize(), QSize(401, 201));
    QCOMPARE(odd.maxScrollX(), 0);
    // Scroll positions are logical; the offset is in device pixels.
    const ViewGeometry big(QSize(1000, 100), QSize(100, 100), 2.0, PaintSizeMode::ActualSize);
    QCOMPARE(big.maxScrollX(), 400);
    QCOMPARE(big.targetDeviceRect(QPoint(10, 0)).x(), -20);
    QCOMPARE(big.targetDeviceRect(QPoint(10, 0)).y(), 50);
}

void TestViewGeometry::degenerateInputs()
{
    const ViewGeometry noImage(QSize(), QSize(100, 100), 1.0, PaintSizeMode::Fit);
    QVERIFY(noImage.targetDeviceSize().isEmpty());
    QVERIFY(noImage.targetDeviceRect(QPoint()).isEmpty());
    QCOMPARE(noImage.maxScrollX(), 0);
    const ViewGeometry noArea(QSize(10, 10), QSize(0, 0), 1.0, PaintSizeMode::Fit);
    QVERIFY(noArea.targetDeviceSize().isEmpty());
    QVERIFY(!noArea.isReduction());
    const ViewGeometry badRatio(QSize(10, 10), QSize(5, 5), 0.0, PaintSizeMode::ActualSize);
    QCOMPARE(badRatio.devicePixelRatio(), 1.0);
    QCOMPARE(badRatio.maxScrollX(), 5);
    // The largest image at the largest zoom stays within int.
    const ViewGeometry huge(QSize(65535, 65535), QSize(800, 600), 1.0, PaintSizeMode::Zoom, 1600);
    QCOMPARE(huge.targetDeviceSize(), QSize(1048560, 1048560));
    QCOMPARE(huge.maxScrollY(), 1048560 - 600);
}

QTEST_GUILESS_MAIN(TestViewGeometry)
#include "tst_viewgeometry.moc"
