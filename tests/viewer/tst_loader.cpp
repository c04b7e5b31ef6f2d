// Showing images: captions, titles, repeated and failing requests, in both modes.

#include "imaging/ImageBuffer.h"
#include "imaging/Scaler.h"
#include "viewer/ImageLoader.h"

#include "common/ImageMagick.h"

#include <QApplication>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QLoggingCategory>

#include <memory>
#include <mutex>

using namespace oxlume;
using oxlume::imaging::TImager;
using oxlume::imaging::WindowlessImager;

namespace {

std::string save(const QTemporaryDir &dir, const QString &name, const QImage &image,
                 const char *format)
{
    const QString path = dir.filePath(name);
    if (!image.save(path, format))
        return {};
    return QFile::encodeName(path).toStdString();
}

QImage pattern(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x & 255, y & 255, (x * y) & 255));
    return image;
}

// A PCX of a few hundred bytes whose header asks for width x height: the pixels it lacks
// are filled in, so it decodes to a whole image of that size.
std::string tinyPcx(const QTemporaryDir &dir, const QString &name, int width, int height)
{
    QByteArray file(128, '\0');
    const auto put16 = [&](int at, int v) {
        file[at] = char(v & 0xFF);
        file[at + 1] = char(v >> 8);
    };
    file[0] = 0x0A; // magic
    file[1] = 5;    // version
    file[2] = 1;    // run-length encoded
    file[3] = 8;    // bits per pixel
    put16(8, width - 1);
    put16(10, height - 1);
    file[65] = 3; // planes: red, green, blue
    put16(66, width);
    for (int i = 0; i < 100; ++i)
        file.append("\xC5\x80", 2);
    QFile out(dir.filePath(name));
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size())
        return {};
    return QFile::encodeName(out.fileName()).toStdString();
}

QString shown(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// A window stand-in that records what the loader puts on it.
struct Window {
    QString caption = QStringLiteral("start");
    QString title = QStringLiteral("start");
    QStringList captions;
    QStringList titles;
    int adjustments = 0;

    ImageLoader::WindowHooks hooks()
    {
        ImageLoader::WindowHooks h;
        h.caption = [this] { return caption; };
        h.setCaption = [this](const QString &text) {
            caption = text;
            captions << text;
        };
        h.title = [this] { return title; };
        h.setTitle = [this](const QString &text) {
            title = text;
            titles << text;
        };
        h.applyAdjustments = [this] { ++adjustments; };
        return h;
    }
};

struct Rig {
    TImager imager1;
    WindowlessImager decoder;
    WindowlessImager unadjusted;
    TOptions options;
    Window window;
    std::unique_ptr<ImageLoader> loader;

    explicit Rig(bool background)
    {
        options.UseWorkThread = background;
        loader =
            std::make_unique<ImageLoader>(imager1, decoder, unadjusted, options, window.hooks());
    }
    // Background: until the worker has handed over and parked again.
    bool settle(int handOvers)
    {
        return QTest::qWaitFor(
            [&] { return loader->handOverCount() == handOvers && loader->isWorkerParked(); }, 5000);
    }
};

// What reaches the oxlume.load category while it lives (from any thread).
class LoadLog {
public:
    LoadLog()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("oxlume.load.debug=true"));
        s_log = this;
        m_previous = qInstallMessageHandler(&LoadLog::handle);
    }
    ~LoadLog()
    {
        qInstallMessageHandler(m_previous);
        s_log = nullptr;
        QLoggingCategory::setFilterRules(QString());
    }
    QStringList lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &context, const QString &text)
    {
        if (s_log && qstrcmp(context.category, "oxlume.load") == 0) {
            std::lock_guard lock(s_log->m_mutex);
            s_log->m_lines << text;
        }
    }
    static inline LoadLog *s_log = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

} // namespace

class TestLoader : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void foregroundCaptionsRunThroughPercentages();
    void backgroundCaptionsWaitForTheTimer();
    void sameRequestDoesNothing_data();
    void sameRequestDoesNothing();
    void emptyPathClears_data();
    void emptyPathClears();
    void failureKeepsLastProgressCaption_data();
    void failureKeepsLastProgressCaption();
    void handOverEmptiesDecoderAndCopy();
    void bytePathsAreShownNotChanged();
    void stepsWithinTheImageBudget_data();
    void stepsWithinTheImageBudget();
    void animationPlaysInTheImageArea_data();
    void animationPlaysInTheImageArea();
    void firstPaintIsFinal_data();
    void firstPaintIsFinal();

private:
    QTemporaryDir m_dir;
    std::string m_first;  // 320 x 240
    std::string m_second; // 200 x 300
    std::string m_damaged;
};

void TestLoader::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_first = save(m_dir, QStringLiteral("first.bmp"), pattern(320, 240), "BMP");
    m_second = save(m_dir, QStringLiteral("second image.bmp"), pattern(200, 300), "BMP");
    QVERIFY(!m_first.empty() && !m_second.empty());

    // Decoders fill in cut-short pixel data, so a damaged file is one no decoder takes.
    m_damaged = m_dir.filePath(QStringLiteral("damaged.bmp")).toStdString();
    QFile damaged(shown(m_damaged));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("BM this is not a bitmap at all");
}

void TestLoader::foregroundCaptionsRunThroughPercentages()
{
    Rig rig(false);
    rig.loader->ShowImage(m_first);
    QCOMPARE(rig.imager1.BitmapList().size(), QSize(320, 240));
    QCOMPARE(rig.window.adjustments, 1);

    QStringList captions = rig.window.captions;
    QVERIFY2(captions.size() >= 3, qPrintable(captions.join(QLatin1Char('|'))));
    QCOMPARE(captions.takeLast(), QStringLiteral("Oxlume: ") + shown(m_first));
    int last = -1;
    for (const QString &caption : captions) {
        QVERIFY2(caption.startsWith(QStringLiteral("Oxlume: ")) &&
                     caption.endsWith(QStringLiteral("% Loaded")),
                 qPrintable(caption));
        const int percent = caption.mid(8, caption.size() - 16).toInt();
        QVERIFY(percent > last && percent < 100);
        last = percent;
    }
    QStringList titles = rig.window.titles;
    QCOMPARE(titles.takeLast(), QStringLiteral("Oxlume: first.bmp"));
    QCOMPARE(titles.removeAll(QStringLiteral("Oxlume")), titles.size());
    QCOMPARE(rig.loader->PendingCaption(), rig.window.caption);
    QCOMPARE(rig.loader->PendingTitle(), rig.window.title);
    QCOMPARE(rig.loader->LoadingFile(), m_first);
}

void TestLoader::backgroundCaptionsWaitForTheTimer()
{
    Rig rig(true);
    rig.loader->ShowImage(m_second);
    QVERIFY(rig.settle(1));
    QCOMPARE(rig.imager1.BitmapList().size(), QSize(200, 300));
    QCOMPARE(rig.window.adjustments, 1);
    // The worker only leaves the texts; the window is untouched until the timer runs.
    QCOMPARE(rig.window.caption, QStringLiteral("start"));
    QCOMPARE(rig.loader->PendingCaption(), QStringLiteral("Oxlume: ") + shown(m_second));
    QCOMPARE(rig.loader->PendingTitle(), QStringLiteral("Oxlume: second image.bmp"));

    rig.loader->startUpdates();
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.caption, rig.loader->PendingCaption(), 1000);
    QCOMPARE(rig.window.title, rig.loader->PendingTitle());
    // Applied once, not re-set on every tick; and the timer stops once nothing loads.
    QTest::qWait(700);
    QCOMPARE(rig.window.captions.size(), 1);
    QVERIFY(!rig.loader->updatesRunning());
    rig.loader->ShowImage(m_damaged); // a load that fails ends the updates too
    QVERIFY(rig.loader->updatesRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.loader->updatesRunning(), 5000);

    // The timer does nothing in foreground mode.
    rig.options.UseWorkThread = false;
    rig.loader->ShowImage(m_first);
    rig.window.caption = QStringLiteral("changed");
    QTest::qWait(400);
    QCOMPARE(rig.window.caption, QStringLiteral("changed"));

    // Switched off while the worker loads (OK in the Options dialog): the worker's image
    // still arrives, and the caption ends on that file, not on a percentage.
    rig.options.UseWorkThread = true;
    rig.loader->ShowImage(m_second);
    rig.options.UseWorkThread = false;
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.caption, QStringLiteral("Oxlume: ") + shown(m_second),
                              3000);
}

void TestLoader::sameRequestDoesNothing_data()
{
    QTest::addColumn<bool>("background");
    QTest::newRow("foreground") << false;
    QTest::newRow("background") << true;
}

void TestLoader::sameRequestDoesNothing()
{
    QFETCH(bool, background);
    Rig rig(background);
    rig.loader->ShowImage(m_first);
    QVERIFY(!background || rig.settle(1));
    const qint64 key = rig.imager1.BitmapList().cacheKey();
    const qsizetype captions = rig.window.captions.size();

    rig.loader->ShowImage(m_first);
    QTest::qWait(100);
    QVERIFY(rig.loader->isWorkerParked());
    QCOMPARE(rig.loader->handOverCount(), background ? 1 : 0);
    QCOMPARE(rig.imager1.BitmapList().cacheKey(), key);
    QCOMPARE(rig.window.captions.size(), captions);
    QCOMPARE(rig.window.adjustments, 1);
}

void TestLoader::emptyPathClears_data()
{
    sameRequestDoesNothing_data();
}

void TestLoader::emptyPathClears()
{
    QFETCH(bool, background);
    Rig rig(background);
    rig.loader->ShowImage(m_first);
    QVERIFY(!background || rig.settle(1));

    rig.loader->ShowImage({});
    QCOMPARE(rig.window.caption, QStringLiteral("Oxlume"));
    QCOMPARE(rig.window.title, QStringLiteral("Oxlume"));
    QCOMPARE(rig.loader->PendingCaption(), QStringLiteral("Oxlume"));
    QCOMPARE(rig.loader->PendingTitle(), QStringLiteral("Oxlume"));
    QVERIFY(!background || rig.settle(2));
    QCOMPARE(int(rig.imager1.BitmapListCount()), 0);
    QCOMPARE(int(rig.unadjusted.BitmapListCount()), 0);
}

void TestLoader::failureKeepsLastProgressCaption_data()
{
    sameRequestDoesNothing_data();
}

void TestLoader::failureKeepsLastProgressCaption()
{
    QFETCH(bool, background);
    Rig rig(background);
    rig.loader->startUpdates();
    rig.loader->ShowImage(m_first);
    QVERIFY(!background || rig.settle(1));
    rig.window.adjustments = 0;

    const QString before = rig.loader->PendingCaption();
    QCOMPARE(before, QStringLiteral("Oxlume: ") + shown(m_first));
    const std::string missing = m_dir.filePath(QStringLiteral("missing.bmp")).toStdString();
    int handOvers = 1;
    for (const std::string &path : {m_damaged, missing}) {
        const LoadLog log;
        rig.loader->ShowImage(path); // no message box, nothing thrown
        QVERIFY(!background || rig.settle(++handOvers));
        QCOMPARE(rig.loader->PendingCaption(), before);
        QCOMPARE(rig.loader->PendingTitle(), QStringLiteral("Oxlume: first.bmp"));
        QTest::qWait(background ? 400 : 0);
        QCOMPARE(rig.window.caption, before);
        // Foreground skips the rest of the step; background still hands over what the
        // decoder holds after the failure, which is nothing.
        QCOMPARE(rig.window.adjustments, background ? handOvers - 1 : 0);
        QCOMPARE(int(rig.imager1.BitmapListCount()), 0);
        // Silent on screen, but the reason is there for those who turn the category on.
        const QStringList lines = log.lines();
        QVERIFY2(lines.size() == 1 && lines[0].startsWith(shown(path) + QStringLiteral(": ")),
                 qPrintable(lines.join(QLatin1Char('|'))));
    }
}

void TestLoader::handOverEmptiesDecoderAndCopy()
{
    Rig rig(true);
    rig.unadjusted.setBitmapList(pattern(4, 4)); // the copy of an older image
    QSignalSpy handed(rig.loader.get(), &ImageLoader::imageHandedOver);
    rig.loader->ShowImage(m_first);
    QVERIFY(rig.settle(1));
    QCOMPARE(handed.size(), 1);
    QCOMPARE(handed.at(0).at(0).toString(), shown(m_first));
    QCOMPARE(int(rig.decoder.BitmapListCount()), 0);
    QCOMPARE(int(rig.unadjusted.BitmapListCount()), 0);
    QCOMPARE(rig.imager1.BitmapList().size(), QSize(320, 240));
}

void TestLoader::bytePathsAreShownNotChanged()
{
    // A name that is not UTF-8 still loads by its bytes; only the caption shows it lossily.
    const std::string odd = QFile::encodeName(m_dir.path()).toStdString() + "/\xff\xfe.bmp";
    QFile::remove(QFile::decodeName(QByteArray::fromStdString(odd)));
    QFile source(shown(m_second));
    QVERIFY(source.open(QIODevice::ReadOnly));
    FILE *out = std::fopen(odd.c_str(), "wb");
    QVERIFY(out);
    const QByteArray bytes = source.readAll();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    std::fclose(out);

    Rig rig(false);
    rig.loader->ShowImage(odd);
    QCOMPARE(rig.imager1.BitmapList().size(), QSize(200, 300));
    QCOMPARE(rig.loader->RequestedFile(), odd);
    QVERIFY(rig.window.title.startsWith(QStringLiteral("Oxlume: ")));
    QVERIFY(rig.window.title.endsWith(QStringLiteral(".bmp")));
}

// Two images of the largest size never fit in memory at once. Scaled down to images of a
// few MiB: with room for one and a half, the next file is not read ahead and the image shown
// goes before the next is decoded; with room for two and a half, it is read ahead.
void TestLoader::stepsWithinTheImageBudget_data()
{
    QTest::addColumn<bool>("background");
    QTest::addColumn<int>("budgetHalves"); // the budget in halves of one image
    QTest::newRow("background, room for one") << true << 3;
    QTest::newRow("background, room for two") << true << 5;
    QTest::newRow("foreground") << false << 3;
}

void TestLoader::stepsWithinTheImageBudget()
{
    QFETCH(bool, background);
    QFETCH(int, budgetHalves);
    const std::string a = tinyPcx(m_dir, QStringLiteral("tall.pcx"), 768, 1024);
    const std::string b = tinyPcx(m_dir, QStringLiteral("wide.pcx"), 1024, 768);
    QVERIFY(!a.empty() && !b.empty());
    int64_t one = 0; // what one of them takes in memory
    {
        const int64_t before = imaging::liveImageBytes();
        const Result<QImage> probe = imaging::allocateImage("probe", 1024, 768);
        one = imaging::liveImageBytes() - before;
    }
    QVERIFY(one >= 1024 * 768 * 4);
    const int64_t budget = one * budgetHalves / 2;
    LoadLog log;
    Rig rig(background);
    rig.loader->setImageBudget(budget);
    rig.loader->setNextFileProvider([&] { return b; });
    const int64_t base = imaging::liveImageBytes();
    (void)imaging::takePeakLiveImageBytes();

    rig.loader->ShowImage(a);
    if (background) {
        QVERIFY(rig.settle(1));
        if (budgetHalves >= 4)
            QTRY_COMPARE(rig.loader->readAheadFile(), b);
        else
            QTRY_VERIFY2(
                log.lines().contains(QStringLiteral("read ahead: ") + shown(b) +
                                     QStringLiteral(" does not fit beside the images held")),
                qPrintable(log.lines().join(QLatin1Char('|'))));
    }
    QCOMPARE(rig.imager1.BitmapList().size(), QSize(768, 1024));
    rig.loader->ShowImage(b);
    QVERIFY(!background || rig.settle(2));
    QCOMPARE(rig.imager1.BitmapList().size(), QSize(1024, 768));
    const int64_t peak = imaging::takePeakLiveImageBytes() - base;
    QVERIFY2(peak <= budget,
             qPrintable(QStringLiteral("%1 bytes held at most, budget %2").arg(peak).arg(budget)));
}

void TestLoader::animationPlaysInTheImageArea_data()
{
    QTest::addColumn<bool>("background");
    QTest::newRow("worker thread") << true;
    QTest::newRow("user-interface thread") << false;
}

void TestLoader::animationPlaysInTheImageArea()
{
    QFETCH(bool, background);
    const QString gif = m_dir.filePath(QStringLiteral("blink.gif"));
    if (!QFile::exists(gif) &&
        !(test::hasImageMagick() &&
          test::imageMagick({QStringLiteral("-delay"), QStringLiteral("5"), QStringLiteral("-size"),
                             QStringLiteral("8x8"), QStringLiteral("xc:red"),
                             QStringLiteral("xc:blue"), QStringLiteral("-loop"),
                             QStringLiteral("0"), gif})))
        QSKIP("ImageMagick is not installed");
    Rig rig(background);
    rig.loader->ShowImage(QFile::encodeName(gif).toStdString());
    if (background)
        QVERIFY(rig.settle(1));
    // Frames of 50 ms: both colours reach the image area, each through the adjustments.
    QSet<QRgb> colours;
    const int adjustmentsBefore = rig.window.adjustments;
    QVERIFY(QTest::qWaitFor(
        [&] {
            colours.insert(rig.imager1.BitmapList().pixel(0, 0));
            return colours.size() >= 2;
        },
        5000));
    QCOMPARE(colours, (QSet<QRgb>{qRgb(255, 0, 0), qRgb(0, 0, 255)}));
    QVERIFY(rig.window.adjustments > adjustmentsBefore);
    // Another request stops it, even one that fails and leaves the area empty.
    rig.loader->ShowImage(m_damaged);
    if (background)
        QVERIFY(rig.settle(2));
    QTest::qWait(200);
    QCOMPARE(int(rig.imager1.BitmapListCount()), 0);
}

// Largest difference of one channel, and the mean over all channels.
std::pair<int, double> difference(const QImage &a, const QImage &b)
{
    int most = 0;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (const int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) {
                most = std::max(most, std::abs(d));
                sum += std::abs(d);
            }
        }
    return {most, sum / (3.0 * a.width() * a.height())};
}

// A fitted image is painted once, at its final quality: a large JPEG from a reduced decode
// (which 100 % then replaces with the whole), any other from the reduction the worker made
// beside it; straight from a request or read ahead.
void TestLoader::firstPaintIsFinal_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("readAhead");
    QTest::addColumn<QSize>("decoded"); // before 100 %
    // The area is 600 x 400 device pixels; 2600 x 1500 is painted at 600 x 346.
    QTest::newRow("JPEG, reduced decode") << "big.jpg" << false << QSize(650, 375);
    QTest::newRow("JPEG read ahead") << "big.jpg" << true << QSize(650, 375);
    QTest::newRow("PNG, whole") << "big.png" << false << QSize(2600, 1500);
    QTest::newRow("PNG read ahead") << "big.png" << true << QSize(2600, 1500);
}

void TestLoader::firstPaintIsFinal()
{
    QFETCH(QString, name);
    QFETCH(bool, readAhead);
    QFETCH(QSize, decoded);
    // Fine stripes: a sampled picture of them is far from their average.
    QImage picture(2600, 1500, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x % 2 ? 64 : 192, y * 255 / 1500, y % 2 ? 160 : 80));
    const QString file = m_dir.filePath(name);
    QVERIFY(picture.save(file, nullptr, 95));
    const std::string path = QFile::encodeName(file).toStdString();
    imaging::DecodeObserver quiet;
    const Result<QImage> whole = imaging::decodeImageFile(path, quiet);
    QVERIFY(whole);

    Rig rig(true);
    rig.imager1.setBackgroundScaleFrom(0); // every reduction of its own would be sampled first
    const double ratio = rig.imager1.devicePixelRatioF();
    rig.imager1.resize(int(600 / ratio), int(400 / ratio));
    rig.imager1.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.imager1));
    int sampledPaints = 0;
    connect(&rig.imager1, &TImager::imagePainted, this,
            [&] { sampledPaints += rig.imager1.isScalingInBackground(); });
    int handOvers = 1;
    if (readAhead) {
        rig.loader->setNextFileProvider([&] { return path; });
        rig.loader->ShowImage(m_first);
        QVERIFY(rig.settle(1));
        QTRY_COMPARE(rig.loader->readAheadFile(), path);
        handOvers = 2;
    }
    rig.loader->ShowImage(path);
    QVERIFY(rig.settle(handOvers));
    QCOMPARE(rig.imager1.BitmapList().size(), decoded);
    QCOMPARE(rig.imager1.shownSize(), QSize(2600, 1500));
    const QImage frame =
        rig.imager1.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(sampledPaints, 0);
    const QRect target = rig.imager1.viewGeometry().targetDeviceRect(QPoint());
    QCOMPARE(target.size(), QSize(600, 346));
    const auto [most, mean] =
        difference(frame.copy(target), imaging::reduceForPainting(whole.value(), target.size()));
    QVERIFY2(mean < 3.0 && most < 24, qPrintable(QStringLiteral("%1 %2").arg(most).arg(mean)));

    // 100 % paints the whole image's size at once, and the whole image follows.
    rig.imager1.setPaintSizeMode(0);
    QCOMPARE(rig.imager1.viewGeometry().targetDeviceSize(), QSize(2600, 1500));
    if (decoded != whole.value().size())
        QVERIFY(rig.settle(handOvers + 1));
    QVERIFY(!rig.imager1.isStandIn());
    QCOMPARE(rig.imager1.BitmapList(), whole.value());
}

QTEST_MAIN(TestLoader)
#include "tst_loader.moc"
