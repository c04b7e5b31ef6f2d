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
            image.setPixel(x, y,
                           qRgba(x & 0xff, y & 0xff, (x * 7 + y * 13) & 0xff, 40 + (x + y) % 200));
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
            out.setPixel(x, y,
                         qRgba(int(std::lround(sum[0] / area)), int(std::lround(sum[1] / area)),
                               int(std::lround(sum[2] / area)), int(std::lround(sum[3] / area))));
        }
    }
    return out;
}

} // namespace

class TestTransforms : public QObject {
    Q_OBJECT
private slots:
    void flipsMirrorAndUndo_data();
    void flipsMirrorAndUndo();
    void rotationsTurnAndUndo_data();
    void rotationsTurnAndUndo();
    void sharedHolderNeverChanges();
    void toneSaturatesKeepsAlphaAndCentresOnGrey();
    void combinedEqualsSequential();
    void toneMatchesTableEverywhere();
    void largeTurnsLandExactly();
    void onePassEqualsSequential_data();
    void onePassEqualsSequential();
    void scalerMatchesReferenceBoxFilter_data();
    void scalerMatchesReferenceBoxFilter();
    void scalerKeepsFlatColourExact();
    void scaledCacheServesSameSize();
};

// Sizes that hit single rows and columns, odd middles and partial rotation tiles; each
// also with the pixels shared, which takes the out-of-place path.
static void addSizes()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("shared");
    for (const QSize s : {QSize(1, 1), QSize(1, 9), QSize(9, 1), QSize(5, 3), QSize(131, 66)})
        for (bool shared : {false, true}) {
            const QByteArray name = QByteArray::number(s.width()) + "x" +
                                    QByteArray::number(s.height()) + (shared ? " shared" : "");
            QTest::newRow(name.constData()) << s << shared;
        }
}

void TestTransforms::flipsMirrorAndUndo_data()
{
    addSizes();
}

void TestTransforms::flipsMirrorAndUndo()
{
    QFETCH(QSize, size);
    QFETCH(bool, shared);
    const int w = size.width(), h = size.height();
    const QImage original = numbered(w, h);
    QImage tb = original.copy(), lr = original.copy();
    const QImage keepTb = shared ? tb : QImage(), keepLr = shared ? lr : QImage();
    FlipTopBottom(tb);
    FlipLeftRight(lr);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            QCOMPARE(tb.pixel(x, y), original.pixel(x, h - 1 - y));
            QCOMPARE(lr.pixel(x, y), original.pixel(w - 1 - x, y));
        }
    FlipTopBottom(tb);
    FlipLeftRight(lr);
    QVERIFY(samePixels(tb, original));
    QVERIFY(samePixels(lr, original));
}

void TestTransforms::rotationsTurnAndUndo_data()
{
    addSizes();
}

void TestTransforms::rotationsTurnAndUndo()
{
    QFETCH(QSize, size);
    QFETCH(bool, shared);
    const int w = size.width(), h = size.height();
    const QImage original = numbered(w, h);
    for (int angle : {90, 180, 270}) {
        QImage image = original.copy();
        const QImage keep = shared ? image : QImage();
        RotateImage(image, angle);
        QCOMPARE(image.size(), angle == 180 ? size : size.transposed());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                // Clockwise: the bottom-left corner goes to the top-left.
                const QPoint to = angle == 90    ? QPoint(h - 1 - y, x)
                                  : angle == 180 ? QPoint(w - 1 - x, h - 1 - y)
                                                 : QPoint(y, w - 1 - x);
                QCOMPARE(image.pixel(to), original.pixel(x, y));
            }
        for (int turn = 1; turn < 4; ++turn)
            RotateImage(image, angle);
        QVERIFY(samePixels(image, original));
    }
    if (size.width() > 100 && !shared) {
        // Large enough for the two-thread path, compared with Qt's own rotation.
        const QImage large = numbered(1203, 901);
        for (int angle : {90, 270}) {
            QImage turned = large;
            RotateImage(turned, angle);
            QVERIFY(turned == large.transformed(QTransform().rotate(angle)));
        }
    }
    QImage image = original.copy();
    QVERIFY_THROWS_EXCEPTION(ProgramError, RotateImage(image, 45));
    RotateImage(image, -450); // -90 is 270
    RotateImage(image, 270);
    RotateImage(image, 360);
    QVERIFY(samePixels(image, original.transformed(QTransform().rotate(180))));
}

// The copy-on-write promise: a transform of one holder never changes another.
void TestTransforms::sharedHolderNeverChanges()
{
    const QImage pristine = numbered(17, 9);
    const std::vector<std::function<void(QImage &)>> transforms = {
        [](QImage &i) { FlipTopBottom(i); },         [](QImage &i) { FlipLeftRight(i); },
        [](QImage &i) { RotateImage(i, 90); },       [](QImage &i) { RotateImage(i, 180); },
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

void TestTransforms::toneSaturatesKeepsAlphaAndCentresOnGrey()
{
    QImage image(3, 1, QImage::Format_ARGB32);
    image.setPixel(0, 0, qRgba(0, 100, 255, 0));
    image.setPixel(1, 0, qRgba(10, 128, 250, 77));
    image.setPixel(2, 0, qRgba(200, 20, 60, 255));
    QImage up = image, down = image, half = image, clamped = image;
    ChangeBrightness(up, 1000);
    ChangeBrightness(down, -1000);
    ChangeBrightness(half, 500);      // adds 127.5, rounded to 128
    ChangeBrightness(clamped, 30000); // same as 1000
    for (int x = 0; x < 3; ++x) {
        const QRgb p = image.pixel(x, 0);
        const auto plus = [](int v) { return std::min(255, v + 128); };
        QCOMPARE(up.pixel(x, 0), qRgba(255, 255, 255, qAlpha(p)));
        QCOMPARE(down.pixel(x, 0), qRgba(0, 0, 0, qAlpha(p)));
        QCOMPARE(clamped.pixel(x, 0), up.pixel(x, 0));
        QCOMPARE(half.pixel(x, 0),
                 qRgba(plus(qRed(p)), plus(qGreen(p)), plus(qBlue(p)), qAlpha(p)));
    }
    // Contrast scales the distance from 127.5: doubled, halved, flattened.
    const ToneTable more = brightnessContrastTable(0, 1000);
    const ToneTable less = brightnessContrastTable(0, -500);
    const ToneTable flat = brightnessContrastTable(0, -1000);
    QCOMPARE(QList<int>({more[127], more[128], more[64], more[200]}),
             QList<int>({126, 129, 0, 255}));
    QCOMPARE(QList<int>({less[0], less[255], flat[0], flat[255]}), QList<int>({64, 191, 128, 128}));
    for (int v = 0; v < 256; ++v) {
        QCOMPARE(int(brightnessContrastTable(0, 0)[size_t(v)]), v);
        QCOMPARE(int(less[size_t(v)]) + int(less[size_t(255 - v)]), 255); // symmetric
    }
    ChangeContrast(image, 1000);
    QCOMPARE(image.pixel(1, 0), qRgba(0, 129, 255, 77));
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
        QVERIFY2(samePixels(sequential, combined),
                 qPrintable(QStringLiteral("%1 %2").arg(b).arg(c)));
    }
}

// Every setting the sliders reach, and more across the whole range, gives exactly the
// table's pixels, on rows with a part of eight and a rest; where the processor allows, all of
// them are worked out eight pixels at a time.
void TestTransforms::toneMatchesTableEverywhere()
{
    QImage ramp(261, 3, QImage::Format_ARGB32);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 261; ++x)
            ramp.setPixel(x, y,
                          qRgba(x & 0xff, (x + 85 * y) & 0xff, (7 * x) & 0xff, (x * 13) & 0xff));
    std::vector<std::pair<int, int>> settings;
    for (int b = -25; b <= 25; ++b)
        for (int c = -25; c <= 25; ++c)
            settings.emplace_back(b * 39, c * 14);
    QRandomGenerator random(17);
    for (int i = 0; i < 500; ++i)
        settings.emplace_back(random.bounded(-1000, 1001), random.bounded(-999, 1001));
    int vectorised = 0;
    for (const auto &[b, c] : settings) {
        const ToneTable table = brightnessContrastTable(b, c);
        QImage toned = ramp.copy();
        applyToneTable(toned, table);
        bool same = true;
        for (int y = 0; y < 3 && same; ++y)
            for (int x = 0; x < 261 && same; ++x) {
                const QRgb p = ramp.pixel(x, y);
                same = toned.pixel(x, y) == qRgba(table[size_t(qRed(p))], table[size_t(qGreen(p))],
                                                  table[size_t(qBlue(p))], qAlpha(p));
            }
        QVERIFY2(same, qPrintable(QStringLiteral("brightness %1 contrast %2").arg(b).arg(c)));
        vectorised += toneTableVectorised(table);
    }
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        QCOMPARE(vectorised, int(settings.size()));
#endif
}

// Results too large for the cache are streamed out a cache line at a time; sides that are no
// multiple of a line leave rows that start anywhere, and every pixel must still land.
void TestTransforms::largeTurnsLandExactly()
{
    const QImage source = randomImage(4099, 2051, 5);
    QImage turned = source;
    RotateImage(turned, 90);
    QVERIFY(samePixels(turned, source.transformed(QTransform().rotate(90))));

    const ToneTable tone = brightnessContrastTable(-200, 300);
    QImage toned = source;
    applyOrientationAndTone(toned, Orientation::rotation(270).then(Orientation::flipTopBottom()),
                            &tone);
    QImage expected = source.transformed(QTransform().rotate(270)).mirrored(false, true);
    for (int y = 0; y < expected.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(expected.scanLine(y));
        for (int x = 0; x < expected.width(); ++x)
            row[x] = qRgb(tone[size_t(qRed(row[x]))], tone[size_t(qGreen(row[x]))],
                          tone[size_t(qBlue(row[x]))]);
    }
    QVERIFY(samePixels(toned, expected));
}

// All eight orientations, reached by flips and turns in either order, with and without a
// tone table, on sizes that leave single rows, single columns and partial tiles.
void TestTransforms::onePassEqualsSequential_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("withTone");
    QTest::addColumn<int>("format"); // -1: ARGB32, with a table that no line gives
    for (const QSize s : {QSize(1, 1), QSize(1, 7), QSize(7, 1), QSize(37, 19), QSize(131, 66)})
        for (bool tone : {false, true}) {
            const QByteArray name = QByteArray::number(s.width()) + "x" +
                                    QByteArray::number(s.height()) + (tone ? " tone" : "");
            QTest::newRow(name.constData()) << s << tone << int(QImage::Format_ARGB32);
        }
    QTest::newRow("37x19 tone RGB888") << QSize(37, 19) << true << int(QImage::Format_RGB888);
    // Large enough to be shared out between threads.
    QTest::newRow("1203x901 tone") << QSize(1203, 901) << true << int(QImage::Format_ARGB32);
    // A table that no straight line gives takes the look-ups instead.
    QTest::newRow("131x66 inverting tone") << QSize(131, 66) << true << -1;
}

void TestTransforms::onePassEqualsSequential()
{
    QFETCH(QSize, size);
    QFETCH(bool, withTone);
    QFETCH(int, format);
    const QImage original =
        numbered(size.width(), size.height())
            .convertToFormat(QImage::Format(format < 0 ? QImage::Format_ARGB32 : format));
    const QImage pristine = original.copy();
    ToneTable tone = brightnessContrastTable(390, -280);
    if (format < 0)
        std::reverse(tone.begin(), tone.end());
    struct Step {
        Orientation orientation;
        std::function<void(QImage &)> apply;
    };
    const Step flipTb{Orientation::flipTopBottom(), [](QImage &i) { FlipTopBottom(i); }};
    const Step flipLr{Orientation::flipLeftRight(), [](QImage &i) { FlipLeftRight(i); }};
    QSet<QByteArray> reached; // each orientation by its result on a 2 x 3 probe
    for (int turn : {0, 90, 180, 270, -90})
        for (int flips = 0; flips < 4; ++flips)
            for (bool turnFirst : {false, true}) {
                const Step rotate{Orientation::rotation(turn),
                                  [turn](QImage &i) { RotateImage(i, turn); }};
                std::vector<Step> steps;
                if (turnFirst)
                    steps.push_back(rotate);
                if (flips & 1)
                    steps.push_back(flipTb);
                if (flips & 2)
                    steps.push_back(flipLr);
                if (!turnFirst)
                    steps.push_back(rotate);

                QImage expected = original.copy();
                Orientation composed;
                for (size_t i = 0; i < steps.size(); ++i) {
                    if (withTone &&
                        i == std::min<size_t>(1, steps.size() - 1)) // anywhere in the sequence
                        applyToneTable(expected, tone);
                    steps[i].apply(expected);
                    composed = composed.then(steps[i].orientation);
                }
                QImage image = original;
                applyOrientationAndTone(image, composed, withTone ? &tone : nullptr);
                const QByteArray what = QByteArray::number(turn) + " flips " +
                                        QByteArray::number(flips) +
                                        (turnFirst ? " turn first" : "");
                QVERIFY2(image == expected, what.constData());
                QVERIFY(original == pristine);

                QImage probe = numbered(2, 3);
                applyOrientationAndTone(probe, composed, nullptr);
                reached.insert(QByteArray(reinterpret_cast<const char *>(probe.constBits()),
                                          probe.sizeInBytes()));
            }
    QCOMPARE(reached.size(), 8);
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
    const QImage src =
        randomImage(from.width(), from.height(), quint32(from.width() * 1000 + to.width()));
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
