// The imaging control: painting in each size mode (rendered offscreen at ratio 1), large
// reductions on the worker, deferred painting, the shared-image handle, loading with
// progress on the loading thread. How deferred edits combine: tst_imagestate.

#include "common/ChildProcess.h"
#include "imaging/Scaler.h"
#include "imaging/Transforms.h"
#include "imaging/control/Imager.h"
#include "platform/Errors.h"

#include <QApplication>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <thread>
#include <vector>

using namespace oxlume;
using namespace oxlume::imaging;
using oxlume::test::runChild;

namespace {

const QRgb kBack = qRgb(1, 2, 3);

// 4 x 2 pixels, all different.
QImage smallImage()
{
    QImage image(4, 2, QImage::Format_RGB32);
    const QRgb colours[8] = {qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(0, 0, 255),
                             qRgb(255, 255, 0), qRgb(0, 255, 255), qRgb(255, 0, 255),
                             qRgb(128, 64, 32), qRgb(9, 99, 199)};
    for (int i = 0; i < 8; ++i)
        image.setPixel(i % 4, i / 4, colours[i]);
    return image;
}

// The control as it paints: the viewport only, so scroll bars don't count.
QImage render(TImager &imager)
{
    return imager.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

struct Fixture {
    TImager imager;
    explicit Fixture(QSize area, int16_t mode, const QImage &image = smallImage())
    {
        imager.setBackColor(QColor::fromRgb(kBack));
        imager.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        imager.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        imager.resize(area);
        imager.setPaintSizeMode(mode);
        imager.setBitmapList(image);
    }
};

// Every pixel of out inside the image's rectangle equals the image scaled by whole factor
// k; outside, the back colour. Returns the first difference, empty when there is none.
QString blockMismatch(const QImage &out, const QImage &image, QPoint origin, int k)
{
    const QRect rect(origin, image.size() * k);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            const QRgb expected = rect.contains(x, y)
                                      ? image.pixel((x - origin.x()) / k, (y - origin.y()) / k)
                                      : kBack;
            if (out.pixel(x, y) != expected)
                return QStringLiteral("pixel %1,%2 is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(out.pixel(x, y), 0, 16)
                    .arg(expected, 0, 16);
        }
    return {};
}

// Fit enlarges smoothly: outside the image's rectangle the back colour, inside it the centre
// of each k x k block close to its image pixel (neighbours blend in towards the edges).
QString fitMismatch(const QImage &out, const QImage &image, QPoint origin, int k)
{
    const QRect rect(origin, image.size() * k);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            if (!rect.contains(x, y) && out.pixel(x, y) != kBack)
                return QStringLiteral("pixel %1,%2 outside the image is %3")
                    .arg(x)
                    .arg(y)
                    .arg(out.pixel(x, y), 0, 16);
    const auto near = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 40 && std::abs(qGreen(a) - qGreen(b)) <= 40 &&
               std::abs(qBlue(a) - qBlue(b)) <= 40;
    };
    for (int j = 0; j < image.height(); ++j)
        for (int i = 0; i < image.width(); ++i) {
            const QPoint centre = origin + QPoint(i * k + k / 2, j * k + k / 2);
            if (!near(out.pixel(centre), image.pixel(i, j)))
                return QStringLiteral("block %1,%2 is %3, expected about %4")
                    .arg(i)
                    .arg(j)
                    .arg(out.pixel(centre), 0, 16)
                    .arg(image.pixel(i, j), 0, 16);
        }
    return {};
}

#define VERIFY_BLOCKS(out, image, origin, k)                                                       \
    do {                                                                                           \
        const QString mismatch_ = blockMismatch(out, image, origin, k);                            \
        QVERIFY2(mismatch_.isEmpty(), qPrintable(mismatch_));                                      \
    } while (0)

// Run in a child process at device pixel ratio 2 (the ratio is fixed when the application
// starts): 100 % must put one image pixel on one device pixel, fit must fill device pixels.
int highDpiChild(int argc, char **argv)
{
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    Fixture f(QSize(10, 6), 0); // 20 x 12 device pixels
    f.imager.show();
    const QImage actual = render(f.imager);
    if (actual.size() != QSize(20, 12) ||
        !blockMismatch(actual, smallImage(), QPoint(8, 5), 1).isEmpty())
        return 1;
    f.imager.setPaintSizeMode(3);
    return fitMismatch(render(f.imager), smallImage(), QPoint(0, 1), 5).isEmpty() ? 0 : 2;
}

// A noisy picture: every reduction method gives a different result on it.
QImage noisy(int w, int h, uint32_t seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    uint32_t state = seed;
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            row[x] = qRgb(x * 255 / w, y * 255 / h, int(state >> 24));
        }
    }
    return image;
}

// The rectangle at origin equals expected pixel for pixel.
QString areaMismatch(const QImage &out, const QImage &expected, QPoint origin)
{
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            if (out.pixel(origin.x() + x, origin.y() + y) != expected.pixel(x, y))
                return QStringLiteral("pixel %1,%2 differs").arg(x).arg(y);
    return {};
}

std::string writeImage(const QTemporaryDir &dir, const QImage &image, const char *name,
                       const char *format)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!image.save(path, format, 90))
        return {};
    return path.toStdString();
}

} // namespace

class TestImager : public QObject {
    Q_OBJECT
private slots:
    void actualSizeIsExactAndCentred();
    void highDpiIsOnePixelPerDevicePixel();
    void fitKeepsAspectAndCentres();
    void fitReductionIsAreaAveragedAndCached();
    void zoomFactorHonoured();
    void largerThanAreaScrolls();
    void autoRepaintOffDefersPainting();
    void bitmapListIsSharedHandle();
    void argumentsOfTheControl();
    void progressOnLoadingThread();
    void disabledProgressSilencesLoad();
    void failedLoadRaisesAndEmpties();
    void largeReductionRunsInBackground_data();
    void largeReductionRunsInBackground();
    void staleBackgroundReductionDiscarded();
};

void TestImager::actualSizeIsExactAndCentred()
{
    Fixture f(QSize(10, 6), 0);
    VERIFY_BLOCKS(render(f.imager), smallImage(), QPoint(3, 2), 1);
    // An empty control paints only its back colour.
    f.imager.setBitmapList(nullptr);
    const QImage empty = render(f.imager);
    QCOMPARE(empty.pixel(0, 0), kBack);
    QCOMPARE(empty.pixel(9, 5), kBack);
}

void TestImager::highDpiIsOnePixelPerDevicePixel()
{
    const test::ChildRun child = runChild({"OXLUME_TST_IMAGER_HIGH_DPI=1"});
    QVERIFY2(child.exitCode == 0, child.err.constData());
}

void TestImager::fitKeepsAspectAndCentres()
{
    // 4 x 2 into 20 x 20: 20 x 10, centred vertically; enlarged smoothly (fitting is not
    // zooming in to see the pixels).
    Fixture f(QSize(20, 20), 3);
    QString mismatch = fitMismatch(render(f.imager), smallImage(), QPoint(0, 5), 5);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    f.imager.resize(40, 12);
    mismatch = fitMismatch(render(f.imager), smallImage(), QPoint(8, 0), 6);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestImager::fitReductionIsAreaAveragedAndCached()
{
    QImage big(40, 20, QImage::Format_RGB32);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
            big.setPixel(x, y, ((x + y) % 2) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    Fixture f(QSize(10, 9), 3, big); // 10 x 5 at y 2
    const QImage out = render(f.imager);
    const QImage expected = areaAverageScale(big, QSize(10, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 10; ++x)
            QCOMPARE(out.pixel(x, y + 2), expected.pixel(x, y));
    // A checkerboard averages to grey, where point sampling would give black or white.
    QVERIFY(qAbs(qRed(out.pixel(5, 4)) - 128) <= 1);
    QCOMPARE(out.pixel(0, 0), kBack);
    QCOMPARE(out.pixel(0, 8), kBack);
    const int scaled = f.imager.scaleCount();
    render(f.imager);
    QCOMPARE(f.imager.scaleCount(), scaled);
    f.imager.FlipLeftRight();
    render(f.imager);
    QCOMPARE(f.imager.scaleCount(), scaled + 1);
}

void TestImager::zoomFactorHonoured()
{
    Fixture f(QSize(12, 10), 4);
    f.imager.setPaintZoomFactor(200);
    VERIFY_BLOCKS(render(f.imager), smallImage(), QPoint(2, 3), 2);
    f.imager.setPaintZoomFactor(300);
    VERIFY_BLOCKS(render(f.imager), smallImage(), QPoint(0, 2), 3);
    QCOMPARE(f.imager.viewGeometry().targetDeviceSize(), QSize(12, 6));
    f.imager.setPaintZoomFactor(50);
    QCOMPARE(f.imager.viewGeometry().targetDeviceSize(), QSize(2, 1));
    f.imager.setPaintZoomFactor(99999); // kept within 1..1600
    QCOMPARE(f.imager.PaintZoomFactor(), 1600.0f);
}

void TestImager::largerThanAreaScrolls()
{
    TImager imager;
    imager.resize(60, 60);
    imager.show(); // lays out the viewport
    imager.setPaintSizeMode(0);
    imager.setBitmapList(QImage(300, 40, QImage::Format_RGB32));
    QVERIFY(imager.horizontalScrollBar()->maximum() > 0);
    QCOMPARE(imager.verticalScrollBar()->maximum(), 0);
    imager.setPaintSizeMode(3);
    QCOMPARE(imager.horizontalScrollBar()->maximum(), 0);
}

void TestImager::autoRepaintOffDefersPainting()
{
    Fixture f(QSize(4, 2), 0);
    const QImage before = render(f.imager);
    f.imager.setAutoRepaint(false);
    f.imager.FlipLeftRight();
    f.imager.FlipTopBottom();
    f.imager.ChangeBrightness(1000);
    QCOMPARE(render(f.imager), before);
    f.imager.setAutoRepaint(true);
    QCOMPARE(render(f.imager).pixel(0, 0), qRgb(255, 255, 255));
}

void TestImager::bitmapListIsSharedHandle()
{
    TImager a, b;
    QCOMPARE(a.BitmapListCount(), int16_t(0));
    a.setBitmapList(smallImage());
    QCOMPARE(a.BitmapListCount(), int16_t(1));
    b.setBitmapList(a.BitmapList());
    QCOMPARE(b.BitmapList().cacheKey(), a.BitmapList().cacheKey()); // no copy made
    b.FlipLeftRight();
    QCOMPARE(a.BitmapList(), smallImage());
    QCOMPARE(b.BitmapList().pixel(0, 0), smallImage().pixel(3, 0));
    // ... and the other way round: the keeper's change leaves the receiver alone.
    a.setBitmapList(b.BitmapList());
    a.ChangeContrast(-1000);
    QCOMPARE(b.BitmapList().pixel(0, 0), smallImage().pixel(3, 0));
    b.setBitmapList(nullptr);
    QCOMPARE(b.BitmapListCount(), int16_t(0));
    QCOMPARE(a.BitmapListCount(), int16_t(1));
}

// The control's own argument scales: angles in hundredths of a degree, checked modes.
void TestImager::argumentsOfTheControl()
{
    TImager imager;
    imager.RotateImage(9000, true, 0); // nothing held: nothing happens
    imager.setBitmapList(smallImage());
    imager.RotateImage(9000, true, 0);
    QCOMPARE(imager.BitmapList().size(), QSize(2, 4));
    QCOMPARE(imager.BitmapList().pixel(0, 0), smallImage().pixel(0, 1));
    imager.RotateImage(27000, true, 0);
    QCOMPARE(imager.BitmapList(), smallImage());
    imager.ChangeBrightness(-975);
    QCOMPARE(imager.BitmapList().pixel(3, 0), qRgb(6, 6, 0));
    QVERIFY_THROWS_EXCEPTION(ProgramError, imager.RotateImage(4500, true, 0));
    QVERIFY_THROWS_EXCEPTION(ProgramError, imager.setPaintSizeMode(2));
    QCOMPARE(imager.PaintSizeMode(), int16_t(3));
    QVERIFY_THROWS_EXCEPTION(ProgramError, imager.setPaintZoomFactor(std::nanf("")));
    QCOMPARE(imager.PaintZoomFactor(), 100.0f);
}

void TestImager::progressOnLoadingThread()
{
    QTemporaryDir dir;
    QImage image(600, 400, QImage::Format_RGB32);
    image.fill(qRgb(20, 120, 220));
    const std::string path = writeImage(dir, image, "photo.jpg", "JPG");
    if (path.empty())
        QSKIP("no JPEG writer among the Qt image plugins");

    WindowlessImager imager; // created here, loaded on another thread, as the decoder instance is
    std::vector<int> percents;
    std::vector<std::thread::id> threads;
    std::vector<WindowlessImager *> senders;
    imager.setOnProgressStatus([&](WindowlessImager *sender, int16_t percent) {
        percents.push_back(percent);
        threads.push_back(std::this_thread::get_id());
        senders.push_back(sender);
    });
    QString error;
    std::thread loader([&] {
        try {
            imager.LoadFile(path, 0, 0, 1);
        } catch (const ProgramError &e) {
            error = QString::fromUtf8(e.what());
        }
    });
    const std::thread::id loaderId = loader.get_id();
    loader.join();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(imager.BitmapList().size(), QSize(600, 400));
    QVERIFY(percents.size() >= 2);
    for (size_t i = 1; i < percents.size(); ++i)
        QVERIFY(percents[i] > percents[i - 1]);
    QCOMPARE(percents.back(), 100);
    for (size_t i = 0; i < threads.size(); ++i) {
        QVERIFY(threads[i] == loaderId);
        QCOMPARE(senders[i], &imager);
    }
}

void TestImager::disabledProgressSilencesLoad()
{
    QTemporaryDir dir;
    QImage image(800, 800, QImage::Format_RGB32);
    image.fill(qRgb(200, 10, 10));
    const std::string path = writeImage(dir, image, "big.png", "PNG");
    QVERIFY(!path.empty());
    TImager imager;
    int events = 0;
    // As a superseded load is silenced: the first report switches the events off.
    imager.setOnProgressStatus([&](TImager *sender, int16_t) {
        ++events;
        sender->setEnableProgressEvent(false);
    });
    bool failed = false;
    try {
        imager.LoadFile(path);
    } catch (const ProgramError &) {
        failed = true;
    }
    QCOMPARE(events, 1);
    // Either the load stopped early (and holds nothing) or it finished; never half an image.
    QCOMPARE(imager.BitmapListCount(), int16_t(failed ? 0 : 1));

    // Switched back on, the next load reports again and ends at 100.
    std::vector<int> percents;
    imager.setOnProgressStatus([&](TImager *, int16_t p) { percents.push_back(p); });
    imager.setEnableProgressEvent(true);
    imager.LoadFile(path);
    QVERIFY(!percents.empty());
    QCOMPARE(percents.back(), 100);
}

void TestImager::failedLoadRaisesAndEmpties()
{
    QTemporaryDir dir;
    TImager imager;
    imager.setBitmapList(smallImage());
    const std::string folder = (dir.path() + QStringLiteral("/x.jpg")).toStdString();
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("x.jpg")));
    int events = 0;
    imager.setOnProgressStatus([&](TImager *, int16_t) { ++events; });
    try {
        imager.LoadFile(folder);
        QFAIL("a folder loaded");
    } catch (const ProgramError &e) {
        QVERIFY2(QByteArray(e.what()).contains("x.jpg"), e.what());
    }
    QCOMPARE(imager.BitmapListCount(), int16_t(0));
    QCOMPARE(events, 0);
    QVERIFY_THROWS_EXCEPTION(ProgramError, imager.LoadFile(folder + "-missing"));
}

void TestImager::largeReductionRunsInBackground_data()
{
    QTest::addColumn<QSize>("imageSize");
    QTest::addColumn<qint64>("threshold");
    QTest::addColumn<bool>("background");
    QTest::newRow("forced") << QSize(600, 400) << qint64(0) << true;
    QTest::newRow("below") << QSize(600, 400) << qint64(600 * 400 + 1) << false;
    QTest::newRow("default, at it") << QSize(2500, 1600) << TImager::kBackgroundScaleFrom << true;
    QTest::newRow("default, below") << QSize(2499, 1600) << TImager::kBackgroundScaleFrom << false;
}

// Past the threshold the first paint shows a sampled picture and leaves the smooth
// reduction to the worker; once it lands, the painted pixels are exactly the synchronous
// reduction, and repaints at the same size come from the cache.
void TestImager::largeReductionRunsInBackground()
{
    QFETCH(QSize, imageSize);
    QFETCH(qint64, threshold);
    QFETCH(bool, background);
    const QImage image = noisy(imageSize.width(), imageSize.height(), 11);
    TImager imager;
    imager.setBackgroundScaleFrom(threshold);
    imager.setBackColor(QColor::fromRgb(kBack));
    imager.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    imager.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    imager.resize(150, 120);
    imager.setPaintSizeMode(3);
    imager.setBitmapList(image);
    const QImage first = render(imager); // lays the viewport out, too
    const QRect target = imager.viewGeometry().targetDeviceRect(QPoint(0, 0));
    QVERIFY(target.width() == 150 || target.height() == 120);
    const QImage expected = areaAverageScale(image, target.size());
    QCOMPARE(imager.isScalingInBackground(), background);
    QCOMPARE(imager.scaleCount(), background ? 0 : 1);
    if (background) {
        // Something of the image is on screen at once: not the back colour, not the result.
        QCOMPARE(first.pixel(target.center()) == kBack, false);
        QVERIFY(!areaMismatch(first, expected, target.topLeft()).isEmpty());
        render(imager); // a repaint meanwhile starts no second reduction
        QTRY_VERIFY(!imager.isScalingInBackground());
        QCOMPARE(imager.scaleCount(), 1);
    }
    const QString mismatch = areaMismatch(render(imager), expected, target.topLeft());
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(imager.scaleCount(), 1);
    QCOMPARE(imager.isScalingInBackground(), false);
}

// A reduction that lands after its image was replaced is dropped, and the new image gets
// its own; an instance destroyed while its reduction runs is never called back.
void TestImager::staleBackgroundReductionDiscarded()
{
    const QImage a = noisy(800, 600, 1);
    const QImage b = noisy(800, 600, 2);
    Fixture f(QSize(100, 75), 3, a);
    f.imager.setBackgroundScaleFrom(0);
    render(f.imager);
    QVERIFY(f.imager.isScalingInBackground());
    f.imager.setBitmapList(b);
    QTRY_VERIFY(!f.imager.isScalingInBackground());
    QCOMPARE(f.imager.scaleCount(), 0);
    render(f.imager);
    QVERIFY(f.imager.isScalingInBackground());
    QTRY_VERIFY(!f.imager.isScalingInBackground());
    QCOMPARE(f.imager.scaleCount(), 1);
    const QString mismatch =
        areaMismatch(render(f.imager), areaAverageScale(b, QSize(100, 75)), QPoint(0, 0));
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));

    // A change of size is a miss too, reduced in the background like the first.
    f.imager.resize(80, 60);
    render(f.imager);
    QTRY_VERIFY(!f.imager.isScalingInBackground());
    QCOMPARE(f.imager.scaleCount(), 2);

    auto gone = std::make_unique<Fixture>(QSize(100, 75), 3, a);
    gone->imager.setBackgroundScaleFrom(0);
    render(gone->imager);
    QVERIFY(gone->imager.isScalingInBackground());
    gone.reset();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents(); // a landing sent to the destroyed instance would crash
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("OXLUME_TST_IMAGER_HIGH_DPI"))
        return highDpiChild(argc, argv);
    QApplication app(argc, argv);
    TestImager test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_imager.moc"
