// PSD composite decoder: crafted files for the modes, depths, compressions and guards, and a
// pass over the shared corpus.

#include "imaging/decoders/Psd.h"
#include "imaging/decoders/PsdInternal.h"

#include "common/Corpus.h"
#include "common/DecoderTest.h"
#include "common/IccProfiles.h"

#include <QFile>
#include <QTest>

#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace oxlume;
using namespace oxlume::imaging;
using oxlume::test::bytesOf;
using Pixels = std::vector<QRgb>;

namespace {

void putBe(QByteArray &out, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char(uint8_t(v >> (8 * i))));
}

QByteArray bytes(std::initializer_list<int> values, int width = 1)
{
    QByteArray out;
    for (int v : values)
        putBe(out, uint64_t(uint32_t(v)), width);
    return out;
}

QByteArray floats(std::initializer_list<float> values)
{
    QByteArray out;
    for (float f : values) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        putBe(out, u, 4);
    }
    return out;
}

// PackBits: runs of three or more as repeats, the rest as literals.
QByteArray packRow(const QByteArray &row)
{
    QByteArray out;
    for (qsizetype i = 0; i < row.size();) {
        qsizetype run = 1, lit = 0;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i])
            ++run;
        if (run >= 3) {
            out.append(char(uint8_t(257 - run))).append(row[i]);
            i += run;
            continue;
        }
        while (i + lit < row.size() && lit < 128 &&
               !(i + lit + 2 < row.size() && row[i + lit] == row[i + lit + 1] &&
                 row[i + lit] == row[i + lit + 2]))
            ++lit;
        out.append(char(uint8_t(lit - 1))).append(row.mid(i, lit));
        i += lit;
    }
    return out;
}

struct Psd {
    int mode = 3, depth = 8, width = 2, height = 1, version = 1, compression = 0;
    std::vector<QByteArray> planes; // one per channel: all rows as stored
    QByteArray layers, colourData, resources;
    QByteArray zipTail; // compressed after the planes, as if the stream went on

    QByteArray build() const
    {
        const qsizetype rowBytes = depth == 1 ? (width + 7) / 8 : width * (depth / 8);
        QByteArray out = "8BPS" + bytes({version}, 2) + QByteArray(6, '\0') +
                         bytes({int(planes.size())}, 2) + bytes({height, width}, 4) +
                         bytes({depth, mode}, 2);
        for (const QByteArray &s : {colourData, resources})
            out += bytes({int(s.size())}, 4) + s;
        out += bytes({int(layers.size())}, version == 2 ? 8 : 4) + layers + bytes({compression}, 2);
        QByteArray counts, data;
        for (const QByteArray &plane : planes)
            for (int y = 0; y < height; ++y) {
                const QByteArray row = plane.mid(y * rowBytes, rowBytes);
                data += compression == 1 ? packRow(row) : row;
                putBe(counts, uint64_t(packRow(row).size()), version == 2 ? 4 : 2);
            }
        if (compression >= 2)
            return out +
                   qCompress(data + zipTail).mid(4); // a plain zlib stream without Qt's prefix
        return out + (compression == 1 ? counts : QByteArray()) + data;
    }
};

Psd make(int mode, int depth, std::vector<QByteArray> planes, int width = 2, QByteArray layers = {})
{
    Psd p;
    p.mode = mode, p.depth = depth, p.width = width, p.planes = std::move(planes),
    p.layers = layers;
    return p;
}

QByteArray layerCount(int count, int version = 1)
{
    return bytes({2}, version == 2 ? 8 : 4) + bytes({count & 0xFFFF}, 2);
}

// One image resource block, padded to even.
QByteArray resource(int id, const QByteArray &data)
{
    return "8BIM" + bytes({id, 0}, 2) + bytes({int(data.size())}, 4) + data +
           QByteArray(data.size() % 2, '\0');
}

// A display-information record: colour space, four components, opacity 100, kind (2: spot).
QByteArray inkRecord(int space, std::initializer_list<int> components, int kind)
{
    return bytes({space}, 2) + bytes(components, 2) + bytes({100}, 2) + bytes({kind});
}

// After the empty layer list and global mask, tagged blocks of the given keys and contents.
QByteArray taggedBlocks(std::initializer_list<std::pair<const char *, QByteArray>> blocks)
{
    QByteArray out = bytes({0, 0}, 4);
    for (const auto &[key, data] : blocks)
        out += QByteArray("8BIM") + key + bytes({int(data.size())}, 4) + data;
    return out;
}

QByteArray iccData(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray out(qsizetype(size), '\0');
    cmsSaveProfileToMem(profile, out.data(), &size);
    cmsCloseProfile(profile);
    return out;
}

// sRGB's encoding of linear light, the float reference for linear profiles.
int srgbLevel(double linear)
{
    const double v = std::clamp(linear, 0.0, 1.0);
    return int(
        std::lround(255.0 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055)));
}

Result<QImage> decode(const QByteArray &file)
{
    DecodeObserver observer;
    return decodePsd(bytesOf(file), observer);
}

Pixels pixels(const QImage &image)
{
    Pixels out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            out.push_back(image.pixel(x, y));
    return out;
}

int channelDiff(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
}

class Recorder : public DecodeObserver {
public:
    void progress(int64_t done, int64_t) override { calls.push_back(done); }
    bool cancelled() const override
    {
        return cancelAfter >= 0 && int64_t(calls.size()) > cancelAfter;
    }
    std::vector<int64_t> calls;
    int64_t cancelAfter = -1;
};

const Psd kRgb = make(3, 8, {bytes({10, 200}), bytes({20, 100}), bytes({30, 0})});

} // namespace

Q_DECLARE_METATYPE(Psd)
Q_DECLARE_METATYPE(Pixels)

class TestPsd : public QObject {
    Q_OBJECT

private slots:
    void modes_data();
    void modes();
    void precision_data();
    void precision();
    void exifOrientation();
    void headerGuards_data();
    void headerGuards();
    void damagedRleStaysInItsRow();
    void truncatedData_data();
    void truncatedData();
    void zipWithPrediction();
    void progressAndCancel();
    void corpus_data();
    void corpus();
};

// Each row decodes raw and with PackBits to the same pixels (Lab within a few levels).
void TestPsd::modes_data()
{
    QTest::addColumn<Psd>("psd");
    QTest::addColumn<Pixels>("expected");
    QTest::addColumn<bool>("hasAlpha");
    const QRgb k = qRgb(0, 0, 0), w = qRgb(255, 255, 255), g77 = qRgb(77, 77, 77);

    QTest::newRow("rgb8") << kRgb << Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)} << false;
    QTest::newRow("grey8") << make(1, 8, {bytes({0, 77})}) << Pixels{k, g77} << false;
    QTest::newRow("duotone8 as grey") << make(8, 8, {bytes({0, 77})}) << Pixels{k, g77} << false;
    QTest::newRow("multichannel1 as grey")
        << make(7, 8, {bytes({0, 77})}) << Pixels{k, g77} << false;
    QTest::newRow("bitmap1, set bit black")
        << make(0, 1, {bytes({0xA5, 0x40})}, 10) << Pixels{k, w, k, w, w, k, w, k, w, k} << false;
    // 16 bits round to 8: round(v / 257); floats are linear 0..1, clamped, NaN black.
    QTest::newRow("rgb16") << make(3, 16,
                                   {bytes({0, 0xFFFF, 0x8080}, 2), bytes({0x80, 0x81, 0x7F7F}, 2),
                                    bytes({0x1234, 0, 0}, 2)},
                                   3)
                           << Pixels{qRgb(0, 0, 18), qRgb(255, 1, 0), qRgb(128, 127, 0)} << false;
    QTest::newRow("grey32") << make(1, 32, {floats({0.0f, 1.0f, 0.5f, 2.0f, std::nanf("")})}, 5)
                            << Pixels{k, w, qRgb(128, 128, 128), w, k} << false;
    // CMYK and multichannel inks are stored inverted: 255 is no ink.
    const std::vector<QByteArray> cmyk = {bytes({255, 0, 128}), bytes({255, 255, 255}),
                                          bytes({255, 255, 255}), bytes({255, 255, 128})};
    QTest::newRow("cmyk8") << make(4, 8, cmyk, 3)
                           << Pixels{w, qRgb(0, 255, 255), qRgb(64, 128, 128)} << false;
    QTest::newRow("multichannel4 as CMYK")
        << make(7, 8, cmyk, 3) << Pixels{w, qRgb(0, 255, 255), qRgb(64, 128, 128)} << false;
    QTest::newRow("multichannel3 as CMY")
        << make(7, 8, {cmyk[0], cmyk[1], cmyk[2]}, 3)
        << Pixels{w, qRgb(0, 255, 255), qRgb(128, 255, 255)} << false;
    // D50 Lab: white, black, mid grey and sRGB red.
    QTest::newRow("lab8") << make(9, 8,
                                  {bytes({255, 0, 128, 138}), bytes({128, 128, 128, 209}),
                                   bytes({128, 128, 128, 198})},
                                  4)
                          << Pixels{w, k, qRgb(119, 119, 119), qRgb(255, 0, 0)} << false;

    Psd indexed = make(2, 8, {bytes({5, 255})});
    indexed.colourData = QByteArray(768, '\0');
    indexed.colourData[5] = char(11), indexed.colourData[261] = char(22),
    indexed.colourData[517] = char(33);
    indexed.colourData[255] = char(255);
    QTest::newRow("indexed8") << indexed << Pixels{qRgb(11, 22, 33), qRgb(255, 0, 0)} << false;
    indexed.resources =
        "8BIM" + bytes({1047, 0}, 2) + bytes({2}, 4) + bytes({5}, 2); // transparent index 5
    QTest::newRow("indexed8, transparent index") << indexed << Pixels{0u, qRgb(255, 0, 0)} << true;

    // A negative layer count makes the first extra channel the composite's alpha; its
    // colours are matted against white and come back unmatted.
    const std::vector<QByteArray> rgba = {bytes({255, 10, 127}), bytes({255, 20, 127}),
                                          bytes({255, 30, 255}), bytes({0, 255, 128})};
    const Pixels unmatted{0u, qRgb(10, 20, 30), qRgba(0, 0, 255, 128)};
    QTest::newRow("rgba8, layer count -1")
        << make(3, 8, rgba, 3, layerCount(-1)) << unmatted << true;
    const std::vector<QByteArray> straight = {bytes({10, 255}), bytes({20, 255}), bytes({30, 255}),
                                              bytes({128, 0})};
    QTest::newRow("rgba8, straight colour (never below the white matte)")
        << make(3, 8, straight, 2, layerCount(-1))
        << Pixels{qRgba(10, 20, 30, 128), qRgba(255, 255, 255, 0)} << true;
    QTest::newRow("rgb8 + selection channel")
        << make(3, 8, rgba, 3, layerCount(1)) << Pixels{w, qRgb(10, 20, 30), qRgb(127, 127, 255)}
        << false;
    Psd psb = make(3, 8, rgba, 3, layerCount(-1, 2));
    psb.version = 2; // 8-byte section lengths, 4-byte RLE counts
    QTest::newRow("psb rgba8") << psb << unmatted << true;
    // 16-bit files keep their layer count in an Lr16 block after the global mask.
    const QByteArray lr16 = bytes({0, 0}, 4) + "8BIMLr16" + bytes({2}, 4) + bytes({0xFFFE}, 2);
    QTest::newRow("grey16 + alpha via Lr16")
        << make(1, 16, {bytes({0xFFFF, 0x3030}, 2), bytes({0, 0xFFFF}, 2)}, 2, lr16)
        << Pixels{0u, qRgb(48, 48, 48)} << true;
    // An empty layer list in the main section, the real one (with the alpha mark) in Lr32.
    const QByteArray zeroThenLr32 = bytes({2}, 4) + bytes({0}, 2) + bytes({0}, 4) + "8BIMLr32" +
                                    bytes({2}, 4) + bytes({0xFFFF}, 2);
    QTest::newRow("grey32 + alpha, zero count before Lr32")
        << make(1, 32, {floats({1.0f, 0.5f}), floats({0.0f, 1.0f})}, 2, zeroThenLr32)
        << Pixels{0u, qRgb(128, 128, 128)} << true;
    // Newer writers keep a positive count and mark the alpha with a tagged block instead.
    QTest::newRow("grey8 + alpha via Mtrn, positive count")
        << make(1, 8, {bytes({255, 77}), bytes({0, 255})}, 2,
                layerCount(1) + bytes({0}, 4) + "8BIMMtrn" + bytes({0}, 4))
        << Pixels{0u, g77} << true;
    QTest::newRow("rgb16 + alpha via Mt16, positive count in Lr16")
        << make(3, 16,
                {bytes({0xFFFF, 0x1010}, 2), bytes({0xFFFF, 0x2020}, 2), bytes({0xFFFF, 0x3030}, 2),
                 bytes({0, 0xFFFF}, 2)},
                2, taggedBlocks({{"Lr16", bytes({1}, 2)}, {"Mt16", {}}}))
        << Pixels{0u, qRgb(16, 32, 48)} << true;
    QTest::newRow("grey32 + alpha via Mt32")
        << make(1, 32, {floats({1.0f, 0.5f}), floats({0.0f, 1.0f})}, 2,
                taggedBlocks({{"Lr32", bytes({1}, 2)}, {"Mt32", {}}}))
        << Pixels{0u, qRgb(128, 128, 128)} << true;
    // Lab matted against white in Lab (neutral a and b): half-covered red comes back red.
    QTest::newRow("lab8 + alpha, matted in Lab")
        << make(9, 8,
                {bytes({255, 196, 0}), bytes({128, 169, 128}), bytes({128, 163, 128}),
                 bytes({0, 128, 255})},
                3, layerCount(-1))
        << Pixels{0u, qRgba(255, 0, 0, 128), k} << true;
    // Spot inks over white: RGB cyan, then CMYK yellow (components count down from no ink).
    Psd inks = make(7, 8, {bytes({255, 0, 255, 0, 128}), bytes({255, 255, 0, 0, 255})}, 5);
    inks.resources = resource(1077, bytes({1}, 4) + inkRecord(0, {0, 0xFFFF, 0xFFFF, 0}, 2) +
                                        inkRecord(2, {0xFFFF, 0xFFFF, 0, 0xFFFF}, 2));
    QTest::newRow("multichannel2 with spot inks")
        << inks
        << Pixels{w, qRgb(0, 255, 255), qRgb(255, 255, 0), qRgb(0, 255, 0), qRgb(128, 255, 255)}
        << false;
    // The older record (a padding byte more); a channel that is no ink is left out.
    inks.resources = resource(1007, inkRecord(1, {21845, 0xFFFF, 0xFFFF, 0}, 2) + bytes({0}) +
                                        inkRecord(0, {0xFFFF, 0, 0, 0}, 0) + bytes({0}));
    const QRgb green = qRgb(0, 255, 0);
    QTest::newRow("multichannel2, older display info, one HSB ink")
        << inks << Pixels{w, green, w, green, qRgb(128, 255, 128)} << false;
    // More channels than the format's 56: the composite takes what it needs.
    std::vector<QByteArray> many = {bytes({10, 200}), bytes({20, 100}), bytes({30, 0})};
    many.resize(60, bytes({7, 7}));
    QTest::newRow("rgb8 + 57 extra channels")
        << make(3, 8, many) << Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)} << false;
}

void TestPsd::modes()
{
    QFETCH(Psd, psd);
    QFETCH(Pixels, expected);
    QFETCH(bool, hasAlpha);
    const int tolerance = psd.mode == 9 ? 6 : 0;
    for (int compression : {0, 1}) {
        psd.compression = compression;
        auto image = decode(psd.build());
        QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
        QCOMPARE(image->format(), hasAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        const Pixels got = pixels(image.value());
        QCOMPARE(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            QVERIFY2(channelDiff(got[i], expected[i]) <= tolerance,
                     qPrintable(QStringLiteral("compression %1, pixel %2: %3")
                                    .arg(compression)
                                    .arg(i)
                                    .arg(got[i], 8, 16)));
    }
}

// 16- and 32-bit samples reach their colour conversion whole: each pixel within `worst`
// levels of a floating-point conversion of the stored values, and within `mean` on average.
void TestPsd::precision_data()
{
    QTest::addColumn<Psd>("psd");
    QTest::addColumn<Pixels>("reference");
    QTest::addColumn<int>("worst");
    QTest::addColumn<double>("mean");
    constexpr int n = 64;
    cmsToneCurve *linear = cmsBuildGamma(nullptr, 1.0);

    // Linear grey, dark end: 40 sRGB levels in a range 8-bit linear holds 6 of.
    std::vector<float> grey(n);
    Pixels greyRef;
    QByteArray greyPlane;
    for (int i = 0; i < n; ++i) {
        grey[size_t(i)] = float(i) * 0.0213f / float(n - 1);
        greyPlane += floats({grey[size_t(i)]});
        const int v = srgbLevel(grey[size_t(i)]);
        greyRef.push_back(qRgb(v, v, v));
    }
    Psd g32 = make(1, 32, {greyPlane}, n);
    g32.resources = resource(1039, iccData(cmsCreateGrayProfile(cmsD50_xyY(), linear)));
    QTest::newRow("grey32, linear profile") << g32 << greyRef << 1 << 1.0;

    // RGB with sRGB's primaries and linear curves: the reference is sRGB's encoding alone.
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *curves[3] = {linear, linear, linear};
    std::vector<QByteArray> rgb(3);
    Pixels rgbRef;
    for (int i = 0; i < n; ++i) {
        const int v[3] = {i * 40, i * 400, 65535 - i * 1000};
        for (int c = 0; c < 3; ++c)
            rgb[size_t(c)] += bytes({v[c]}, 2);
        rgbRef.push_back(
            qRgb(srgbLevel(v[0] / 65535.0), srgbLevel(v[1] / 65535.0), srgbLevel(v[2] / 65535.0)));
    }
    Psd r16 = make(3, 16, rgb, n);
    r16.resources = resource(1039, iccData(cmsCreateRGBProfile(&d65, &primaries, curves)));
    QTest::newRow("rgb16, linear profile") << r16 << rgbRef << 1 << 1.0;
    cmsFreeToneCurve(linear);

    // Lab against lcms2's double-precision conversion; 16-bit a and b are neutral at 32768.
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr), srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM toSrgb =
        cmsCreateTransform(lab, TYPE_Lab_DBL, srgb, TYPE_RGB_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    std::vector<QByteArray> labPlanes(3);
    Pixels labRef;
    uint32_t seed = 12345;
    for (int i = 0; i < 4 * n; ++i) {
        int v[3];
        for (int &c : v) {
            seed = seed * 1664525u + 1013904223u;
            c = int(seed >> 16);
        }
        const cmsCIELab in = {v[0] * 100.0 / 65535.0, (v[1] - 32768) / 256.0,
                              (v[2] - 32768) / 256.0};
        double out[3];
        cmsDoTransform(toSrgb, &in, out, 1);
        for (int c = 0; c < 3; ++c)
            labPlanes[size_t(c)] += bytes({v[c]}, 2);
        const auto level = [](double e) { return int(std::lround(std::clamp(e, 0.0, 1.0) * 255)); };
        labRef.push_back(qRgb(level(out[0]), level(out[1]), level(out[2])));
    }
    cmsDeleteTransform(toSrgb);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    QTest::newRow("lab16") << make(9, 16, labPlanes, 4 * n) << labRef << 2 << 1.0;

    // CMYK through a table profile, against lcms2's exact float transform; inks stored inverted.
    const QByteArray press = test::tableCmykProfile();
    cmsHPROFILE inks = cmsOpenProfileFromMem(press.constData(), cmsUInt32Number(press.size()));
    srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM exact = cmsCreateTransform(inks, TYPE_CMYK_DBL, srgb, TYPE_RGB_DBL,
                                             INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE);
    std::vector<QByteArray> cmykPlanes(4);
    Pixels cmykRef;
    for (int i = 0; i < 4 * n; ++i) {
        double ink[4], out[3];
        for (int c = 0; c < 4; ++c) {
            seed = seed * 1664525u + 1013904223u;
            const int v = int(seed >> 16);
            cmykPlanes[size_t(c)] += bytes({v}, 2);
            ink[c] = (65535 - v) * 100.0 / 65535.0;
        }
        cmsDoTransform(exact, ink, out, 1);
        const auto level = [](double e) { return int(std::lround(std::clamp(e, 0.0, 1.0) * 255)); };
        cmykRef.push_back(qRgb(level(out[0]), level(out[1]), level(out[2])));
    }
    cmsDeleteTransform(exact);
    cmsCloseProfile(inks);
    cmsCloseProfile(srgb);
    Psd c16 = make(4, 16, cmykPlanes, 4 * n);
    c16.resources = resource(1039, press);
    QTest::newRow("cmyk16, table profile") << c16 << cmykRef << 2 << 1.0;
}

void TestPsd::precision()
{
    QFETCH(Psd, psd);
    QFETCH(Pixels, reference);
    QFETCH(int, worst);
    QFETCH(double, mean);
    auto image = decode(psd.build());
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    const Pixels got = pixels(image.value());
    QCOMPARE(got.size(), reference.size());
    int most = 0;
    double sum = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        const QRgb a = got[i], b = reference[i];
        for (int d : {qRed(a) - qRed(b), qGreen(a) - qGreen(b), qBlue(a) - qBlue(b)}) {
            most = std::max(most, std::abs(d));
            sum += std::abs(d);
        }
    }
    const double average = sum / double(3 * got.size());
    QVERIFY2(most <= worst && average < mean,
             qPrintable(QStringLiteral("worst %1, mean %2").arg(most).arg(average)));
}

// An EXIF block among the image resources turns the picture upright, as for JPEG.
void TestPsd::exifOrientation()
{
    // Big-endian TIFF: one IFD entry, orientation (0x0112) SHORT 6 = turned clockwise.
    const QByteArray tiff = "MM" + bytes({42}, 2) + bytes({8}, 4) + bytes({1}, 2) +
                            bytes({0x0112, 3}, 2) + bytes({1}, 4) + bytes({6, 0}, 2) +
                            bytes({0}, 4);
    Psd psd = kRgb;
    psd.resources = "8BIM" + bytes({1058, 0}, 2) + bytes({int(tiff.size())}, 4) + tiff;
    auto image = decode(psd.build());
    QVERIFY(image.ok());
    QCOMPARE(image->size(), QSize(1, 2));
    QCOMPARE(pixels(image.value()), (Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)}));
}

void TestPsd::headerGuards_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message");
    const QByteArray good = kRgb.build();
    auto patched = [&good](int offset, QByteArray value) {
        return QByteArray(good).replace(offset, value.size(), value);
    };
    auto with = [](auto change) {
        Psd p = kRgb;
        change(p);
        return p.build();
    };
    QVERIFY(sniffPsd(bytesOf(good)) && !sniffPsd(bytesOf(patched(5, bytes({3})))) &&
            !sniffPsd(bytesOf(good.left(5))));

    QTest::newRow("short") << good.left(20) << QStringLiteral("ends inside the 26-byte header");
    QTest::newRow("signature") << patched(0, "8BPX") << QStringLiteral("signature is not 8BPS");
    QTest::newRow("version") << patched(4, bytes({3}, 2)) << QStringLiteral("version 3 is neither");
    QTest::newRow("reserved") << patched(9, bytes({1})) << QStringLiteral("reserved header bytes");
    QTest::newRow("channels 0") << patched(12, bytes({0}, 2))
                                << QStringLiteral("channel count 0 is outside 1..65535");
    QTest::newRow("width 0") << patched(18, bytes({0}, 4))
                             << QStringLiteral("width 0 is outside 1..30000");
    QTest::newRow("width 2^31-1") << patched(18, bytes({0x7FFFFFFF}, 4))
                                  << QStringLiteral("width 2147483647 is outside");
    QTest::newRow("height -2") << patched(14, bytes({-2}, 4))
                               << QStringLiteral("height 4294967294 is outside");
    QTest::newRow("psb width") << with([](Psd &p) { p.version = 2, p.width = 300001; })
                               << QStringLiteral("width 300001 is outside 1..300000");
    // Within the format's limits but past ours: refused before any allocation.
    QTest::newRow("psd 30000 square") << patched(14, bytes({30000, 30000}, 4))
                                      << QStringLiteral("x 30000 pixels exceeds the limit");
    QTest::newRow("psb 300000 square")
        << with([](Psd &p) { p.version = 2, p.width = p.height = 300000; })
        << QStringLiteral("exceeds the limit");
    QTest::newRow("psb width 70000") << with([](Psd &p) { p.version = 2, p.width = 70000; })
                                     << QStringLiteral("width 70000 exceeds the limit of 65535");
    QTest::newRow("psb height 70000") << with([](Psd &p) { p.version = 2, p.height = 70000; })
                                      << QStringLiteral("height 70000 exceeds the limit of 65535");
    QTest::newRow("zip planes") << with([](Psd &p) {
        p.depth = 32, p.width = 30000, p.height = 2000, p.compression = 2, p.planes.resize(56);
    }) << QStringLiteral("ZIP planes of 13440000000 bytes exceed the limit");
    QTest::newRow("depth") << patched(22, bytes({7}, 2))
                           << QStringLiteral("depth 7 is not 1, 8, 16 or 32");
    QTest::newRow("mode") << patched(24, bytes({5}, 2))
                          << QStringLiteral("colour mode 5 is not supported");
    QTest::newRow("bitmap at depth 8")
        << patched(24, bytes({0}, 2)) << QStringLiteral("depth 8 does not fit colour mode 0");
    QTest::newRow("rgb with 2 channels")
        << with([](Psd &p) { p.planes.pop_back(); })
        << QStringLiteral("colour mode 3 needs 3 channels, the file has 2");
    QTest::newRow("palette short")
        << with([](Psd &p) { p.mode = 2, p.colourData = QByteArray(767, 'x'); })
        << QStringLiteral("palette of 767 bytes is shorter than 768");
    QTest::newRow("colour data past end")
        << patched(26, bytes({65536}, 4))
        << QStringLiteral("colour mode data of 65536 bytes runs past");
    QTest::newRow("resources past end")
        << patched(30, bytes({1 << 30}, 4))
        << QStringLiteral("image resources section of 1073741824 bytes");
    QTest::newRow("layers past end")
        << patched(34, bytes({-1}, 4))
        << QStringLiteral("layer and mask section of 4294967295 bytes");
    QTest::newRow("compression 4")
        << patched(38, bytes({4}, 2)) << QStringLiteral("compression 4 is not");
    QTest::newRow("compression missing")
        << good.left(39) << QStringLiteral("compression field missing");
    QTest::newRow("raw, no pixels")
        << good.left(41)
        << QStringLiteral("before the first row of pixel data (2 bytes needed, 1 present)");
    const QByteArray rle = with([](Psd &p) { p.compression = 1; });
    QTest::newRow("rle table past end")
        << rle.left(45)
        << QStringLiteral(
               "RLE byte count table of 6 bytes runs past the end of the file (5 bytes left)");
    QTest::newRow("rle, no pixels")
        << rle.left(46) << QStringLiteral("ends after the RLE byte count table");
    QTest::newRow("zip damaged") << with([](Psd &p) { p.compression = 2; }).left(44)
                                 << QStringLiteral("ZIP data is damaged");
}

void TestPsd::headerGuards()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    auto image = decode(file);
    QVERIFY(!image.ok());
    const QString text = QString::fromStdString(image.error().message);
    QVERIFY2(text.startsWith(QLatin1String("PSD: ")) && text.contains(message), qPrintable(text));
    // Limits hold when the header is read, so --info never reports a size decoding refuses.
    if (message.contains(QLatin1String("limit"))) {
        auto info = readPsdInfo(bytesOf(file));
        QVERIFY(!info.ok());
        QCOMPARE(info.error().message, image.error().message);
    }
}

// Runs that claim more than the row holds, or more than the row's byte count, must not
// spill into or read from the next row.
void TestPsd::damagedRleStaysInItsRow()
{
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const QByteArray packed = bytes({128, 0x81, 5}); // a no-op header, then a 128-byte run
    QCOMPARE(psd::unpackBits(bytesOf(packed), out, 3), size_t(3));
    QCOMPARE(out[3], uint8_t(0xEE));

    Psd p = make(1, 8, {bytes({0, 0, 0, 0})});
    p.height = 2, p.compression = 1;
    QByteArray file = p.build().left(40) + bytes({2, 3}, 2);
    file += bytes({0xF0, 0x11});       // row 0: a run of 17 in a 2-pixel row
    file += bytes({0x05, 0x22, 0x33}); // row 1: a literal of 6, two bytes counted
    file += bytes({0x44, 0x55});       // beyond row 1's count
    auto image = decode(file);
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()),
             (Pixels{qRgb(17, 17, 17), qRgb(17, 17, 17), qRgb(34, 34, 34), qRgb(51, 51, 51)}));
}

// The header is whole but the pixels end early: the whole rows are shown, then opaque black.
void TestPsd::truncatedData_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("whole");
    QTest::newRow("raw, last blue row missing") << 0 << 3 << 3;
    QTest::newRow("raw, blue row cut in half") << 0 << 5 << 2;
    QTest::newRow("rle, last blue row missing") << 1 << 2 << 3;
    QTest::newRow("rle, cut inside a run") << 1 << 3 << 2;
}

void TestPsd::truncatedData()
{
    QFETCH(int, compression);
    QFETCH(int, cut);
    QFETCH(int, whole);
    Psd p = make(3, 8, {QByteArray(12, 0x10), QByteArray(12, 0x50), QByteArray(12, char(0x90))}, 3);
    p.height = 4, p.compression = compression;
    auto image = decode(p.build().chopped(cut));
    QVERIFY(image.ok());
    for (int y = 0; y < 4; ++y)
        if (y != whole) // the row where the data ends is partly decoded
            QCOMPARE(image->pixel(2, y), y < whole ? qRgb(0x10, 0x50, 0x90) : qRgb(0, 0, 0));
}

void TestPsd::zipWithPrediction()
{
    Psd p = kRgb;
    p.compression = 2;
    auto image = decode(p.build());
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()), (Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)}));
    // 16 bits: differences from the left sample, wrapping.
    p = make(1, 16, {bytes({0x1000, 0x7000, 0xA000}, 2)}, 3);
    p.compression = 3;
    image = decode(p.build());
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()),
             (Pixels{qRgb(16, 16, 16), qRgb(128, 128, 128), qRgb(32, 32, 32)}));
    // 32 bits: the floats' bytes split into four planes, then byte differences.
    const QByteArray f = floats({0.25f, 1.0f});
    QByteArray planes, deltas;
    for (int b = 0; b < 4; ++b)
        planes += QByteArray(1, f[b]) + QByteArray(1, f[4 + b]);
    for (qsizetype i = 0; i < planes.size(); ++i)
        deltas += char(planes[i] - (i ? planes[i - 1] : 0));
    p = make(1, 32, {deltas});
    p.compression = 3;
    image = decode(p.build());
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()), (Pixels{qRgb(64, 64, 64), qRgb(255, 255, 255)}));
    // A stream that goes on past the planes (a small file inflating gigabytes) is read up
    // to their size and no further.
    p = kRgb;
    p.compression = 2;
    p.zipTail = QByteArray(64 << 20, '\0');
    image = decode(p.build());
    QVERIFY2(image.ok(), image ? "" : image.error().message.c_str());
    QCOMPARE(pixels(image.value()), (Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)}));
}

void TestPsd::progressAndCancel()
{
    Psd p = make(1, 8, {QByteArray(2000, 'a')}, 4);
    p.height = 500, p.compression = 1;
    const QByteArray file = p.build();
    Recorder recorder;
    QVERIFY(decodePsd(bytesOf(file), recorder).ok());
    QVERIFY(recorder.calls.size() >= 50 && recorder.calls.size() <= 200);
    QVERIFY(std::is_sorted(recorder.calls.begin(), recorder.calls.end()));
    QCOMPARE(recorder.calls.back(), int64_t(500));
    recorder.calls.clear();
    recorder.cancelAfter = 3;
    auto cancelled = decodePsd(bytesOf(file), recorder);
    QVERIFY(!cancelled.ok());
    QCOMPARE(cancelled.error().message, std::string("PSD: cancelled"));
}

void TestPsd::corpus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectation");
    QTest::addColumn<QString>("reference");
    const auto entries = test::readManifest({QStringLiteral("psd")});
    // Without rows QtTest aborts at the first fetch: one empty row that skips instead.
    if (!entries)
        QTest::newRow("corpus absent") << QString() << QString() << QString();
    for (const test::ManifestEntry &e : entries.value_or(QList<test::ManifestEntry>()))
        QTest::newRow(qPrintable(e.path))
            << test::corpusFile(e.path) << e.expectation
            << (e.reference.isEmpty() ? QString() : test::corpusFile(e.reference));
}

// Valid files match their reference flattened on white (colours under full transparency do
// not count): exactly for opaque 8-bit, within 2 for translucent or 16/32-bit pixels (the
// white matte and the 16-bit reference's reduction round), roughly for colour-converted
// modes, whose references use other conversions.
void TestPsd::corpus()
{
    QFETCH(QString, path);
    QFETCH(QString, expectation);
    QFETCH(QString, reference);
    if (path.isEmpty())
        QSKIP("shared corpus not available");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    auto image = decode(data);
    if (expectation == QLatin1String("valid"))
        QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    if (!image.ok() || reference.isEmpty() ||
        expectation == QLatin1String("invalid-must-not-crash"))
        return;
    // Saved without a real composite (the version-info resource says so): the stored one is a
    // white placeholder, and these references flattened the layers, which we do not read.
    for (const char *placeholder : {"ag-psd/16bits.psd", "pixel-layer.psd", "layer-name-emoji.psd"})
        if (path.endsWith(QLatin1String(placeholder)))
            return;
    // Its composite holds straight colour, which the reference unmattes all the same.
    const bool alphaOnly = path.endsWith(QLatin1String("gen_rgba8.psd"));
    const int depth = psd::parseHeader(bytesOf(data))->depth;
    const auto mode = psd::parseHeader(bytesOf(data))->mode;
    const bool rough = mode == psd::ColorMode::Cmyk || mode == psd::ColorMode::Lab ||
                       mode == psd::ColorMode::Multichannel || mode == psd::ColorMode::Duotone;
    // The references hold the stored colours: compare a decode that leaves out the profile.
    psd::Header stored = psd::parseHeader(bytesOf(data)).value();
    stored.iccProfile = {};
    DecodeObserver none;
    const auto storedImage = psd::decodeComposite(stored, bytesOf(data), none);
    QVERIFY(storedImage.ok());
    const QImage ours = storedImage->convertToFormat(QImage::Format_ARGB32);
    const QImage ref = QImage(reference).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(ours.size(), ref.size());
    auto flat = [](QRgb p) {
        auto f = [p](int c) { return (c * qAlpha(p) + 255 * (255 - qAlpha(p)) + 127) / 255; };
        return qRgba(f(qRed(p)), f(qGreen(p)), f(qBlue(p)), qAlpha(p));
    };
    int64_t bad = 0;
    for (int y = 0; y < ours.height(); ++y)
        for (int x = 0; x < ours.width(); ++x) {
            const QRgb a = ours.pixel(x, y), b = ref.pixel(x, y);
            const int limit = rough ? 24 : depth <= 8 && qAlpha(b) == 255 ? 0 : 2;
            bad += alphaOnly ? qAlpha(a) != qAlpha(b) : channelDiff(flat(a), flat(b)) > limit;
        }
    QVERIFY2(bad == 0, qPrintable(QStringLiteral("%1 pixels differ").arg(bad)));
}

QTEST_MAIN(TestPsd)
#include "tst_psd.moc"
