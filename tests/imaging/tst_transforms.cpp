// Pixel transforms and the area-averaged scaler on small images with known pixels.

#include "imaging/Scaler.h"
#include "imaging/Transforms.h"
#include "platform/Errors.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

// Every pixel different, alpha included, so that any misplaced pixel shows.
QImage numbered(int w, int h, QImage::Format format = QImage::Format_ARGB32)
{
    QImage image(w, h, format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgba(x & 0xff, y & 0xff, (x * 7 + y * 13) & 0xff, 40 + (x + y) % 200));
    return image;
}

QImage randomImage(int w, int h, quint32 seed)
{
    QRandomGenerator rng(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, 0xff000000u | (rng.generate() & 0xffffffu));
    return image;
}

bool samePixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                return false;
    return true;
}

// Straightforward floating-point box filter: each output pixel is the overlap-weighted mean
// of the source area it covers.
QImage referenceBox(const QImage &src, QSize size)
{
    QImage out(size, src.format());
    const double sx = double(src.width()) / size.width();
    const double sy = double(src.height()) / size.height();
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            double sum[4] = {0, 0, 0, 0};
            const double x0 = x * sx, x1 = (x + 1) * sx, y0 = y * sy, y1 = (y + 1) * sy;
            for (int j = int(y0); j < int(std::ceil(y1)) && j < src.height(); ++j) {
                const double wy = std::min<double>(y1, j + 1) - std::max<double>(y0, j);
                for (int i = int(x0); i < int(std::ceil(x1)) && i < src.width(); ++i) {
                    const double w = wy * (std::min<double>(x1, i + 1) - std::max<double>(x0, i));
                    const QRgb p = src.pixel(i, j);
                    sum[0] += w * qRed(p);
                    sum[1] += w * qGreen(p);
                    sum[2] += w * qBlue(p);
                    sum[3] += w * qAlpha(p);
                }
            }
            const double area = sx * sy;
            out.setPixel(x, y, qRgba(int(std::lround(sum[0] / area)), int(std::lround(sum[1] / area)),
                                     int(std::lround(sum[2] / area)), int(std::lround(sum[3] / area))));
        }
    }
    return out;
}

} // namespace

class TestTransforms : public QObject {
    Q_OBJECT
private slots:
    void flipsMovePixels();
    void twoFlipsGiveOriginal_data();
    void twoFlipsGiveOriginal();
    void rotationMovesPixels();
    void fourRotationsGiveOriginal_data();
    void fourRotationsGiveOriginal();
    void rotationAngles();
    void sharedHolderNeverChanges();
    void brightnessSaturatesAndKeepsAlpha();
    void contrastAroundMidGrey();
    void combinedEqualsSequential();
    void otherFormatsAreConverted();
    void scalerMatchesReferenceBoxFilter_data();
    void scalerMatchesReferenceBoxFilter();
    void scalerKeepsFlatColourExact();
    void scaledCacheServesSameSize();
};

void TestTransforms::flipsMovePixels()
{
    const QImage src = numbered(3, 2);
    QImage tb = src;
    FlipTopBottom(tb);
    QImage lr = src;
    FlipLeftRight(lr);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            QCOMPARE(tb.pixel(x, y), src.pixel(x, 1 - y));
            QCOMPARE(lr.pixel(x, y), src.pixel(2 - x, y));
        }
}

void TestTransforms::twoFlipsGiveOriginal_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("shared");
    for (const QSize s : {QSize(1, 1), QSize(1, 9), QSize(9, 1), QSize(5, 3), QSize(67, 130)}) {
        const QByteArray name = QByteArray::number(s.width()) + "x" + QByteArray::number(s.height());
        QTest::newRow(name.constData()) << s << false;
        QTest::newRow((name + " shared").constData()) << s << true;
    }
}

void TestTransforms::twoFlipsGiveOriginal()
{
    QFETCH(QSize, size);
    QFETCH(bool, shared);
    const QImage original = numbered(size.width(), size.height());
    QImage image = original.copy();
    QImage other;
    for (auto flip : {FlipTopBottom, FlipLeftRight}) {
        if (shared)
            other = image; // forces the out-of-place path
        flip(image);
        if (size.height() > 1 && flip == FlipTopBottom)
            QVERIFY(!samePixels(image, original));
        flip(image);
        QVERIFY(samePixels(image, original));
    }
}

void TestTransforms::rotationMovesPixels()
{
    const QImage src = numbered(3, 2);
    QImage cw = src;
    RotateImage(cw, 90);
    QCOMPARE(cw.size(), QSize(2, 3));
    QImage ccw = src;
    RotateImage(ccw, 270);
    QImage half = src;
    RotateImage(half, 180);
    QCOMPARE(half.size(), QSize(3, 2));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            // Clockwise: the bottom-left corner goes to the top-left.
            QCOMPARE(cw.pixel(1 - y, x), src.pixel(x, y));
            QCOMPARE(ccw.pixel(y, 2 - x), src.pixel(x, y));
            QCOMPARE(half.pixel(2 - x, 1 - y), src.pixel(x, y));
        }
}

void TestTransforms::fourRotationsGiveOriginal_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("angle");
    for (const QSize s : {QSize(1, 1), QSize(1, 7), QSize(7, 1), QSize(64, 64), QSize(131, 65)})
        for (int angle : {90, 180, 270}) {
            const QByteArray name = QByteArray::number(s.width()) + "x" + QByteArray::number(s.height()) +
                                    " by " + QByteArray::number(angle);
            QTest::newRow(name.constData()) << s << angle;
        }
}

void TestTransforms::fourRotationsGiveOriginal()
{
    QFETCH(QSize, size);
    QFETCH(int, angle);
    const QImage original = numbered(size.width(), size.height());
    QImage image = original.copy();
    for (int i = 0; i < 4; ++i) {
        // Every other turn with the pixels shared, so both the in-place and the
        // out-of-place paths run; the other holder must keep its pixels.
        const QImage snapshot = image.copy();
        const QImage other = i % 2 ? image : QImage();
        RotateImage(image, angle);
        if (i % 2)
            QVERIFY(samePixels(other, snapshot));
    }
    QVERIFY(samePixels(image, original));
}

void TestTransforms::rotationAngles()
{
    const QImage src = numbered(4, 3);
    QImage a = src, b = src, c = src;
    RotateImage(a, -90);
    RotateImage(b, 270);
    QVERIFY(samePixels(a, b));
    RotateImage(c, 360);
    QVERIFY(samePixels(c, src));
    QVERIFY_THROWS_EXCEPTION(ProgramError, RotateImage(c, 45));
    QImage empty;
    RotateImage(empty, 90);
    FlipLeftRight(empty);
    ChangeBrightness(empty, 100);
    QVERIFY(empty.isNull());
}

// The copy-on-write promise: a transform of one holder never changes another.
void TestTransforms::sharedHolderNeverChanges()
{
    const QImage pristine = numbered(17, 9);
    const std::vector<std::function<void(QImage &)>> transforms = {
        [](QImage &i) { FlipTopBottom(i); },     [](QImage &i) { FlipLeftRight(i); },
        [](QImage &i) { RotateImage(i, 90); },   [](QImage &i) { RotateImage(i, 180); },
        [](QImage &i) { ChangeBrightness(i, 300); }, [](QImage &i) { ChangeContrast(i, -300); },
    };
    for (const auto &transform : transforms) {
        QImage keeper = pristine.copy();
        QImage holder = keeper;
        transform(holder);
        QVERIFY(samePixels(keeper, pristine));
        QVERIFY(!samePixels(holder, pristine));
    }
}

void TestTransforms::brightnessSaturatesAndKeepsAlpha()
{
    QImage image(3, 1, QImage::Format_ARGB32);
    image.setPixel(0, 0, qRgba(0, 100, 255, 0));
    image.setPixel(1, 0, qRgba(10, 128, 250, 77));
    image.setPixel(2, 0, qRgba(200, 20, 60, 255));
    QImage up = image;
    ChangeBrightness(up, 1000);
    QImage down = image;
    ChangeBrightness(down, -1000);
    QImage half = image;
    ChangeBrightness(half, 500); // adds 127.5, rounded to 128
    QImage clamped = image;
    ChangeBrightness(clamped, 30000); // same as 1000
    for (int x = 0; x < 3; ++x) {
        const QRgb p = image.pixel(x, 0);
        QCOMPARE(up.pixel(x, 0), qRgba(255, 255, 255, qAlpha(p)));
        QCOMPARE(down.pixel(x, 0), qRgba(0, 0, 0, qAlpha(p)));
        QCOMPARE(clamped.pixel(x, 0), up.pixel(x, 0));
        QCOMPARE(half.pixel(x, 0), qRgba(std::min(255, qRed(p) + 128), std::min(255, qGreen(p) + 128),
                                         std::min(255, qBlue(p) + 128), qAlpha(p)));
    }
}

void TestTransforms::contrastAroundMidGrey()
{
    const ToneTable more = brightnessContrastTable(0, 1000); // distance from 127.5 doubled
    QCOMPARE(int(more[127]), 126);
    QCOMPARE(int(more[128]), 129);
    QCOMPARE(int(more[64]), 0);
    QCOMPARE(int(more[200]), 255);
    const ToneTable less = brightnessContrastTable(0, -500); // halved
    QCOMPARE(int(less[0]), 64);
    QCOMPARE(int(less[255]), 191);
    const ToneTable flat = brightnessContrastTable(0, -1000);
    QCOMPARE(int(flat[0]), int(flat[255]));
    const ToneTable none = brightnessContrastTable(0, 0);
    for (int v = 0; v < 256; ++v) {
        QCOMPARE(int(none[size_t(v)]), v);
        // Symmetric around mid-grey and monotonic.
        QCOMPARE(int(less[size_t(v)]) + int(less[size_t(255 - v)]), 255);
        if (v > 0)
            QVERIFY(more[size_t(v)] >= more[size_t(v - 1)]);
    }
    QImage image(2, 1, QImage::Format_ARGB32);
    image.setPixel(0, 0, qRgba(0, 128, 255, 33));
    image.setPixel(1, 0, qRgba(127, 128, 64, 200));
    ChangeContrast(image, 1000);
    QCOMPARE(image.pixel(0, 0), qRgba(0, 129, 255, 33));
    QCOMPARE(image.pixel(1, 0), qRgba(126, 129, 0, 200));
}

void TestTransforms::combinedEqualsSequential()
{
    QImage ramp(256, 1, QImage::Format_ARGB32);
    for (int v = 0; v < 256; ++v)
        ramp.setPixel(v, 0, qRgba(v, 255 - v, (v * 3) & 0xff, v));
    for (const auto &[b, c] : {std::pair{-975, 350}, {390, -350}, {975, 14}, {-39, -14}}) {
        QImage sequential = ramp.copy();
        ChangeBrightness(sequential, b);
        ChangeContrast(sequential, c);
        QImage combined = ramp.copy();
        ApplyBrightnessContrast(combined, b, c);
        QVERIFY2(samePixels(sequential, combined), qPrintable(QStringLiteral("%1 %2").arg(b).arg(c)));
    }
}

void TestTransforms::otherFormatsAreConverted()
{
    QImage rgb888(2, 2, QImage::Format_RGB888);
    rgb888.fill(QColor(10, 20, 30));
    rgb888.setPixelColor(1, 0, QColor(40, 50, 60));
    QImage image = rgb888;
    FlipLeftRight(image);
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.pixel(0, 0), qRgb(40, 50, 60));
    ChangeBrightness(image, 1000);
    QCOMPARE(image.pixel(1, 1), qRgb(255, 255, 255));
    QCOMPARE(rgb888.pixel(1, 0), qRgb(40, 50, 60));
}

void TestTransforms::scalerMatchesReferenceBoxFilter_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::newRow("integer 4:1") << QSize(64, 48) << QSize(16, 12);
    QTest::newRow("fractional 3.75") << QSize(300, 200) << QSize(80, 53);
    QTest::newRow("one axis only") << QSize(90, 40) << QSize(31, 40);
    QTest::newRow("to one pixel") << QSize(37, 23) << QSize(1, 1);
    QTest::newRow("column") << QSize(1, 77) << QSize(1, 10);
    QTest::newRow("near identity") << QSize(101, 99) << QSize(100, 98);
    QTest::newRow("enlarge") << QSize(5, 4) << QSize(12, 9);
    QTest::newRow("large, in two bands") << QSize(1300, 900) << QSize(347, 251);
}

void TestTransforms::scalerMatchesReferenceBoxFilter()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    const QImage src = randomImage(from.width(), from.height(), quint32(from.width() * 1000 + to.width()));
    const QImage ours = areaAverageScale(src, to);
    const QImage ref = referenceBox(src, to);
    QCOMPARE(ours.size(), to);
    QCOMPARE(ours.format(), src.format());
    int worst = 0;
    for (int y = 0; y < to.height(); ++y)
        for (int x = 0; x < to.width(); ++x) {
            const QRgb a = ours.pixel(x, y), b = ref.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                              std::abs(qBlue(a) - qBlue(b))});
        }
    QVERIFY2(worst <= 1, qPrintable(QStringLiteral("largest channel difference %1").arg(worst)));
}

// Fixed-point weights must add up exactly: a flat colour stays that colour at any ratio.
void TestTransforms::scalerKeepsFlatColourExact()
{
    QImage src(997, 613, QImage::Format_ARGB32_Premultiplied);
    src.fill(qRgba(255, 1, 128, 255));
    for (const QSize to : {QSize(100, 61), QSize(3, 997), QSize(996, 612), QSize(7, 1)}) {
        const QImage out = areaAverageScale(src, to);
        for (int y = 0; y < out.height(); ++y)
            for (int x = 0; x < out.width(); ++x)
                QCOMPARE(out.pixel(x, y), qRgba(255, 1, 128, 255));
    }
    QVERIFY(areaAverageScale(src, QSize(0, 5)).isNull());
    QVERIFY(areaAverageScale(QImage(), QSize(5, 5)).isNull());
}

void TestTransforms::scaledCacheServesSameSize()
{
    ScaledImageCache cache;
    QImage image = randomImage(40, 30, 7);
    const QImage first = cache.scaled(image, QSize(20, 15));
    cache.scaled(image, QSize(20, 15));
    QCOMPARE(cache.scaleCount(), 1);
    cache.scaled(image, QSize(10, 7));
    QCOMPARE(cache.scaleCount(), 2);
    FlipTopBottom(image); // a changed image is scaled again, also at a size seen before
    const QImage flipped = cache.scaled(image, QSize(10, 7));
    QCOMPARE(cache.scaleCount(), 3);
    QVERIFY(samePixels(flipped, areaAverageScale(image, QSize(10, 7))));
    // Straight alpha is averaged premultiplied: a transparent red pixel adds no red.
    QImage alpha(2, 1, QImage::Format_ARGB32);
    alpha.setPixel(0, 0, qRgba(255, 0, 0, 0));
    alpha.setPixel(1, 0, qRgba(0, 0, 255, 255));
    const QImage mixed = cache.scaled(alpha, QSize(1, 1)).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(qRed(mixed.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(mixed.pixel(0, 0)), 128);
}

QTEST_GUILESS_MAIN(TestTransforms)
#include "tst_transforms.moc"
