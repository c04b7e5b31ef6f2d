#include "imaging/decoders/Bmp.h"

#include "common/DecoderTest.h"

#include <QTest>
#include <QtEndian>

#include <string>

using namespace oxlume::imaging;
namespace test = oxlume::test;
using test::bytesOf;
using test::raw;

namespace {

void put16(QByteArray &a, int v)
{
    a.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF));
}
void put32(QByteArray &a, int64_t v)
{
    for (int i = 0; i < 4; ++i)
        a.append(char((v >> (8 * i)) & 0xFF));
}

// Describes a BMP to build; the defaults give a 40-byte header and no palette.
struct BmpLayout {
    int infoSize = 40;
    int64_t width = 2, height = 2;
    int planes = 1, bpp = 24;
    int compression = 0;
    int clrUsed = 0;
    QByteArray extra;   // masks after a 40-byte header, or the V4/V5 fields from offset 40
    QByteArray palette; // as stored
    QByteArray bits;
    int64_t offBits = -1; // -1: right after the palette
};

QByteArray info(const BmpLayout &s)
{
    QByteArray a;
    put32(a, s.infoSize);
    if (s.infoSize == 12) {
        put16(a, int(s.width)), put16(a, int(s.height)), put16(a, s.planes), put16(a, s.bpp);
        return a;
    }
    put32(a, s.width), put32(a, s.height), put16(a, s.planes), put16(a, s.bpp);
    put32(a, s.compression), put32(a, s.bits.size()), put32(a, 2835), put32(a, 2835);
    put32(a, s.clrUsed), put32(a, 0);
    a.append(s.extra); // after a 40-byte header: the bit-field masks
    if (s.infoSize != 40)
        a.resize(s.infoSize, '\0');
    return a;
}

QByteArray dib(const BmpLayout &s)
{
    return info(s) + s.palette + s.bits;
}

QByteArray bmp(const BmpLayout &s)
{
    QByteArray a("BM");
    const int64_t headerBytes = 14 + info(s).size() + s.palette.size();
    put32(a, headerBytes + s.bits.size());
    put32(a, 0);
    put32(a, s.offBits >= 0 ? s.offBits : headerBytes);
    return a + info(s) + s.palette + s.bits;
}

QByteArray bgra(std::initializer_list<QRgb> colours)
{
    QByteArray a;
    for (QRgb c : colours)
        a.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c))).append('\0');
    return a;
}

QImage decodeOk(const QByteArray &file)
{
    return test::decodeOrWarn(decodeBmp, file);
}

constexpr QRgb kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF, kWhite = 0xFFFFFFFF,
               kBlack = 0xFF000000;

} // namespace

class TestBmp : public QObject {
    Q_OBJECT
private slots:
    void sniff_data();
    void sniff();
    void rejectsBadHeaders_data();
    void rejectsBadHeaders();
    void decodesEveryDepth_data();
    void decodesEveryDepth();
    void scalesBitFieldMasks_data();
    void scalesBitFieldMasks();
    void alphaChannel();
    void runLengthCodings_data();
    void runLengthCodings();
    void truncatedPixelsAreTransparent();
    void paletteEdgeCases();
    void os2Headers();
    void packedDib();
    void cancels();
    void corpus();
};

void TestBmp::sniff_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("expected");
    BmpLayout s;
    s.bits = QByteArray(16, '\0');
    QTest::newRow("BM file") << bmp(s) << true;
    QTest::newRow("OS/2 bitmap array")
        << (QByteArray("BA") + QByteArray(12, '\0') + bmp(s)) << true;
    QTest::newRow("packed DIB") << dib(s) << true;
    QByteArray badSize = bmp(s);
    badSize[14] = 66;
    QTest::newRow("BM with unknown header size: claimed, to say why it fails") << badSize << true;
    QTest::newRow("text starting BM") << QByteArray("BMW is a car maker, not an image") << false;
    BmpLayout zeroWidth = s;
    zeroWidth.width = 0;
    QTest::newRow("DIB with zero width") << dib(zeroWidth) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestBmp::sniff()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, expected);
    QCOMPARE(sniffBmp(bytesOf(data)), expected);
}

void TestBmp::rejectsBadHeaders_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("message");
    BmpLayout s;
    s.bits = QByteArray(16, '\0');
    auto row = [&](const char *name, BmpLayout t, const char *msg) {
        QTest::newRow(name) << bmp(t) << QString::fromUtf8(msg);
    };
    BmpLayout t = s;
    t.width = 0;
    row("zero width", t, "BMP: width 0 is not positive");
    t = s, t.height = 0;
    row("zero height", t, "BMP: height 0 is empty");
    t = s, t.width = 300000;
    row("huge width", t, "BMP: width 300000 exceeds the limit of 65535");
    t = s, t.width = 65535, t.height = 65535;
    row("too many pixels", t, "BMP: 65535 x 65535 pixels exceed the limit");
    t = s, t.height = INT32_MIN;
    row("minimum height", t, "BMP: height -2147483648 exceeds");
    t = s, t.planes = 3;
    row("planes", t, "BMP: planes 3 is not 1");
    t = s, t.bpp = 7;
    row("bit count", t, "BMP: bits per pixel 7 is not valid for compression 0");
    t = s, t.bpp = 4, t.compression = 1;
    row("RLE8 at 4 bits", t, "BMP: bits per pixel 4 is not valid for compression 1");
    t = s, t.compression = 9;
    row("unknown compression", t, "BMP: compression 9 with 24 bits per pixel is not supported");
    t = s, t.offBits = 4000, t.bits = QByteArray();
    row("pixel offset past the end", t,
        "BMP: pixel data offset 4000 is at or past the end of the file (54 bytes)");
    t = s, t.compression = 3, t.bpp = 16, t.extra = QByteArray(), t.bits = QByteArray();
    row("bit-field masks missing", t, "BMP: bit-field masks cut short at 54 bytes");
    QByteArray badSize = bmp(s);
    badSize[14] = 66;
    QTest::newRow("header size 66")
        << badSize << QStringLiteral("BMP: info header size 66 is not a known size");
    QTest::newRow("info header cut")
        << bmp(s).left(30) << QStringLiteral("BMP: info header of 40 bytes cut short at 30 bytes");
    QTest::newRow("file header cut")
        << QByteArray("BM\x10\0", 4) << QStringLiteral("BMP: file header cut short at 4 bytes");
}

void TestBmp::rejectsBadHeaders()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    test::verifyRejected(decodeBmp, readBmpInfo, data, message);
}

void TestBmp::decodesEveryDepth_data()
{
    // Every file is 3 x 2, stored bottom-up unless the height is negative. Expected pixels
    // are listed top row first.
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QRgb>>("expected");
    const QByteArray pal = bgra({kRed, kGreen, kBlue, kWhite});
    BmpLayout s;
    s.width = 3;
    s.palette = pal;
    s.clrUsed = 4;

    s.bpp = 1;
    s.bits = raw({0b01000000, 0, 0, 0, 0b10100000, 0, 0, 0});
    QTest::newRow("1 bit") << bmp(s) << QList<QRgb>{kGreen, kRed, kGreen, kRed, kGreen, kRed};
    s.bpp = 2;
    s.bits = raw({0b00011011, 0, 0, 0, 0b11100100, 0, 0, 0});
    QTest::newRow("2 bits") << bmp(s) << QList<QRgb>{kWhite, kBlue, kGreen, kRed, kGreen, kBlue};
    s.bpp = 4;
    s.bits = raw({0x01, 0x20, 0, 0, 0x33, 0x10, 0, 0});
    QTest::newRow("4 bits") << bmp(s) << QList<QRgb>{kWhite, kWhite, kGreen, kRed, kGreen, kBlue};
    s.bpp = 8;
    s.bits = raw({3, 2, 1, 0, 0, 1, 2, 0});
    QTest::newRow("8 bits") << bmp(s) << QList<QRgb>{kRed, kGreen, kBlue, kWhite, kBlue, kGreen};
    s.height = -2;
    QTest::newRow("8 bits top-down")
        << bmp(s) << QList<QRgb>{kWhite, kBlue, kGreen, kRed, kGreen, kBlue};

    s = BmpLayout{};
    s.width = 3;
    s.bpp = 24;
    s.bits = raw(
        {0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0, 10, 20, 30, 255, 255, 255, 0, 0, 0, 0, 0, 0});
    QTest::newRow("24 bits") << bmp(s)
                             << QList<QRgb>{0xFF1E140A, kWhite, kBlack, kRed, kGreen, kBlue};
    s.bpp = 16; // 5-5-5: all-ones must be pure white
    s.bits = raw({0xFF, 0x7F, 0x00, 0x7C, 0x1F, 0x00, 0, 0, 0xE0, 0x03, 0, 0, 0x10, 0x42, 0, 0});
    QTest::newRow("16 bits 555") << bmp(s)
                                 << QList<QRgb>{kGreen, kBlack, 0xFF848484, kWhite, kRed, kBlue};
    s.bpp = 32;
    s.bits = bgra({kRed, kGreen, kBlue}) + bgra({0xFF102030, kWhite, kBlack});
    QTest::newRow("32 bits, unused byte zero")
        << bmp(s) << QList<QRgb>{0xFF102030, kWhite, kBlack, kRed, kGreen, kBlue};
}

void TestBmp::decodesEveryDepth()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<QRgb>, expected);
    const QImage img = decodeOk(data);
    QCOMPARE(img.size(), QSize(3, 2));
    QCOMPARE(img.format(), QImage::Format_RGB32);
    QList<QRgb> got;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            got << img.pixel(x, y);
    QCOMPARE(got, expected);
}

void TestBmp::scalesBitFieldMasks_data()
{
    QTest::addColumn<int>("bpp");
    QTest::addColumn<QList<uint32_t>>("masks"); // r, g, b, a
    QTest::addColumn<uint32_t>("pixel");
    QTest::addColumn<QRgb>("expected");
    using M = QList<uint32_t>;
    QTest::newRow("565 white") << 16 << M{0xF800, 0x07E0, 0x001F, 0} << 0xFFFFu << kWhite;
    QTest::newRow("565 mid") << 16 << M{0xF800, 0x07E0, 0x001F, 0} << 0x8410u << QRgb(0xFF848284);
    QTest::newRow("2-3-1 bits scale, not shift")
        << 16 << M{0x30, 0x0E, 0x01, 0} << 0x2Bu << QRgb(0xFFAAB6FF);
    QTest::newRow("4444 alpha") << 16 << M{0x0F00, 0x00F0, 0x000F, 0xF000} << 0x8F0Fu
                                << QRgb(0x88FF00FF);
    QTest::newRow("10-10-10-2") << 32 << M{0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}
                                << 0x7FFFFC00u << QRgb(0x55FFFF00);
    QTest::newRow("unusual order")
        << 32 << M{0x000000FF, 0xFF000000, 0x0000FF00, 0} << 0x11223344u << QRgb(0xFF441133);
    QTest::newRow("empty blue mask")
        << 16 << M{0xFF00, 0x00FF, 0, 0} << 0x1234u << QRgb(0xFF123400);
}

void TestBmp::scalesBitFieldMasks()
{
    QFETCH(int, bpp);
    QFETCH(QList<uint32_t>, masks);
    QFETCH(uint32_t, pixel);
    QFETCH(QRgb, expected);
    BmpLayout s;
    s.infoSize = 56; // V3: four masks in the header
    s.width = 1, s.height = 1, s.bpp = bpp, s.compression = 3;
    for (uint32_t m : masks)
        put32(s.extra, m);
    put32(s.bits, pixel);
    if (bpp == 16)
        s.bits[2] = 0, s.bits[3] = 0;
    const QImage img = decodeOk(bmp(s));
    QCOMPARE(img.format(), qAlpha(expected) == 255 && masks[3] == 0 ? QImage::Format_RGB32
                                                                    : QImage::Format_ARGB32);
    QCOMPARE(QString::number(img.pixel(0, 0), 16), QString::number(expected, 16));

    // The same masks after a 40-byte header (three, or four for alpha bit fields).
    s.infoSize = 40;
    s.compression = masks[3] ? 6 : 3;
    s.extra.resize(masks[3] ? 16 : 12);
    QCOMPARE(QString::number(decodeOk(bmp(s)).pixel(0, 0), 16), QString::number(expected, 16));
}

void TestBmp::alphaChannel()
{
    // A V5 header declaring alpha for plain 32-bit pixels: used when any alpha is set ...
    BmpLayout s;
    s.infoSize = 124, s.width = 2, s.height = 1, s.bpp = 32;
    s.extra = raw({0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF});
    s.bits = raw({0x10, 0x20, 0x30, 0x80, 0x40, 0x50, 0x60, 0x00});
    QImage img = decodeOk(bmp(s));
    QCOMPARE(img.format(), QImage::Format_ARGB32);
    QCOMPARE(img.pixel(0, 0), QRgb(0x80302010));
    QCOMPARE(img.pixel(1, 0), QRgb(0x00605040));
    // ... and all zero means the writer left it unset: opaque.
    s.bits[3] = 0;
    img = decodeOk(bmp(s));
    QCOMPARE(img.format(), QImage::Format_RGB32);
    QCOMPARE(img.pixel(0, 0), QRgb(0xFF302010));
    // A 40-byte header has no alpha: the fourth byte is ignored.
    s.infoSize = 40, s.extra.clear(), s.bits[3] = char(0x80);
    QCOMPARE(decodeOk(bmp(s)).pixel(0, 0), QRgb(0xFF302010));
}

void TestBmp::runLengthCodings_data()
{
    // 4 x 3 images; expected pixels listed top row first, 0 = undefined (transparent).
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QRgb>>("expected");
    BmpLayout s;
    s.width = 4, s.height = 3, s.bpp = 8, s.compression = 1, s.clrUsed = 4;
    s.palette = bgra({kRed, kGreen, kBlue, kWhite});
    // Bottom row: a run of 2 reds, an absolute run of 3 cut at the edge, end of line. Then a
    // delta (1, 1) skips the middle row, and a run of 9 whites stops at the right edge.
    s.bits = raw({2, 0, 0, 3, 1, 2, 3, 0, 0, 0, 0, 2, 1, 1, 9, 3, 0, 1});
    QTest::newRow("RLE8 runs, delta, overlong run")
        << bmp(s) << QList<QRgb>{0, kWhite, kWhite, kWhite, 0, 0, 0, 0, kRed, kRed, kGreen, kBlue};
    // A delta taken mid-row moves from the current column: 2 reds, delta (1, 1) to column 3.
    s.bits = raw({2, 0, 0, 2, 1, 1, 1, 1, 0, 0, 4, 2, 0, 1});
    QTest::newRow("RLE8 delta in mid-row")
        << bmp(s) << QList<QRgb>{kBlue, kBlue, kBlue, kBlue, 0, 0, 0, kGreen, kRed, kRed, 0, 0};
    s.bits = raw({4, 2, 0, 0, 4, 1, 0, 0, 4, 3, 0, 1});
    QTest::newRow("RLE8 complete")
        << bmp(s) << QList<QRgb>{kWhite, kWhite, kWhite, kWhite, kGreen, kGreen,
                                 kGreen, kGreen, kBlue,  kBlue,  kBlue,  kBlue};
    s.bits = raw({2, 1, 0, 1});
    QTest::newRow("RLE8 early end of bitmap")
        << bmp(s) << QList<QRgb>{0, 0, 0, 0, 0, 0, 0, 0, kGreen, kGreen, 0, 0};
    s.bits = raw({4, 1, 0, 0, 0, 4, 2, 3});
    QTest::newRow("RLE8 cut inside an absolute run")
        << bmp(s) << QList<QRgb>{0, 0, 0, 0, kBlue, kWhite, 0, 0, kGreen, kGreen, kGreen, kGreen};
    s.bits = raw({0, 2, 200, 200, 4, 1});
    QTest::newRow("RLE8 delta past the bitmap") << bmp(s) << QList<QRgb>(12, 0);

    s.bpp = 4, s.compression = 2;
    s.bits = raw({4, 0x12, 0, 0, 0, 3, 0x31, 0x00, 0, 0, 3, 0x30, 0, 1});
    QTest::newRow("RLE4 runs alternate nibbles")
        << bmp(s) << QList<QRgb>{kWhite, kRed, kWhite, 0,     kWhite, kGreen,
                                 kRed,   0,    kGreen, kBlue, kGreen, kBlue};

    s = BmpLayout{};
    s.width = 4, s.height = 1, s.bpp = 24, s.compression = 4, s.infoSize = 64; // OS/2 2.x RLE24
    s.bits = raw({2, 0, 0, 255, 0, 3, 255, 0, 0, 0, 255, 0, 1, 2, 3, 0, 0, 1});
    QTest::newRow("RLE24") << bmp(s) << QList<QRgb>{kRed, kRed, kBlue, kGreen};
}

void TestBmp::runLengthCodings()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<QRgb>, expected);
    const QImage img = decodeOk(data);
    QVERIFY(!img.isNull());
    QList<QRgb> got;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            got << img.pixel(x, y);
    QCOMPARE(got, expected);
    QCOMPARE(img.format(), expected.contains(0) ? QImage::Format_ARGB32 : QImage::Format_RGB32);
}

void TestBmp::truncatedPixelsAreTransparent()
{
    // 3 x 3, 24 bits, bottom-up: 12 bytes per row; the file ends 4 bytes into the 2nd row.
    BmpLayout s;
    s.width = 3, s.height = 3;
    s.bits = QByteArray(12, char(0xFF)) + QByteArray(4, char(0x80));
    const QImage img = decodeOk(bmp(s));
    QCOMPARE(img.format(), QImage::Format_ARGB32);
    QCOMPARE(img.pixel(2, 2), kWhite);     // bottom row whole
    QCOMPARE(img.pixel(0, 1), 0xFF808080); // first pixel of the cut row
    QCOMPARE(img.pixel(1, 1), 0u);         // its bytes are only partly there
    QCOMPARE(img.pixel(0, 0), 0u);
}

void TestBmp::paletteEdgeCases()
{
    BmpLayout s;
    s.width = 4, s.height = 1, s.bpp = 8;
    s.bits = raw({0, 1, 2, 200});
    // Two entries only: indexes past them are opaque black.
    s.clrUsed = 2, s.palette = bgra({kRed, kGreen});
    QCOMPARE(decodeOk(bmp(s)).pixel(3, 0), kBlack);
    QCOMPARE(decodeOk(bmp(s)).pixel(1, 0), kGreen);
    // 300 declared entries: the first 256 are used, the pixels follow all 300.
    s.clrUsed = 300;
    s.palette = bgra({kRed, kGreen, kBlue}) + QByteArray(297 * 4, '\x7F');
    QImage img = decodeOk(bmp(s));
    QCOMPARE(img.pixel(2, 0), kBlue);
    QCOMPARE(img.pixel(3, 0), 0xFF7F7F7F);
    // A bogus pixel offset of 2: the pixels follow the palette.
    BmpLayout t;
    t.width = 8, t.height = 1, t.bpp = 1, t.offBits = 2;
    t.palette = bgra({kRed, kGreen});
    t.bits = raw({0xF0, 0, 0, 0});
    img = decodeOk(bmp(t));
    QCOMPARE(img.pixel(0, 0), kGreen);
    QCOMPARE(img.pixel(7, 0), kRed);
    // No palette at all although the depth wants one: the pixels are not read as colours.
    BmpLayout u;
    u.width = 4, u.height = 1, u.bpp = 8, u.bits = raw({0, 2, 3, 4});
    QCOMPARE(decodeOk(bmp(u)).pixel(0, 0), kBlack);
    // Bits placed after a gap: the file header's offset wins over the palette's end.
    s.clrUsed = 3, s.palette = bgra({kRed, kGreen, kBlue}) + QByteArray(6, 'x');
    s.offBits = 14 + 40 + 18;
    QCOMPARE(decodeOk(bmp(s)).pixel(2, 0), kBlue);
}

void TestBmp::os2Headers()
{
    // OS/2 1.x: 12-byte header, 16-bit sizes, 3-byte palette entries.
    BmpLayout s;
    s.infoSize = 12, s.width = 2, s.height = 1, s.bpp = 8;
    s.palette = raw({0, 0, 255, 0, 255, 0}) + QByteArray(254 * 3, '\0');
    s.bits = raw({1, 0, 0, 0});
    QImage img = decodeOk(bmp(s));
    QCOMPARE(img.pixel(0, 0), kGreen);
    QCOMPARE(img.pixel(1, 0), kRed);
    // A shorter palette than the depth allows: the file header's offset limits it.
    s.palette = raw({0, 0, 255, 0, 255, 0});
    img = decodeOk(bmp(s));
    QCOMPARE(img.pixel(0, 0), kGreen);
    // OS/2 2.x, 16-byte header.
    BmpLayout t;
    t.infoSize = 16, t.width = 1, t.height = 1, t.bits = raw({1, 2, 3, 0});
    QCOMPARE(decodeOk(bmp(t)).pixel(0, 0), QRgb(0xFF030201));
    // Huffman 1D is refused with a reason.
    t.infoSize = 64, t.bpp = 1, t.compression = 3;
    DecodeObserver obs;
    auto r = decodeBmp(bytesOf(bmp(t)), obs);
    QVERIFY(!r);
    QVERIFY(r.error().message.find("Huffman") != std::string::npos);
}

void TestBmp::packedDib()
{
    BmpLayout s;
    s.width = 2, s.height = 1, s.bpp = 8, s.clrUsed = 2;
    s.palette = bgra({kRed, kBlue});
    s.bits = raw({1, 0, 0, 0});
    DecodeObserver obs;
    const QByteArray packed = dib(s);
    auto a = decodeDib(bytesOf(packed), obs);
    QVERIFY(a);
    QCOMPARE(a->pixel(0, 0), kBlue);
    auto b = decodeDib(bytesOf(info(s) + s.palette), bytesOf(s.bits), obs);
    QVERIFY(b);
    QCOMPARE(b->pixel(1, 0), kRed);
    // The sniffed path takes packed DIBs too (clipboard files saved as .dib).
    auto c = decodeBmp(bytesOf(packed), obs);
    QVERIFY(c);
    QCOMPARE(c->pixel(0, 0), kBlue);
    QVERIFY(!decodeDib(bytesOf(info(s)), bytesOf(QByteArray()), obs));
}

void TestBmp::cancels()
{
    BmpLayout s;
    s.width = 4, s.height = 400, s.bits = QByteArray(12 * 400, '\0');
    test::CancelAtOnce cancel;
    auto r = decodeBmp(bytesOf(bmp(s)), cancel);
    QVERIFY(!r);
    QCOMPARE(QString::fromStdString(r.error().message), QStringLiteral("BMP: cancelled"));
    s.compression = 1, s.bpp = 8;
    s.bits.clear();
    for (int i = 0; i < 400; ++i)
        s.bits += raw({4, 0, 0, 0});
    QVERIFY(!decodeBmp(bytesOf(bmp(s)), cancel));
}

#include "BmpPcxCorpus.h"

void TestBmp::corpus()
{
    // Renderings where the reference is one decoder's opinion and ours differs for a reason.
    const QHash<QString, QString> allowed = {
        {QStringLiteral("bmp/pillow/clipboard.dib"),
         QStringLiteral("plain bit fields without an alpha mask: opaque, not transparent")},
        {QStringLiteral("bmp/pillow/rgb32bf-abgr.bmp"),
         QStringLiteral("32-bit alpha that is zero everywhere means opaque, as viewers show it")},
        {QStringLiteral("bmp/bmpsuite/q/rgb32-111110.bmp"),
         QStringLiteral("11-bit channels round to the nearest level; the reference truncates")},
        {QStringLiteral("bmp/image-rs/rle_overflow.bmp"),
         QStringLiteral("a run past the line's end is dropped and the unreached line is "
                        "undefined (transparent); the reference wraps it and paints black")},
    };
    RUN_CORPUS(QStringList{QStringLiteral("bmp")}, sniffBmp, decodeBmp, allowed);
}

QTEST_GUILESS_MAIN(TestBmp)
#include "tst_bmp.moc"
