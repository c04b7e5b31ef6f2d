// TGA decoder: crafted files for the types, depths, origins and alpha rules; files written by
// ImageMagick; and the guards against bad input.

#include "imaging/decoders/Decoders.h"
#include "imaging/decoders/Tga.h"

#include "common/DecoderTest.h"
#include "common/ImageMagick.h"

#include <QTemporaryDir>
#include <QTest>

#include <vector>

using namespace oxlume;
using namespace oxlume::imaging;
using oxlume::test::bytesOf;
using Pixels = std::vector<QRgb>;

namespace {

struct Tga {
    int type = 2, depth = 24, width = 2, height = 1, descriptor = 0x20; // top-left origin
    int mapFirst = 0, mapBits = 0;
    QByteArray map, pixels;
    int attributes = -1; // extension area's attributes type; -1 for no extension area

    QByteArray build() const
    {
        const int mapLength = mapBits ? int(map.size()) / ((mapBits + 7) / 8) : 0;
        QByteArray out =
            test::raw({0, mapBits ? 1 : 0, type, mapFirst & 0xFF, mapFirst >> 8, mapLength & 0xFF,
                       mapLength >> 8, mapBits, 0, 0, 0, 0, width & 0xFF, width >> 8, height & 0xFF,
                       height >> 8, depth, descriptor});
        out += map + pixels;
        if (attributes < 0)
            return out;
        const int extension = int(out.size());
        QByteArray area(495, '\0');
        area[0] = char(0xEF), area[1] = char(0x01); // its own size, 495
        area[494] = char(attributes);
        out += area;
        out +=
            test::raw({extension & 0xFF, (extension >> 8) & 0xFF, extension >> 16, 0, 0, 0, 0, 0});
        out += QByteArray("TRUEVISION-XFILE.", 17) + '\0';
        return out;
    }
};

Tga make(int type, int depth, QByteArray pixels, int descriptor = 0x20)
{
    Tga t;
    t.type = type, t.depth = depth, t.pixels = pixels, t.descriptor = descriptor;
    return t;
}

Result<QImage> decode(const QByteArray &file)
{
    DecodeObserver observer;
    return decodeTga(bytesOf(file), observer);
}

Pixels pixels(const QImage &image)
{
    Pixels out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            out.push_back(image.pixel(x, y));
    return out;
}

const QRgb kRed = qRgb(255, 0, 0), kBlue = qRgb(0, 0, 255);

} // namespace

class TestTga : public QObject {
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
    void imageMagickFiles_data();
    void imageMagickFiles();
    void badInput_data();
    void badInput();
    void sniff();
};

void TestTga::decodes_data()
{
    QTest::addColumn<Tga>("tga");
    QTest::addColumn<Pixels>("expected");
    QTest::addColumn<bool>("hasAlpha");
    const QByteArray bgr = test::raw({0, 0, 255, 255, 0, 0}); // red, blue
    QTest::newRow("2: 24-bit") << make(2, 24, bgr) << Pixels{kRed, kBlue} << false;
    QTest::newRow("2: 24-bit, right to left")
        << make(2, 24, bgr, 0x30) << Pixels{kBlue, kRed} << false;
    Tga bottomUp = make(2, 24, bgr, 0);
    bottomUp.width = 1, bottomUp.height = 2;
    QTest::newRow("2: 24-bit, bottom-left origin") << bottomUp << Pixels{kBlue, kRed} << false;
    const QByteArray bgra = test::raw({0, 0, 255, 128, 255, 0, 0, 0});
    QTest::newRow("2: 32-bit, 8 alpha bits")
        << make(2, 32, bgra, 0x28) << Pixels{qRgba(255, 0, 0, 128), qRgba(0, 0, 255, 0)} << true;
    QTest::newRow("2: 32-bit, no alpha bits") << make(2, 32, bgra) << Pixels{kRed, kBlue} << false;
    Tga extension = make(2, 32, bgra);
    extension.attributes = 3;
    QTest::newRow("2: 32-bit, alpha by the extension area")
        << extension << Pixels{qRgba(255, 0, 0, 128), qRgba(0, 0, 255, 0)} << true;
    Tga premultiplied = make(2, 32, test::raw({0, 0, 64, 128, 0, 0, 0, 255}), 0x28);
    premultiplied.attributes = 4;
    QTest::newRow("2: 32-bit, premultiplied")
        << premultiplied << Pixels{qRgba(128, 0, 0, 128), qRgb(0, 0, 0)} << true;
    // A1R5G5B5: red with the attribute bit clear, blue with it set.
    const QByteArray argb1555 = test::raw({0x00, 0x7C, 0x1F, 0x80});
    QTest::newRow("2: 16-bit, attribute bit as alpha")
        << make(2, 16, argb1555, 0x21) << Pixels{qRgba(255, 0, 0, 0), kBlue} << true;
    QTest::newRow("2: 16-bit, attribute bit unused")
        << make(2, 16, argb1555) << Pixels{kRed, kBlue} << false;
    QTest::newRow("2: 15-bit") << make(2, 15, argb1555) << Pixels{kRed, kBlue} << false;
    Tga mapped = make(1, 8, test::raw({7, 8}));
    mapped.mapFirst = 7, mapped.mapBits = 24, mapped.map = bgr; // entries 7 and 8
    QTest::newRow("1: 8-bit index, map from 7") << mapped << Pixels{kRed, kBlue} << false;
    // Map entries carry their alpha (a 16-bit one its attribute bit) though the header counts
    // no alpha bits, unless the extension area says the bits are none (0), undefined (1) or
    // to be kept (2); a map with no entry above zero has no alpha at all.
    Tga mapped16 = mapped;
    mapped16.mapBits = 16, mapped16.map = argb1555;
    QTest::newRow("1: 16-bit map entries, attribute bit as alpha")
        << mapped16 << Pixels{qRgba(255, 0, 0, 0), kBlue} << true;
    mapped16.map = test::raw({0x00, 0x7C, 0x1F, 0x00});
    QTest::newRow("1: 16-bit map entries, no attribute bit set")
        << mapped16 << Pixels{kRed, kBlue} << false;
    Tga mapped32 = mapped;
    mapped32.mapBits = 32, mapped32.map = bgra;
    QTest::newRow("1: 32-bit map entries")
        << mapped32 << Pixels{qRgba(255, 0, 0, 128), qRgba(0, 0, 255, 0)} << true;
    mapped32.attributes = 2;
    QTest::newRow("1: 32-bit map entries, alpha to be kept")
        << mapped32 << Pixels{kRed, kBlue} << false;
    QTest::newRow("3: 8-bit grey")
        << make(3, 8, test::raw({0, 200})) << Pixels{qRgb(0, 0, 0), qRgb(200, 200, 200)} << false;
    QTest::newRow("3: 16-bit grey + alpha")
        << make(3, 16, test::raw({200, 100, 50, 255}), 0x28)
        << Pixels{qRgba(200, 200, 200, 100), qRgb(50, 50, 50)} << true;
    // Run-length: a run of 3 red then a literal blue, the run going on into the next row.
    Tga rle = make(10, 24, test::raw({0x82, 0, 0, 255, 0x00, 255, 0, 0}));
    rle.height = 2;
    QTest::newRow("10: runs across rows") << rle << Pixels{kRed, kRed, kRed, kBlue} << false;
    Tga rleMapped = make(9, 8, test::raw({0x81, 7, 0x00, 8}));
    rleMapped.width = 3, rleMapped.mapFirst = 7, rleMapped.mapBits = 24, rleMapped.map = bgr;
    QTest::newRow("9: colour-mapped runs") << rleMapped << Pixels{kRed, kRed, kBlue} << false;
    QTest::newRow("11: grey runs") << make(11, 8, test::raw({0x81, 90}))
                                   << Pixels{qRgb(90, 90, 90), qRgb(90, 90, 90)} << false;
}

void TestTga::decodes()
{
    QFETCH(Tga, tga);
    QFETCH(Pixels, expected);
    QFETCH(bool, hasAlpha);
    const QByteArray file = tga.build();
    QVERIFY(sniffTga(bytesOf(file)));
    auto image = decode(file);
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    QCOMPARE(image->format(), hasAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QCOMPARE(image->size(), QSize(tga.width, tga.height));
    QCOMPARE(pixels(image.value()), expected);
    auto info = readTgaInfo(bytesOf(file));
    QVERIFY(info.ok());
    QCOMPARE(info->bitDepth, tga.depth);
}

// Files as ImageMagick writes them: run-length encoded or not, true colour, grey, palette,
// with alpha; each must give back the pixels of the picture it was made from.
void TestTga::imageMagickFiles_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("withAlpha");
    QTest::newRow("truecolour, raw")
        << QStringList{QStringLiteral("-compress"), QStringLiteral("None")} << false;
    QTest::newRow("truecolour, RLE")
        << QStringList{QStringLiteral("-compress"), QStringLiteral("RLE")} << false;
    QTest::newRow("truecolour + alpha, RLE")
        << QStringList{QStringLiteral("-compress"), QStringLiteral("RLE")} << true;
    QTest::newRow("grey, RLE") << QStringList{QStringLiteral("-type"), QStringLiteral("Grayscale"),
                                              QStringLiteral("-compress"), QStringLiteral("RLE")}
                               << false;
    QTest::newRow("palette, raw") << QStringList{QStringLiteral("-type"), QStringLiteral("Palette"),
                                                 QStringLiteral("-compress"),
                                                 QStringLiteral("None")}
                                  << false;
}

void TestTga::imageMagickFiles()
{
    QFETCH(QStringList, options);
    QFETCH(bool, withAlpha);
    if (!test::hasImageMagick())
        QSKIP("ImageMagick is not installed");
    QTemporaryDir dir;
    // Few colours (a palette must hold them), in runs and single pixels.
    QImage source(37, 11, withAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const int v = (x / 5 + y) % 4 * 80;
            source.setPixel(
                x, y, withAlpha ? qRgba(v, 255 - v, v / 2, (x * 40) % 256) : qRgb(v, v, v / 2));
        }
    if (options.contains(QStringLiteral("Grayscale")))
        source =
            source.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_RGB32);
    const QString png = dir.filePath(QStringLiteral("in.png")),
                  tga = dir.filePath(QStringLiteral("out.tga"));
    QVERIFY(source.save(png));
    // ImageMagick 6 stores the rows top first while the header says bottom-left origin
    // (its reader makes the same mistake, so it reads its own files back right): flipped
    // first, the file holds what its header says.
    QVERIFY(
        test::imageMagick(QStringList{png, QStringLiteral("-flip")} + options + QStringList{tga}));
    QFile f(tga);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    QVERIFY(sniffTga(bytesOf(file)));
    auto image = decode(file);
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    QCOMPARE(image->hasAlphaChannel(), withAlpha);
    const Pixels got = pixels(image.value()),
                 want = pixels(source.convertToFormat(image->format()));
    for (size_t i = 0; i < got.size(); ++i)
        QVERIFY2(got[i] == want[i], qPrintable(QStringLiteral("pixel %1: %2, want %3")
                                                   .arg(i)
                                                   .arg(got[i], 8, 16)
                                                   .arg(want[i], 8, 16)));
}

// Bad input: a clean error, or the part of the image the data holds (the rest transparent).
void TestTga::badInput_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message"); // empty: decodes, partly
    QTest::addColumn<Pixels>("expected");
    Tga mapped = make(1, 8, test::raw({0, 1}));
    mapped.mapBits = 24, mapped.map = test::raw({0, 0, 255, 255, 0, 0});
    QTest::newRow("colour map past the end")
        << mapped.build().left(20)
        << QStringLiteral("TGA: colour map of 6 bytes at offset 18 runs past") << Pixels{};
    QTest::newRow("colour-mapped without a map")
        << make(1, 8, test::raw({0, 1})).build()
        << QStringLiteral("TGA: colour-mapped image type 1 has no colour map") << Pixels{};
    Tga empty = make(2, 24, test::raw({1, 2, 3}));
    empty.width = 0;
    QTest::newRow("zero width") << empty.build() << QStringLiteral("TGA: image size 0 x 1 is empty")
                                << Pixels{};
    Tga huge = make(2, 24, test::raw({1, 2, 3}));
    huge.width = huge.height = 65535;
    QTest::newRow("65535 x 65535")
        << huge.build() << QStringLiteral("TGA: image of 65535 x 65535 pixels exceeds") << Pixels{};
    QTest::newRow("type 4") << make(4, 24, test::raw({1, 2, 3})).build()
                            << QStringLiteral("TGA: image type 4 is not 1, 2, 3, 9, 10 or 11")
                            << Pixels{};
    QTest::newRow("no pixel data")
        << make(2, 24, {}).build() << QStringLiteral("TGA: file ends before the pixel data")
        << Pixels{};
    // A run that claims more pixels than the image has stops at its end.
    Tga longRun = make(10, 24, test::raw({0xFF, 0, 0, 255}));
    QTest::newRow("run past the image") << longRun.build() << QString() << Pixels{kRed, kRed};
    Tga cutShort = make(2, 24, test::raw({0, 0, 255, 255, 0, 0, 9}));
    cutShort.height = 2;
    QTest::newRow("raw data cut short")
        << cutShort.build() << QString() << Pixels{kRed, kBlue, 0u, 0u};
    QTest::newRow("not even one row")
        << make(2, 24, test::raw({0, 0, 255, 9})).build()
        << QStringLiteral("TGA: file ends before the first row") << Pixels{};
    QTest::newRow("runs cut short") << make(10, 24, test::raw({0x00, 0, 0, 255, 0x80})).build()
                                    << QString() << Pixels{kRed, 0u};
    QByteArray pastEnd = make(2, 24, test::raw({0, 0, 255, 255, 0, 0})).build();
    pastEnd += test::raw({0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}) +
               QByteArray("TRUEVISION-XFILE.", 17) + '\0';
    QTest::newRow("extension area offset past the end")
        << pastEnd << QString() << Pixels{kRed, kBlue};
}

void TestTga::badInput()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    QFETCH(Pixels, expected);
    if (!message.isEmpty()) {
        test::verifyRejected(decodeTga, readTgaInfo, file, message);
        return;
    }
    auto image = decode(file);
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    QCOMPARE(pixels(image.value()), expected);
}

// No signature: only a header whose fields all fit claims the data, and the file name only
// breaks ties (a broken file named .tga gets the TGA decoder's reason, not "unknown").
void TestTga::sniff()
{
    const QByteArray good = make(2, 24, test::raw({0, 0, 255, 255, 0, 0})).build();
    auto patched = [&good](int at, int value) {
        QByteArray b = good;
        b[at] = char(value);
        return b;
    };
    QVERIFY(sniffTga(bytesOf(good)));
    for (const QByteArray &bad : {patched(1, 2), patched(2, 0), patched(2, 12), patched(16, 17),
                                  patched(17, 0x20 | 9), patched(17, 0x60), good.left(17)})
        QVERIFY(!sniffTga(bytesOf(bad)));
    QCOMPARE(QString::fromLatin1(findDecoder(bytesOf(good))->name), QStringLiteral("TGA"));
    const QByteArray broken = patched(2, 0);
    QVERIFY(findDecoder(bytesOf(broken), "picture.bin") == nullptr);
    QCOMPARE(QString::fromLatin1(findDecoder(bytesOf(broken), "dir/Picture.TGA")->name),
             QStringLiteral("TGA"));
}

QTEST_GUILESS_MAIN(TestTga)
#include "tst_tga.moc"
