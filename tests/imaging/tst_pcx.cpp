#include "imaging/decoders/Pcx.h"

#include "common/DecoderTest.h"

#include <QTest>

using namespace oxlume::imaging;
namespace test = oxlume::test;
using test::bytesOf;
using test::raw;

namespace {

void put16(QByteArray &a, int at, int v)
{
    a[at] = char(v & 0xFF);
    a[at + 1] = char((v >> 8) & 0xFF);
}

struct PcxLayout {
    int version = 5, encoding = 1, bpp = 8, planes = 1;
    int width = 4, height = 2;
    int bytesPerLine = -1; // -1: what the width needs, rounded up to even
    QByteArray ega;        // header palette, up to 48 bytes
    QByteArray data;
};

QByteArray pcx(const PcxLayout &s)
{
    QByteArray a(128, '\0');
    a[0] = 0x0A, a[1] = char(s.version), a[2] = char(s.encoding), a[3] = char(s.bpp);
    put16(a, 4, 1), put16(a, 6, 1); // a non-zero origin: the size is max - min + 1
    put16(a, 8, s.width), put16(a, 10, s.height);
    a.replace(16, s.ega.size(), s.ega);
    a[65] = char(s.planes);
    const int needed = (s.width * s.bpp + 7) / 8;
    put16(a, 66, s.bytesPerLine >= 0 ? s.bytesPerLine : needed + (needed & 1));
    return a + s.data;
}

QList<QRgb> pixels(const QImage &img)
{
    QList<QRgb> out;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            out << img.pixel(x, y);
    return out;
}

QImage decodeOk(const QByteArray &file)
{
    return test::decodeOrWarn(decodePcx, file);
}

constexpr QRgb kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kBlue = 0xFF0000FF, kWhite = 0xFFFFFFFF,
               kBlack = 0xFF000000;
const QByteArray kEga = raw({255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 1, 2, 3});

} // namespace

class TestPcx : public QObject {
    Q_OBJECT
private slots:
    void sniff_data();
    void sniff();
    void rejectsBadHeaders_data();
    void rejectsBadHeaders();
    void decodesEveryLayout_data();
    void decodesEveryLayout();
    void runsCrossLinesAndPaddingIsSkipped();
    void truncatedDataIsTransparent_data();
    void truncatedDataIsTransparent();
    void alphaPlane();
    void dcxFirstPage();
    void cancels();
    void corpus();
};

void TestPcx::sniff_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("expected");
    PcxLayout s;
    s.data = raw({0xC4, 1, 0xC4, 2});
    QTest::newRow("8-bit file") << pcx(s) << true;
    PcxLayout t = s;
    t.version = 1;
    QTest::newRow("version 1") << pcx(t) << false;
    t = s, t.encoding = 2;
    QTest::newRow("encoding 2") << pcx(t) << false;
    t = s, t.bpp = 3;
    QTest::newRow("3 bits") << pcx(t) << false;
    t = s, t.planes = 2;
    QTest::newRow("8 bits in 2 planes") << pcx(t) << false;
    t = s, t.bytesPerLine = 3;
    QTest::newRow("short bytesPerLine: claimed, to say why it fails") << pcx(t) << true;
    QTest::newRow("header only partly there") << pcx(s).left(100) << false;
    QByteArray text(200, 'a');
    text[0] = 0x0A;
    QTest::newRow("text after a newline") << text << false;
    QByteArray dcx = raw({0xB1, 0x68, 0xDE, 0x3A, 12, 0, 0, 0, 0, 0, 0, 0}) + pcx(s);
    QTest::newRow("DCX") << dcx << true;
}

void TestPcx::sniff()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, expected);
    QCOMPARE(sniffPcx(bytesOf(data)), expected);
}

void TestPcx::rejectsBadHeaders_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("message");
    PcxLayout s;
    s.data = QByteArray(8, '\0');
    auto row = [](const char *name, const QByteArray &d, const char *msg) {
        QTest::newRow(name) << d << QString::fromUtf8(msg);
    };
    row("cut header", pcx(s).left(127), "PCX: header cut short at 127 bytes");
    PcxLayout t = s;
    t.version = 6;
    row("version", pcx(t), "PCX: version 6 is not 0, 2, 3, 4 or 5");
    t = s, t.encoding = 7;
    row("encoding", pcx(t), "PCX: encoding 7 is not 0 or 1");
    t = s, t.width = 0; // xMax 0 < xMin 1
    row("xMax below xMin", pcx(t), "PCX: xMax 0 is less than xMin 1");
    t = s, t.width = 65535, t.height = 65535, t.bytesPerLine = 65535;
    row("65535 x 65535", pcx(t), "PCX: 65535 x 65535 pixels exceed the limit");
    t = s, t.bytesPerLine = 3;
    row("bytesPerLine", pcx(t), "PCX: bytesPerLine 3 is less than the 4 the width needs");
    t = s, t.bpp = 4, t.planes = 2;
    row("layout", pcx(t), "PCX: 4 bits per pixel in 2 planes is not supported");
    row("DCX page outside", raw({0xB1, 0x68, 0xDE, 0x3A, 0, 1, 0, 0, 0, 0, 0, 0}),
        "DCX: first page offset 256 is outside the file (12 bytes)");
}

void TestPcx::rejectsBadHeaders()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    test::verifyRejected(decodePcx, readPcxInfo, data, message);
}

void TestPcx::decodesEveryLayout_data()
{
    // 4 x 1 images, uncompressed unless said otherwise.
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QRgb>>("expected");
    QTest::addColumn<int>("bitDepth");
    PcxLayout s;
    s.encoding = 0, s.height = 1;

    s.bpp = 1, s.planes = 1, s.ega = kEga, s.data = raw({0b10100000, 0});
    QTest::newRow("mono ignores the header palette")
        << pcx(s) << QList<QRgb>{kWhite, kBlack, kWhite, kBlack} << 1;
    s.planes = 2, s.data = raw({0b10100000, 0, 0b01100000, 0});
    QTest::newRow("1 bit x 2 planes")
        << pcx(s) << QList<QRgb>{kGreen, kBlue, 0xFFFFFFFF, kRed} << 2;
    s.planes = 4, s.data = raw({0x80, 0, 0, 0, 0, 0, 0x80, 0}); // pixel 0: bits 0 and 3 => 9
    QTest::newRow("1 bit x 4 planes, unset entries black")
        << pcx(s) << QList<QRgb>{kBlack, kRed, kRed, kRed} << 4;
    s.version = 3;
    QTest::newRow("version 3 uses the default EGA colours")
        << pcx(s) << QList<QRgb>{0xFF5555FF, kBlack, kBlack, kBlack} << 4;
    s.version = 5, s.planes = 1, s.bpp = 2, s.data = raw({0b00011011, 0});
    QTest::newRow("2 bits, header palette")
        << pcx(s) << QList<QRgb>{kRed, kGreen, kBlue, kWhite} << 2;
    s.ega.clear();
    QTest::newRow("2 bits, no palette: CGA colours")
        << pcx(s) << QList<QRgb>{kBlack, 0xFF55FFFF, 0xFFFF55FF, kWhite} << 2;
    s.ega = kEga, s.bpp = 4, s.data = raw({0x01, 0x23});
    QTest::newRow("4 bits packed") << pcx(s) << QList<QRgb>{kRed, kGreen, kBlue, kWhite} << 4;

    s.bpp = 8, s.data = raw({0, 1, 2, 255});
    QTest::newRow("8 bits without a palette: grey")
        << pcx(s) << QList<QRgb>{kBlack, 0xFF010101, 0xFF020202, kWhite} << 8;
    QByteArray vga(769, '\0');
    vga[0] = 0x0C;
    vga[1 + 3] = char(255), vga[1 + 6 + 1] = char(255), vga[1 + 765 + 2] = char(255);
    s.data = raw({0, 1, 2, 255}) + vga;
    QTest::newRow("8 bits with the VGA palette")
        << pcx(s) << QList<QRgb>{kBlack, kRed, kGreen, kBlue} << 8;
    s.planes = 3, s.data = raw({255, 0, 0, 9, 0, 255, 0, 8, 0, 0, 255, 7});
    QTest::newRow("24 bits in 3 planes")
        << pcx(s) << QList<QRgb>{kRed, kGreen, kBlue, 0xFF090807} << 24;
}

void TestPcx::decodesEveryLayout()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<QRgb>, expected);
    QFETCH(int, bitDepth);
    const QImage img = decodeOk(data);
    QCOMPARE(img.format(), QImage::Format_RGB32);
    QCOMPARE(pixels(img), expected);
    auto info = readPcxInfo(bytesOf(data));
    QVERIFY(info);
    QCOMPARE(info->width, 4);
    QCOMPARE(info->bitDepth, bitDepth);
}

void TestPcx::runsCrossLinesAndPaddingIsSkipped()
{
    // 3 x 3, 8 bits, bytesPerLine 4 (odd width padded): one run of 6 covers line 0 and half
    // of line 1, a run of 0xC1 literal bytes needs the escape.
    PcxLayout s;
    s.width = 3, s.height = 3, s.bytesPerLine = 4;
    s.data = raw({0xC6, 10, 20, 30, 0xC1, 0xC5, 0xC4, 40});
    const QImage img = decodeOk(pcx(s));
    QCOMPARE(pixels(img), (QList<QRgb>{0xFF0A0A0A, 0xFF0A0A0A, 0xFF0A0A0A, 0xFF0A0A0A, 0xFF0A0A0A,
                                       0xFF141414, 0xFFC5C5C5, 0xFF282828, 0xFF282828}));
    // Odd bytesPerLine with 3 planes: each plane is padded on its own.
    PcxLayout t;
    t.encoding = 0, t.width = 1, t.height = 1, t.planes = 3, t.bytesPerLine = 3;
    t.data = raw({1, 99, 99, 2, 99, 99, 3, 99, 99});
    QCOMPARE(decodeOk(pcx(t)).pixel(0, 0), QRgb(0xFF010203));
    // The count takes all six low bits: 0xFF is a run of 63.
    PcxLayout u;
    u.width = 64, u.height = 1;
    u.data = raw({0xFF, 7, 0xC1, 9});
    QList<QRgb> line(63, 0xFF070707);
    line << 0xFF090909;
    QCOMPARE(pixels(decodeOk(pcx(u))), line);
}

void TestPcx::truncatedDataIsTransparent_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QRgb>>("expected");
    PcxLayout s;
    s.width = 2, s.height = 3, s.encoding = 0;
    s.data = raw({5, 6, 7});
    QTest::newRow("raw, cut in line 2")
        << pcx(s) << QList<QRgb>{0xFF050505, 0xFF060606, 0xFF070707, kBlack, 0, 0};
    s.encoding = 1, s.data = raw({0xC3, 5, 0xC5});
    QTest::newRow("RLE, run count without value")
        << pcx(s) << QList<QRgb>{0xFF050505, 0xFF050505, 0xFF050505, kBlack, 0, 0};
    // The VGA palette marker and colours stay out of the pixels of a cut file.
    QByteArray vga(769, '\0');
    vga[0] = 0x0C;
    vga[1 + 6] = char(255);
    s.data = raw({0xC2, 2}) + vga;
    QTest::newRow("cut before the VGA palette") << pcx(s) << QList<QRgb>{kRed, kRed, 0, 0, 0, 0};
}

void TestPcx::truncatedDataIsTransparent()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<QRgb>, expected);
    const QImage img = decodeOk(data);
    QCOMPARE(img.format(), QImage::Format_ARGB32);
    QCOMPARE(pixels(img), expected);
}

void TestPcx::alphaPlane()
{
    PcxLayout s;
    s.encoding = 0, s.width = 2, s.height = 1, s.planes = 4, s.bytesPerLine = 2;
    s.data = raw({10, 20, 30, 40, 50, 60, 128, 0});
    QImage img = decodeOk(pcx(s));
    QCOMPARE(img.format(), QImage::Format_ARGB32);
    QCOMPARE(pixels(img), (QList<QRgb>{0x800A1E32, 0x0014283C}));
    s.data[6] = 0; // an alpha plane of zeros was not meant as transparency
    img = decodeOk(pcx(s));
    QCOMPARE(img.format(), QImage::Format_RGB32);
    QCOMPARE(img.pixel(0, 0), QRgb(0xFF0A1E32));
}

void TestPcx::dcxFirstPage()
{
    PcxLayout a, b;
    a.encoding = b.encoding = 0;
    a.width = 1, a.height = 1, a.bytesPerLine = 2, a.data = raw({7, 0});
    b.width = 2, b.height = 1, b.data = raw({9, 9});
    const QByteArray first = pcx(a), second = pcx(b);
    QByteArray dcx = raw({0xB1, 0x68, 0xDE, 0x3A});
    const int offset = 4 + 3 * 4;
    dcx += raw({offset, 0, 0, 0, offset + int(first.size()), 0, 0, 0, 0, 0, 0, 0});
    dcx += first + second;
    const QImage img = decodeOk(dcx);
    QCOMPARE(img.size(), QSize(1, 1));
    QCOMPARE(img.pixel(0, 0), QRgb(0xFF070707));
    auto info = readPcxInfo(bytesOf(dcx));
    QVERIFY(info);
    QCOMPARE(info->format, std::string("PCX"));
}

void TestPcx::cancels()
{
    PcxLayout s;
    s.width = 2, s.height = 500, s.encoding = 0, s.data = QByteArray(1000, '\0');
    test::CancelAtOnce cancel;
    auto r = decodePcx(bytesOf(pcx(s)), cancel);
    QVERIFY(!r);
    QCOMPARE(QString::fromStdString(r.error().message), QStringLiteral("PCX: cancelled"));
}

#include "BmpPcxCorpus.h"

void TestPcx::corpus()
{
    const QHash<QString, QString> allowed = {
        {QStringLiteral("pcx/generated/gen_mono_gm.pcx"),
         QStringLiteral("the reference inverts 1-bit PCX; ours matches the source photograph "
                        "and the other decoder's mono.pcx reference")},
    };
    RUN_CORPUS((QStringList{QStringLiteral("pcx"), QStringLiteral("dcx")}), sniffPcx, decodePcx,
               allowed);
}

QTEST_GUILESS_MAIN(TestPcx)
#include "tst_pcx.moc"
