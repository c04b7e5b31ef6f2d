// Colour management: files with an embedded profile, written by ImageMagick in the test, show
// the colours of the sRGB picture they were made from; unusable profiles are ignored with a
// log line; the JPEG profile chain is joined and checked.

#include "imaging/ColourProfile.h"
#include "imaging/ImageFile.h"
#include "imaging/decoders/Jpeg.h"

#include "common/Corpus.h"
#include "common/DecoderTest.h"
#include "common/IccProfiles.h"
#include "common/ImageMagick.h"
#include "common/JpegFiles.h"
#include "common/PeakMemory.h"

#include <QBuffer>
#include <QColorSpace>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <lcms2.h>

#include <algorithm>
#include <cstring>
#include <limits>

using namespace oxlume;
using namespace oxlume::imaging;
using oxlume::test::bytesOf;

namespace {

// Solid 16 x 16 patches (so that JPEG keeps them nearly exact): saturated, mid and dark
// colours, among them the red that an unmanaged Adobe RGB file shows as 200, 60, 59.
QImage patches()
{
    static const QRgb kColours[] = {qRgb(231, 57, 56),   qRgb(40, 160, 70),  qRgb(30, 60, 200),
                                    qRgb(128, 128, 128), qRgb(240, 200, 40), qRgb(20, 20, 30),
                                    qRgb(200, 120, 180), qRgb(90, 200, 220)};
    QImage image(64, 32, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, kColours[(y / 16) * 4 + x / 16]);
    return image;
}

int worstDifference(const QImage &a, const QImage &b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q))});
        }
    return worst;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An APP2 "ICC_PROFILE" marker holding part `sequence` of `count`.
QByteArray iccMarker(int sequence, int count, const QByteArray &part)
{
    const int length = int(part.size()) + 16;
    return test::raw({0xFF, 0xE2, length >> 8, length & 0xFF}) + QByteArray("ICC_PROFILE", 12) +
           test::raw({sequence, count}) + part;
}

QByteArray jpegHead(const QByteArray &markers)
{
    return test::raw({0xFF, 0xD8}) + markers + test::raw({0xFF, 0xDA});
}

// lcms2's exact floating-point transform of a profile to sRGB, one pixel at a time.
class ExactTransform {
public:
    ExactTransform(const QByteArray &profile, bool cmyk)
        : m_cmyk(cmyk)
    {
        cmsHPROFILE from =
            cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        m_t = cmsCreateTransform(from, cmyk ? TYPE_CMYK_DBL : TYPE_RGB_DBL, srgb, TYPE_RGB_DBL,
                                 INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
        cmsCloseProfile(from);
        cmsCloseProfile(srgb);
    }
    ~ExactTransform() { cmsDeleteTransform(m_t); }
    ExactTransform(const ExactTransform &) = delete;
    ExactTransform &operator=(const ExactTransform &) = delete;

    // levels: R, G, B or C, M, Y, K bytes; inverted: 255 is no ink.
    QRgb operator()(const uint8_t *levels, bool inverted = false) const
    {
        double in[4], out[3];
        for (int c = 0; c < (m_cmyk ? 4 : 3); ++c)
            in[c] = (inverted ? 255 - levels[c] : levels[c]) * (m_cmyk ? 100.0 : 1.0) / 255.0;
        cmsDoTransform(m_t, in, out, 1);
        const auto level = [](double v) { return std::clamp(int(std::lround(v * 255.0)), 0, 255); };
        return qRgb(level(out[0]), level(out[1]), level(out[2]));
    }

private:
    bool m_cmyk;
    cmsHTRANSFORM m_t;
};

int worstChannel(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}

QStringList g_log;
void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_log << message;
}

} // namespace

class TestColour : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("oxlume.colour.debug=true"));
    }
    void embeddedProfile_data();
    void embeddedProfile();
    void samePrimariesOtherCurves_data();
    void samePrimariesOtherCurves();
    void tableProfiles_data();
    void tableProfiles();
    void largeJpegWithTableProfile_data();
    void largeJpegWithTableProfile();
    void rowsConvertedOnce_data();
    void rowsConvertedOnce();
    void cancelWhileConverting();
    void jpegMarkerChain_data();
    void jpegMarkerChain();
    void unusableProfile_data();
    void unusableProfile();
};

// Each format written by ImageMagick twice from the same sRGB picture: as it is, and
// converted to another colour space with that space's profile embedded. Decoded, the two
// agree within 2 levels (JPEG's own loss included).
void TestColour::embeddedProfile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("profile");
    const QString adobe = QStringLiteral("compatibleWithAdobeRGB1998.icc");
    for (const char *name : {"a.jpg", "a.png", "a.tif", "a.webp", "a.psd"})
        QTest::newRow(name) << QString::fromLatin1(name) << adobe;
    QTest::newRow("bmp, version 5") << QStringLiteral("a.bmp") << adobe;
    QTest::newRow("jpg, grey profile") << QStringLiteral("grey.jpg") << QStringLiteral("Gray.icc");
    // CMYK needs a CMYK profile: the one a corpus file carries, when the corpus is there.
    QTest::newRow("jpg, CMYK profile") << QStringLiteral("cmyk.jpg") << QStringLiteral("corpus");
}

void TestColour::embeddedProfile()
{
    QFETCH(QString, file);
    QFETCH(QString, profile);
    if (!test::hasImageMagick())
        QSKIP("ImageMagick is not installed");
    const QString srgb = test::systemProfile(QStringLiteral("sRGB.icc"));
    QString target = profile == QLatin1String("corpus") ? QString() : test::systemProfile(profile);
    if (srgb.isEmpty() || (target.isEmpty() && profile != QLatin1String("corpus")))
        QSKIP("the icc-profiles-free profiles are not installed");
    QTemporaryDir dir;
    // Grey for the grey profile; softened towards grey for CMYK, whose printing gamut does
    // not hold the saturated patches.
    QImage picture = patches();
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb p = picture.pixel(x, y);
            if (file.startsWith(QLatin1String("grey"))) // light: the grey profile is linear
                picture.setPixel(
                    x, y, qRgb((qGray(p) + 255) / 2, (qGray(p) + 255) / 2, (qGray(p) + 255) / 2));
            else if (file.startsWith(QLatin1String("cmyk")))
                picture.setPixel(
                    x, y, qRgb((qRed(p) + 128) / 2, (qGreen(p) + 128) / 2, (qBlue(p) + 128) / 2));
        }
    const QString source = dir.filePath(QStringLiteral("source.png"));
    QVERIFY(picture.save(source));
    if (profile == QLatin1String("corpus")) {
        const QString psd =
            test::corpusFile(QStringLiteral("psd/psd-tools/colormodes/4x4_8bit_cmyk.psd"));
        target = dir.filePath(QStringLiteral("cmyk.icc"));
        if (!QFileInfo::exists(psd) || !test::imageMagick({psd + QStringLiteral("[0]"), target}))
            QSKIP("the shared corpus (for a CMYK profile) is not present");
    }
    const QString out = dir.filePath(file),
                  plainOut = dir.filePath(QStringLiteral("plain-") + file);
    QStringList options{QStringLiteral("-quality"), QStringLiteral("100")};
    if (file.endsWith(QLatin1String(".bmp")))
        options << QStringLiteral("-define") << QStringLiteral("bmp:format=bmp5");
    // Grey pictures go to the grey profile from sRGB as well: colour to grey, then back.
    QVERIFY(test::imageMagick(
        QStringList{source, QStringLiteral("-profile"), srgb, QStringLiteral("-profile"), target} +
        options + QStringList{out}));
    QVERIFY(test::imageMagick(QStringList{source} + options + QStringList{plainOut}));
    DecodeObserver none;
    const auto converted = loadImageFile(QFile::encodeName(out).toStdString(), none);
    const auto plain = loadImageFile(QFile::encodeName(plainOut).toStdString(), none);
    QVERIFY2(converted.ok(), converted.ok() ? "" : converted.error().message.c_str());
    QVERIFY2(plain.ok(), plain.ok() ? "" : plain.error().message.c_str());
    // Lossless formats must give back the picture itself; JPEG what it makes of the picture
    // when no profile is involved. A press profile's perceptual tables do not go back and
    // forth exactly, so CMYK is held to ImageMagick's own conversion of the same file.
    QImage reference = file.endsWith(QLatin1String(".jpg")) ? plain.value() : picture;
    if (profile == QLatin1String("corpus")) {
        const QString managed = dir.filePath(QStringLiteral("managed.png"));
        QVERIFY(test::imageMagick({out, QStringLiteral("-profile"), srgb, managed}));
        reference = QImage(managed).convertToFormat(QImage::Format_RGB32);
    }
    const int worst = worstDifference(converted.value(), reference);
    const int tolerance = 2;
    QVERIFY2(worst <= tolerance, qPrintable(QStringLiteral("differs by %1 levels").arg(worst)));
}

// A profile with sRGB's primaries but linear curves is no sRGB profile: mid-grey is light.
void TestColour::samePrimariesOtherCurves_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("jpg, ICC markers") << QStringLiteral("jpg");
    QTest::newRow("png, through Qt's reader") << QStringLiteral("png");
}

void TestColour::samePrimariesOtherCurves()
{
    QFETCH(QString, format);
    const QByteArray profile = test::linearSrgbProfile();
    QImage grey(16, 16, QImage::Format_RGB32);
    grey.fill(qRgb(128, 128, 128));
    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::WriteOnly);
    if (format == QLatin1String("png"))
        grey.setColorSpace(QColorSpace::fromIccProfile(profile));
    QVERIFY(grey.save(&buffer, format.toLatin1().constData(), 100));
    if (format == QLatin1String("jpg"))
        file.insert(2, iccMarker(1, 1, profile)); // after SOI
    QTemporaryDir dir;
    QFile out(dir.filePath(QStringLiteral("linear.") + format));
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    out.close();
    DecodeObserver none;
    const auto image = loadImageFile(QFile::encodeName(out.fileName()).toStdString(), none);
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    // Linear 128/255 is sRGB 187.5.
    const QRgb p = image->pixel(8, 8);
    QVERIFY2(std::abs(qGreen(p) - 188) <= 2 && qRed(p) == qGreen(p) && qBlue(p) == qGreen(p),
             qPrintable(QStringLiteral("mid-grey shows as %1").arg(qGreen(p))));
}

// Table-based profiles convert through a grid sampled from lcms2; every 15th level of each
// channel lands within 2 levels of lcms2's exact floating-point transform, as lcms2's own
// optimised transforms do.
void TestColour::tableProfiles_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<bool>("inverted"); // CMYK stored as 255 for no ink
    QTest::newRow("RGB, 17 points") << test::tableRgbProfile() << false;
    QTest::newRow("RGB, 10 MB") << test::tableRgbProfile(120) << false;
    QTest::newRow("CMYK") << test::tableCmykProfile() << false;
    QTest::newRow("CMYK, inverted") << test::tableCmykProfile() << true;
}

void TestColour::tableProfiles()
{
    QFETCH(QByteArray, profile);
    QFETCH(bool, inverted);
    const bool cmyk = profile.mid(16, 4) == "CMYK";
    const int channels = cmyk ? 4 : 3;
    std::vector<uint8_t> levels; // every 15th level, pixel by pixel
    std::vector<int> index(size_t(channels), 0);
    for (bool more = true; more;) {
        for (int c = 0; c < channels; ++c)
            levels.push_back(uint8_t(index[size_t(c)] * 15));
        if (!cmyk)
            levels.push_back(0xFF); // alpha
        more = false;
        for (int c = channels - 1; c >= 0 && !more; --c)
            more = ++index[size_t(c)] <= 17 || (index[size_t(c)] = 0, false);
    }
    const int count = int(levels.size() / 4);
    QImage image(count, 1, QImage::Format_RGB32);
    auto *pixels = reinterpret_cast<uint32_t *>(image.bits());
    if (cmyk) {
        const auto transform = CmykTransform::create(bytesOf(profile), inverted, "test");
        QVERIFY(transform);
        transform->convert(levels.data(), pixels, count);
    } else {
        for (int i = 0; i < count; ++i) // R, G, B as 0xAARRGGBB
            pixels[i] = 0xFF000000u | uint32_t(levels[size_t(i) * 4]) << 16 |
                        uint32_t(levels[size_t(i) * 4 + 1]) << 8 | levels[size_t(i) * 4 + 2];
        QVERIFY(convertToSrgb(image, bytesOf(profile), PixelModel::Rgb, "test"));
    }
    const ExactTransform exact(profile, cmyk);
    int worst = 0;
    for (int i = 0; i < count; ++i) {
        worst = std::max(worst, worstChannel(pixels[i], exact(&levels[size_t(i) * 4], inverted)));
        QCOMPARE(qAlpha(pixels[i]), 255);
    }
    QVERIFY2(worst <= 2, qPrintable(QStringLiteral("differs by %1 levels").arg(worst)));
}

// A 30-40 MB JPEG (8192 x 8192, made here) with a small or a 10 MB table profile shows,
// converted like the exact transform within 2 levels, and the decode's memory stays within
// its image plus a tenth: the conversion works in place.
void TestColour::largeJpegWithTableProfile_data()
{
    QTest::addColumn<int>("points");
    QTest::newRow("16 KB profile") << 14;
    QTest::newRow("10 MB profile") << 120;
}

void TestColour::largeJpegWithTableProfile()
{
    QFETCH(int, points);
    static const QByteArray plainJpeg = [] {
        QImage noise(8192, 8192, QImage::Format_RGB32);
        quint32 state = 7;
        for (int y = 0; y < noise.height(); ++y) {
            auto *row = reinterpret_cast<quint32 *>(noise.scanLine(y));
            for (int x = 0; x < noise.width(); ++x)
                row[x] = 0xFF000000u | (state = state * 1664525u + 1013904223u) >> 8;
        }
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        noise.save(&buffer, "JPG", 75);
        return bytes;
    }();
    QVERIFY2(plainJpeg.size() > 30'000'000 && plainJpeg.size() < 40'000'000,
             qPrintable(QString::number(plainJpeg.size())));
    const QByteArray profile = test::tableRgbProfile(points);
    QByteArray jpeg = plainJpeg;
    QByteArray markers;
    constexpr qsizetype kPart = 65519;
    const int parts = int((profile.size() + kPart - 1) / kPart);
    for (int i = 0; i < parts; ++i)
        markers += iccMarker(i + 1, parts, profile.mid(i * kPart, kPart));
    jpeg.insert(2, markers);

    DecodeObserver none;
    const QImage plain = decodeJpeg(bytesOf(plainJpeg), none).value();
    const bool measured = test::resetPeakMemory();
    const qint64 before = test::peakMemoryBytes();
    const auto converted = decodeJpeg(bytesOf(jpeg), none);
    const qint64 growth = test::peakMemoryBytes() - before;
    QVERIFY2(converted.ok(), converted.ok() ? "" : converted.error().message.c_str());
    QCOMPARE(converted->size(), plain.size());
    if (measured && before > 0)
        QVERIFY2(growth <= converted->sizeInBytes() * 11 / 10,
                 qPrintable(QStringLiteral("peak memory grew by %1 MiB").arg(growth >> 20)));
    const ExactTransform exact(profile, false);
    int worst = 0;
    for (int i = 0; i < 4096; ++i) { // spread over every band of rows
        const int x = (i * 2039) % plain.width(), y = (i * 4099) % plain.height();
        const QRgb p = plain.pixel(x, y);
        const uint8_t levels[3] = {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
        worst = std::max(worst, worstChannel(converted->pixel(x, y), exact(levels)));
    }
    QVERIFY2(worst <= 2, qPrintable(QStringLiteral("differs by %1 levels").arg(worst)));
}

// The JPEG decoder converts rows as it finishes them, with a helper thread on large images:
// every row once, the last partial band too, wherever the orientation puts it. The result
// is libjpeg's own decode converted in one pass, turned afterwards.
void TestColour::rowsConvertedOnce_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("cmyk");
    QTest::addColumn<bool>("adobe"); // CMYK stored inverted
    const QSize large(1451, 1447);   // past the helper's threshold; odd sides, a partial band
    const QSize small(37, 21);
    QTest::newRow("RGB, large") << large << 1 << false << false;
    QTest::newRow("RGB, large, bottom up") << large << 3 << false << false;
    QTest::newRow("RGB, large, turned") << large << 6 << false << false;
    QTest::newRow("RGB, small") << small << 1 << false << false;
    QTest::newRow("CMYK, inverted, large") << large << 1 << true << true;
    QTest::newRow("CMYK, small, turned") << small << 8 << true << false;
}

void TestColour::rowsConvertedOnce()
{
    QFETCH(QSize, size);
    QFETCH(int, orientation);
    QFETCH(bool, cmyk);
    QFETCH(bool, adobe);
    QImage noise(size, QImage::Format_RGB32);
    quint32 state = 11;
    for (int y = 0; y < noise.height(); ++y) {
        auto *row = reinterpret_cast<quint32 *>(noise.scanLine(y));
        for (int x = 0; x < noise.width(); ++x)
            row[x] = (state = state * 1664525u + 1013904223u);
    }
    const QByteArray profile = cmyk ? test::tableCmykProfile() : test::tableRgbProfile();
    const QByteArray file = test::jpegFile(noise, {profile, cmyk, adobe, orientation});
    DecodeObserver none;
    const auto decoded = decodeJpeg(bytesOf(file), none);
    QVERIFY2(decoded.ok(), decoded.ok() ? "" : decoded.error().message.c_str());

    QImage stored = test::storedPixels(file);
    if (cmyk)
        CmykTransform::create(bytesOf(profile), adobe, "test")->convertInPlace(stored, {1});
    else
        QVERIFY(convertToSrgb(stored, bytesOf(profile), PixelModel::Rgb, "test", {1}));
    const int w = stored.width(), h = stored.height();
    QImage expected(orientation >= 5 ? QSize(h, w) : stored.size(), QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QPoint at = orientation == 1   ? QPoint(x, y)
                              : orientation == 3 ? QPoint(w - 1 - x, h - 1 - y)
                              : orientation == 6 ? QPoint(h - 1 - y, x)
                                                 : QPoint(y, w - 1 - x); // 8
            expected.setPixel(at, stored.pixel(x, y));
        }
    QCOMPARE(decoded->size(), expected.size());
    for (int y = 0; y < expected.height(); ++y)
        if (std::memcmp(decoded->constScanLine(y), expected.constScanLine(y),
                        size_t(expected.width()) * 4) != 0)
            QFAIL(qPrintable(QStringLiteral("row %1 differs").arg(y)));
}

namespace {
// Counts the decoder's questions whether to go on, and says stop from question stopAt on.
struct CountingObserver : DecodeObserver {
    bool cancelled() const override { return ++asked >= stopAt; }
    mutable int asked = 0;
    int stopAt = std::numeric_limits<int>::max();
};
} // namespace

// The conversion is part of the decode: a cancel that comes once every row is decoded, while
// the colours are converted, is still heard.
void TestColour::cancelWhileConverting()
{
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(0xFF3366CCu);
    const QByteArray file = test::jpegFile(picture, {test::tableRgbProfile()});
    CountingObserver decoding; // the questions of the decode alone
    QVERIFY(decodeJpegWith(bytesOf(file), decoding, JpegOptions{true, false}).ok());
    CountingObserver late;
    late.stopAt = decoding.asked + 1;
    const auto result = decodeJpeg(bytesOf(file), late);
    QVERIFY(!result.ok());
    QCOMPARE(QString::fromStdString(result.error().message), QStringLiteral("JPEG: cancelled"));
}

// The profile in JPEG markers: joined in sequence order; a broken or oversized chain is
// ignored with a log line.
void TestColour::jpegMarkerChain_data()
{
    QTest::addColumn<QByteArray>("jpeg");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("logged");
    const QByteArray a(100, 'a'), b(70, 'b'), c(5, 'c');
    const QByteArray app1 = test::raw({0xFF, 0xE1, 0, 4, 1, 2});
    QTest::newRow("none") << jpegHead(app1) << QByteArray() << false;
    QTest::newRow("one marker") << jpegHead(app1 + iccMarker(1, 1, a)) << a << false;
    QTest::newRow("three, out of order, fill bytes")
        << jpegHead(iccMarker(2, 3, b) + test::raw({0xFF}) + iccMarker(3, 3, c) + app1 +
                    iccMarker(1, 3, a))
        << a + b + c << false;
    QTest::newRow("a part missing")
        << jpegHead(iccMarker(1, 3, a) + iccMarker(3, 3, c)) << QByteArray() << true;
    QTest::newRow("a part twice") << jpegHead(iccMarker(1, 2, a) + iccMarker(1, 2, a))
                                  << QByteArray() << true;
    QTest::newRow("counts disagree")
        << jpegHead(iccMarker(1, 2, a) + iccMarker(2, 3, b)) << QByteArray() << true;
    QTest::newRow("after the image data")
        << jpegHead({}) + iccMarker(1, 1, a) << QByteArray() << false;
    QTest::newRow("cut inside a marker")
        << jpegHead(iccMarker(1, 1, a)).left(60) << QByteArray() << false;
    // Past the limit (16 MiB) the walk stops: 300 markers of 64 KiB would be 19 MB.
    QByteArray chain;
    const QByteArray big(65000, 'x');
    for (int i = 1; i <= 300; ++i)
        chain += iccMarker(std::min(i, 255), 255, big);
    QTest::newRow("19 MB chain") << jpegHead(chain) << QByteArray() << true;
}

void TestColour::jpegMarkerChain()
{
    QFETCH(QByteArray, jpeg);
    QFETCH(QByteArray, expected);
    QFETCH(bool, logged);
    g_log.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    const QByteArray joined = jpegIccProfile(bytesOf(jpeg));
    qInstallMessageHandler(previous);
    QCOMPARE(joined, expected);
    QCOMPARE(!g_log.isEmpty(), logged);
}

// Profiles that cannot be used leave the pixels as they are and say why in the log.
void TestColour::unusableProfile_data()
{
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QString>("why");
    const QByteArray adobe =
        readAll(test::systemProfile(QStringLiteral("compatibleWithAdobeRGB1998.icc")));
    const QByteArray grey = readAll(test::systemProfile(QStringLiteral("Gray.icc")));
    if (adobe.isEmpty() || grey.isEmpty())
        return;
    QTest::newRow("truncated") << adobe.left(300)
                               << QStringLiteral("it says 580 bytes, 300 are present");
    QByteArray garbage = adobe;
    for (qsizetype i = 128; i < garbage.size(); ++i)
        garbage[i] = char(i * 7);
    QTest::newRow("malformed tags") << garbage << QStringLiteral("malformed");
    QTest::newRow("grey profile for RGB pixels")
        << grey << QStringLiteral("grey colour profile ignored for RGB");
    QTest::newRow("tiny") << adobe.left(40) << QStringLiteral("not 132 to");
}

void TestColour::unusableProfile()
{
    QFETCH(QByteArray, profile);
    QFETCH(QString, why);
    QImage image = patches();
    const QImage before = image.copy();
    g_log.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    const bool changed = convertToSrgb(image, bytesOf(profile), PixelModel::Rgb, "test");
    qInstallMessageHandler(previous);
    QVERIFY(!changed);
    QCOMPARE(image, before);
    QVERIFY2(g_log.join(QLatin1Char('\n')).contains(why),
             qPrintable(g_log.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestColour)
#include "tst_colour.moc"
