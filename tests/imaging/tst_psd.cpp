// PSD composite decoder: crafted files for every mode, depth, compression and guard, plus a
// pass over the shared corpus.

#include "imaging/decoders/Psd.h"
#include "imaging/decoders/PsdInternal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTest>

#include <cmath>
#include <cstring>
#include <vector>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

// ---- A small PSD writer ------------------------------------------------------------------

void putBe(QByteArray &out, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char(uint8_t(v >> (8 * i))));
}

// PackBits: runs of three or more as repeats, the rest as literals.
QByteArray packRow(const QByteArray &row)
{
    QByteArray out;
    qsizetype i = 0;
    while (i < row.size()) {
        qsizetype run = 1;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i])
            ++run;
        if (run >= 3) {
            out.append(char(uint8_t(257 - run)));
            out.append(row[i]);
            i += run;
            continue;
        }
        qsizetype lit = 0;
        while (i + lit < row.size() && lit < 128 &&
               !(i + lit + 2 < row.size() && row[i + lit] == row[i + lit + 1] &&
                 row[i + lit] == row[i + lit + 2]))
            ++lit;
        out.append(char(uint8_t(lit - 1)));
        out.append(row.mid(i, lit));
        i += lit;
    }
    return out;
}

struct Psd {
    int version = 1;
    int width = 2;
    int height = 1;
    int depth = 8;
    int mode = 3;
    QByteArray colourData;
    QByteArray resources;
    QByteArray layers; // contents of the layer and mask section
    int compression = 0;
    std::vector<QByteArray> planes; // one per channel: height rows of stored bytes

    qsizetype rowBytes() const { return depth == 1 ? (width + 7) / 8 : width * (depth / 8); }

    QByteArray build() const
    {
        QByteArray out("8BPS");
        putBe(out, uint64_t(version), 2);
        out.append(6, '\0');
        putBe(out, planes.size(), 2);
        putBe(out, uint64_t(height), 4);
        putBe(out, uint64_t(width), 4);
        putBe(out, uint64_t(depth), 2);
        putBe(out, uint64_t(mode), 2);
        putBe(out, uint64_t(colourData.size()), 4);
        out.append(colourData);
        putBe(out, uint64_t(resources.size()), 4);
        out.append(resources);
        putBe(out, uint64_t(layers.size()), version == 2 ? 8 : 4);
        out.append(layers);
        putBe(out, uint64_t(compression), 2);
        if (compression == 1) {
            QByteArray counts, data;
            for (const QByteArray &plane : planes)
                for (int y = 0; y < height; ++y) {
                    const QByteArray packed = packRow(plane.mid(y * rowBytes(), rowBytes()));
                    putBe(counts, uint64_t(packed.size()), version == 2 ? 4 : 2);
                    data.append(packed);
                }
            out.append(counts);
            out.append(data);
        } else if (compression == 0) {
            for (const QByteArray &plane : planes)
                out.append(plane);
        } else {
            QByteArray all;
            for (const QByteArray &plane : planes)
                all.append(plane);
            out.append(qCompress(all).mid(4)); // drop Qt's length prefix: a plain zlib stream
        }
        return out;
    }
};

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(uint8_t(v)));
    return out;
}

QByteArray be16(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        putBe(out, uint64_t(v), 2);
    return out;
}

QByteArray beFloat(std::initializer_list<float> values)
{
    QByteArray out;
    for (float f : values) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        putBe(out, u, 4);
    }
    return out;
}

QByteArray layerCount(int count, int version = 1)
{
    QByteArray out;
    putBe(out, 2, version == 2 ? 8 : 4);
    putBe(out, uint64_t(uint16_t(int16_t(count))), 2);
    return out;
}

Bytes span(const QByteArray &a) { return {reinterpret_cast<const std::byte *>(a.constData()), size_t(a.size())}; }

Result<QImage> decode(const QByteArray &file)
{
    DecodeObserver observer;
    return decodePsd(span(file), observer);
}

std::vector<QRgb> pixels(const QImage &image)
{
    std::vector<QRgb> out;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            out.push_back(image.pixel(x, y));
    return out;
}

QString hex(const std::vector<QRgb> &v)
{
    QStringList parts;
    for (QRgb p : v)
        parts << QString::number(p, 16);
    return parts.join(QLatin1Char(' '));
}

Psd rgb2x1()
{
    Psd p;
    p.planes = {bytes({10, 200}), bytes({20, 100}), bytes({30, 0})};
    return p;
}

class Recorder : public DecodeObserver {
public:
    void progress(int64_t done, int64_t total) override
    {
        calls.push_back(done);
        last = total;
    }
    bool cancelled() const override { return cancelAfter >= 0 && int64_t(calls.size()) > cancelAfter; }
    std::vector<int64_t> calls;
    int64_t last = 0;
    int64_t cancelAfter = -1;
};

} // namespace

using Pixels = std::vector<QRgb>;
Q_DECLARE_METATYPE(Psd)
Q_DECLARE_METATYPE(Pixels)

class TestPsd : public QObject {
    Q_OBJECT

private slots:
    void sniff();
    void modes_data();
    void modes();
    void headerGuards_data();
    void headerGuards();
    void unpackBitsStaysInBounds();
    void damagedRleRowsStayInTheirRow();
    void truncatedData_data();
    void truncatedData();
    void zip();
    void progressAndCancel();
    void corpus_data();
    void corpus();
};

void TestPsd::sniff()
{
    QVERIFY(sniffPsd(span(rgb2x1().build())));
    Psd psb = rgb2x1();
    psb.version = 2;
    QVERIFY(sniffPsd(span(psb.build())));
    QVERIFY(!sniffPsd(span(QByteArray("8BPS\0\3", 6))));
    QVERIFY(!sniffPsd(span(QByteArray("8BPX\0\1", 6))));
    QVERIFY(!sniffPsd(span(QByteArray("8BPS"))));
    auto info = readPsdInfo(span(rgb2x1().build()));
    QVERIFY(info.ok());
    QCOMPARE(info->width, 2);
    QCOMPARE(info->bitDepth, 24);
}

// Each row is decoded raw and with RLE; both must give exactly the expected pixels
// (within `tolerance` per channel for the colour-managed Lab rows).
void TestPsd::modes_data()
{
    QTest::addColumn<Psd>("psd");
    QTest::addColumn<Pixels>("expected");
    QTest::addColumn<bool>("hasAlpha");
    QTest::addColumn<int>("tolerance");

    QTest::newRow("rgb8") << rgb2x1() << Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)} << false << 0;
    {
        Psd p;
        p.mode = 1;
        p.planes = {bytes({0, 77})};
        QTest::newRow("grey8") << p << Pixels{qRgb(0, 0, 0), qRgb(77, 77, 77)} << false << 0;
        p.mode = 8; // duotone shows its grey base
        QTest::newRow("duotone8") << p << Pixels{qRgb(0, 0, 0), qRgb(77, 77, 77)} << false << 0;
        p.mode = 7; // one multichannel ink shows as grey
        QTest::newRow("multichannel1") << p << Pixels{qRgb(0, 0, 0), qRgb(77, 77, 77)} << false << 0;
    }
    {
        Psd p; // ten pixels span two bytes; a set bit is black
        p.mode = 0;
        p.depth = 1;
        p.width = 10;
        p.planes = {bytes({0xA5, 0x40})};
        const QRgb k = qRgb(0, 0, 0), w = qRgb(255, 255, 255);
        QTest::newRow("bitmap1") << p << Pixels{k, w, k, w, w, k, w, k, w, k} << false << 0;
    }
    {
        Psd p;
        p.mode = 2;
        p.colourData = QByteArray(768, '\0');
        p.colourData[5] = char(11), p.colourData[256 + 5] = char(22), p.colourData[512 + 5] = char(33);
        p.colourData[255] = char(255);
        p.planes = {bytes({5, 255})};
        QTest::newRow("indexed8") << p << Pixels{qRgb(11, 22, 33), qRgb(255, 0, 0)} << false << 0;
        QByteArray resource("8BIM");
        putBe(resource, 1047, 2);
        resource.append(2, '\0'); // empty name, padded
        putBe(resource, 2, 4);
        putBe(resource, 5, 2);
        p.resources = resource;
        QTest::newRow("indexed8-transparent") << p << Pixels{0u, qRgb(255, 0, 0)} << true << 0;
    }
    {
        Psd p; // 16-bit reduces with rounding: round(v / 257)
        p.width = 3;
        p.depth = 16;
        p.planes = {be16({0, 0xFFFF, 0x8080}), be16({0x0080, 0x0081, 0x7F7F}), be16({0x1234, 0, 0})};
        QTest::newRow("rgb16") << p << Pixels{qRgb(0, 0, 18), qRgb(255, 1, 0), qRgb(128, 127, 0)}
                               << false << 0;
    }
    {
        Psd p; // float: linear 0..1 scaled to 0..255, clamped; NaN is black
        p.mode = 1;
        p.depth = 32;
        p.width = 5;
        p.planes = {beFloat({0.0f, 1.0f, 0.5f, 2.0f, std::nanf("")})};
        QTest::newRow("grey32") << p
                                << Pixels{qRgb(0, 0, 0), qRgb(255, 255, 255), qRgb(128, 128, 128),
                                          qRgb(255, 255, 255), qRgb(0, 0, 0)}
                                << false << 0;
    }
    {
        Psd p; // CMYK stored inverted: 255 is no ink
        p.mode = 4;
        p.width = 3;
        p.planes = {bytes({255, 0, 128}), bytes({255, 255, 255}), bytes({255, 255, 255}), bytes({255, 255, 128})};
        QTest::newRow("cmyk8") << p << Pixels{qRgb(255, 255, 255), qRgb(0, 255, 255), qRgb(64, 128, 128)}
                               << false << 0;
        p.mode = 7;
        QTest::newRow("multichannel4") << p << Pixels{qRgb(255, 255, 255), qRgb(0, 255, 255), qRgb(64, 128, 128)}
                                       << false << 0;
        p.planes.pop_back();
        QTest::newRow("multichannel3") << p << Pixels{qRgb(255, 255, 255), qRgb(0, 255, 255), qRgb(128, 255, 255)}
                                       << false << 0;
    }
    {
        Psd p; // white, black, mid grey and sRGB red in D50 Lab
        p.mode = 9;
        p.width = 4;
        p.planes = {bytes({255, 0, 128, 138}), bytes({128, 128, 128, 209}), bytes({128, 128, 128, 198})};
        QTest::newRow("lab8") << p
                              << Pixels{qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(119, 119, 119),
                                        qRgb(255, 0, 0)}
                              << false << 6;
    }
    {
        Psd p = rgb2x1(); // negative layer count: the fourth channel is the composite's alpha
        p.width = 3;
        p.planes = {bytes({255, 10, 127}), bytes({255, 20, 127}), bytes({255, 30, 255}), bytes({0, 255, 128})};
        p.layers = layerCount(-1);
        QTest::newRow("rgba8-matted") << p << Pixels{0u, qRgb(10, 20, 30), qRgba(0, 0, 255, 128)} << true << 0;
        p.layers = layerCount(1); // a saved selection, not transparency
        QTest::newRow("rgb8-extra-channel") << p << Pixels{qRgb(255, 255, 255), qRgb(10, 20, 30), qRgb(127, 127, 255)}
                                            << false << 0;
        p.version = 2;
        p.layers = layerCount(-1, 2);
        QTest::newRow("psb-rgba8") << p << Pixels{0u, qRgb(10, 20, 30), qRgba(0, 0, 255, 128)} << true << 0;
    }
    {
        Psd p; // 16-bit files keep their layer count in an Lr16 block
        p.mode = 1;
        p.depth = 16;
        p.planes = {be16({0xFFFF, 0x3030}), be16({0, 0xFFFF})};
        QByteArray section;
        putBe(section, 0, 4); // no layer info
        putBe(section, 0, 4); // no global mask
        section.append("8BIMLr16");
        putBe(section, 2, 4);
        putBe(section, uint16_t(-2), 2);
        p.layers = section;
        QTest::newRow("grey16-alpha-lr16") << p << Pixels{0u, qRgb(0x30, 0x30, 0x30)} << true << 0;
    }
}

void TestPsd::modes()
{
    QFETCH(Psd, psd);
    QFETCH(Pixels, expected);
    QFETCH(bool, hasAlpha);
    QFETCH(int, tolerance);
    for (int compression : {0, 1}) {
        psd.compression = compression;
        auto image = decode(psd.build());
        QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
        QCOMPARE(image->format(), hasAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        const Pixels got = pixels(image.value());
        QCOMPARE(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            const QRgb a = got[i], b = expected[i];
            const int diff = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                       std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
            QVERIFY2(diff <= tolerance, qPrintable(QStringLiteral("compression %1: got %2, expected %3")
                                                      .arg(compression).arg(hex(got), hex(expected))));
        }
    }
}

void TestPsd::headerGuards_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message");

    const QByteArray good = rgb2x1().build();
    auto patched = [&good](int offset, QByteArray value) {
        QByteArray f = good;
        f.replace(offset, value.size(), value);
        return f;
    };
    auto with = [](auto change) {
        Psd p = rgb2x1();
        change(p);
        return p.build();
    };
    QTest::newRow("short") << good.left(20) << QStringLiteral("ends inside the 26-byte header");
    QTest::newRow("signature") << patched(0, "8BPX") << QStringLiteral("signature is not 8BPS");
    QTest::newRow("version") << patched(4, bytes({0, 3})) << QStringLiteral("version 3 is neither");
    QTest::newRow("reserved") << patched(9, bytes({1})) << QStringLiteral("reserved header bytes");
    QTest::newRow("channels-0") << patched(12, bytes({0, 0})) << QStringLiteral("channel count 0 is outside 1..56");
    QTest::newRow("channels-57") << patched(12, bytes({0, 57})) << QStringLiteral("channel count 57");
    QTest::newRow("width-0") << patched(18, bytes({0, 0, 0, 0})) << QStringLiteral("width 0 is outside 1..30000");
    QTest::newRow("width-huge") << patched(18, bytes({0x7F, 0xFF, 0xFF, 0xFF}))
                                << QStringLiteral("width 2147483647 is outside 1..30000");
    QTest::newRow("height-negative") << patched(14, bytes({0xFF, 0xFF, 0xFF, 0xFE}))
                                     << QStringLiteral("height 4294967294 is outside");
    QTest::newRow("psb-width") << with([](Psd &p) { p.version = 2, p.width = 300001; })
                               << QStringLiteral("width 300001 is outside 1..300000");
    // Within the format's limits but not within ours: refused before any allocation.
    QTest::newRow("psd-30000-square") << patched(14, bytes({0, 0, 0x75, 0x30, 0, 0, 0x75, 0x30}))
                                      << QStringLiteral("exceeds the limit");
    QTest::newRow("psb-300000-square") << with([](Psd &p) { p.version = 2, p.width = p.height = 300000; })
                                       << QStringLiteral("exceeds the limit");
    QTest::newRow("psb-65535-square") << with([](Psd &p) { p.version = 2, p.width = p.height = 65535; })
                                      << QStringLiteral("exceeds the limit");
    QTest::newRow("depth") << patched(22, bytes({0, 7})) << QStringLiteral("depth 7 is not 1, 8, 16 or 32");
    QTest::newRow("mode") << patched(24, bytes({0, 5})) << QStringLiteral("colour mode 5 is not supported");
    QTest::newRow("bitmap-depth-8") << patched(24, bytes({0, 0})) << QStringLiteral("depth 8 does not fit colour mode 0");
    QTest::newRow("rgb-two-channels") << with([](Psd &p) { p.planes.pop_back(); })
                                      << QStringLiteral("colour mode 3 needs 3 channels, the file has 2");
    QTest::newRow("palette-short") << with([](Psd &p) { p.mode = 2, p.colourData = QByteArray(767, 'x'); })
                                   << QStringLiteral("palette of 767 bytes is shorter than 768");
    QTest::newRow("colour-data-past-end") << patched(26, bytes({0, 1, 0, 0}))
                                          << QStringLiteral("colour mode data of 65536 bytes runs past the end");
    QTest::newRow("resources-past-end") << patched(30, bytes({0x7F, 0, 0, 0}))
                                        << QStringLiteral("image resources section of 2130706432 bytes");
    QTest::newRow("layers-past-end") << patched(34, bytes({0xFF, 0xFF, 0xFF, 0xFF}))
                                     << QStringLiteral("layer and mask section of 4294967295 bytes");
    QTest::newRow("compression-4") << patched(38, bytes({0, 4})) << QStringLiteral("compression 4 is not");
    QTest::newRow("compression-missing") << good.left(39) << QStringLiteral("compression field missing");
    QTest::newRow("rle-table-past-end") << with([](Psd &p) { p.compression = 1; }).left(40 + 5)
                                        << QStringLiteral("RLE byte count table of 6 bytes runs past the end");
    QTest::newRow("raw-no-pixels") << good.left(41) << QStringLiteral("file ends before the first row of pixel data (2 bytes needed, 1 present)");
    QTest::newRow("rle-no-pixels") << with([](Psd &p) { p.compression = 1; }).left(46)
                                   << QStringLiteral("file ends after the RLE byte count table");
    QTest::newRow("zip-damaged") << with([](Psd &p) { p.compression = 2; }).left(44)
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
}

void TestPsd::unpackBitsStaysInBounds()
{
    uint8_t out[6];
    auto run = [&out](QByteArray in, size_t limit) {
        std::memset(out, 0xEE, sizeof out);
        const size_t n = psd::unpackBits(span(in), out, limit);
        return QByteArray(reinterpret_cast<const char *>(out), qsizetype(n));
    };
    QCOMPARE(run(bytes({2, 1, 2, 3, 0xFE, 9}), 6), bytes({1, 2, 3, 9, 9, 9}));
    QCOMPARE(run(bytes({128, 0, 7}), 6), bytes({7}));      // 128 is a no-op header
    QCOMPARE(run(bytes({0x81, 5}), 4), bytes({5, 5, 5, 5})); // a 128-byte run clipped to the row
    QCOMPARE(run(bytes({9, 1, 2}), 6), bytes({1, 2}));       // literal longer than the input
    QCOMPARE(run(bytes({0, 4, 0xFF}), 6), bytes({4}));       // repeat header without its byte
    QCOMPARE(out[1], uint8_t(0xEE));
}

// A row whose runs claim more than the row holds, or whose count is shorter than its runs,
// must not spill into the next row or read the next row's bytes.
void TestPsd::damagedRleRowsStayInTheirRow()
{
    Psd p;
    p.mode = 1;
    p.height = 2;
    p.planes = {bytes({0, 0, 0, 0})};
    p.compression = 1;
    QByteArray file = p.build().left(40);
    file.append(be16({2, 3}));
    file.append(bytes({0xF0, 0x11}));      // row 0: a run of 17 in a 2-pixel row
    file.append(bytes({0x05, 0x22, 0x33})); // row 1: a literal of 6, only 2 bytes counted
    file.append(bytes({0x44, 0x55}));       // not part of row 1
    auto image = decode(file);
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()),
             (Pixels{qRgb(0x11, 0x11, 0x11), qRgb(0x11, 0x11, 0x11), qRgb(0x22, 0x22, 0x22), qRgb(0x33, 0x33, 0x33)}));
}

// The header is whole but the pixels end early: the rows that decoded are shown, the rest
// is opaque black.
void TestPsd::truncatedData_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("full"); // rows that decode whole
    QTest::newRow("raw, last blue row cut") << 0 << 3 << 3;
    QTest::newRow("raw, blue row cut in half") << 0 << 5 << 2;
    QTest::newRow("rle, last blue row cut") << 1 << 2 << 3;
    QTest::newRow("rle, inside a run") << 1 << 3 << 2;
}

void TestPsd::truncatedData()
{
    QFETCH(int, compression);
    QFETCH(int, cut);
    QFETCH(int, full);
    Psd p;
    p.height = 4;
    p.width = 3;
    p.compression = compression;
    for (int c = 0; c < 3; ++c)
        p.planes.push_back(QByteArray(12, char(c * 0x40 + 0x10)));
    QByteArray file = p.build();
    file.chop(std::min<qsizetype>(cut, file.size() - 40));
    auto image = decode(file);
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    const QImage &img = image.value();
    for (int y = 0; y < 4; ++y) {
        if (y < full)
            QCOMPARE(img.pixel(2, y), qRgb(0x10, 0x50, 0x90));
        else if (y > full)
            QCOMPARE(img.pixel(2, y), qRgb(0, 0, 0));
    }
}

void TestPsd::zip()
{
    Psd p = rgb2x1();
    p.compression = 2;
    auto image = decode(p.build());
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()), (Pixels{qRgb(10, 20, 30), qRgb(200, 100, 0)}));

    // With prediction, 16-bit rows hold differences from the sample to the left.
    Psd q;
    q.mode = 1;
    q.depth = 16;
    q.width = 3;
    q.compression = 3;
    q.planes = {be16({0x1000, 0x7000, 0xA000})}; // 0x1000, 0x8000, 0x2000 after summing (wraps)
    image = decode(q.build());
    QVERIFY(image.ok());
    QCOMPARE(pixels(image.value()), (Pixels{qRgb(16, 16, 16), qRgb(128, 128, 128), qRgb(32, 32, 32)}));
}

void TestPsd::progressAndCancel()
{
    Psd p;
    p.mode = 1;
    p.width = 4;
    p.height = 500;
    p.compression = 1;
    p.planes = {QByteArray(2000, 'a')};
    const QByteArray file = p.build();
    Recorder recorder;
    QVERIFY(decodePsd(span(file), recorder).ok());
    QVERIFY(recorder.calls.size() >= 50 && recorder.calls.size() <= 200);
    QVERIFY(std::is_sorted(recorder.calls.begin(), recorder.calls.end()));
    QCOMPARE(recorder.calls.back(), recorder.last);

    Recorder canceller;
    canceller.cancelAfter = 3;
    auto cancelled = decodePsd(span(file), canceller);
    QVERIFY(!cancelled.ok());
    QCOMPARE(QString::fromStdString(cancelled.error().message), QStringLiteral("PSD: cancelled"));
}

// ---- Corpus --------------------------------------------------------------------------------

namespace {

// Files whose reference is not the stored composite, with the reason.
enum class Check { Exact, Rough, AlphaOnly, NoReference };

Check exception(const QString &path)
{
    // Layered files saved without a real composite (their version-info resource says so):
    // the stored composite is a white placeholder, and the reference flattened the layers,
    // which a composite reader does not do.
    if (path.endsWith(QLatin1String("ag-psd/16bits.psd")) || path.endsWith(QLatin1String("pixel-layer.psd")) ||
        path.endsWith(QLatin1String("layer-name-emoji.psd")))
        return Check::NoReference;
    // Written by a converter whose composite colours differ from its own layer, from which
    // the reference came; the alpha channel agrees.
    if (path.endsWith(QLatin1String("gen_rgba8.psd")))
        return Check::AlphaOnly;
    return Check::Exact;
}

// Flattened on white, so that colours under full transparency do not count.
int flatDiff(QRgb a, QRgb b)
{
    auto flat = [](QRgb p, int c) { return (c * qAlpha(p) + 255 * (255 - qAlpha(p)) + 127) / 255; };
    return std::max({std::abs(flat(a, qRed(a)) - flat(b, qRed(b))), std::abs(flat(a, qGreen(a)) - flat(b, qGreen(b))),
                     std::abs(flat(a, qBlue(a)) - flat(b, qBlue(b))), std::abs(qAlpha(a) - qAlpha(b))});
}

} // namespace

void TestPsd::corpus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectation");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("note");
    const QString root = QStringLiteral(OXLUME_SHARED_DIR "/corpus/");
    QFile manifest(root + QStringLiteral("MANIFEST.tsv"));
    if (!manifest.open(QIODevice::ReadOnly))
        QSKIP("shared corpus not present");
    manifest.readLine();
    while (!manifest.atEnd()) {
        const QStringList f = QString::fromUtf8(manifest.readLine()).trimmed().split(QLatin1Char('\t'));
        if (f.size() < 6 || f[1] != QLatin1String("psd"))
            continue;
        QTest::newRow(qPrintable(f[0])) << root + f[0] << f[3]
                                        << (f[4] == QLatin1String("-") ? QString() : root + f[4]) << f[5];
    }
}

void TestPsd::corpus()
{
    QFETCH(QString, path);
    QFETCH(QString, expectation);
    QFETCH(QString, reference);
    QFETCH(QString, note);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QElapsedTimer timer;
    timer.start();
    auto image = decode(data);
    QVERIFY2(timer.elapsed() < 5000, "decode took too long");
    if (expectation == QLatin1String("invalid-must-not-crash"))
        return; // failing cleanly or delivering part of the image are both fine
    if (expectation == QLatin1String("valid"))
        QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    if (!image.ok() || reference.isEmpty())
        return;
    const Check check = exception(path);
    if (check == Check::NoReference)
        return;
    const QImage ours = image->convertToFormat(QImage::Format_ARGB32);
    const QImage ref = QImage(reference).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(ours.size(), ref.size());

    // Modes converted through a colour model compare roughly; 16/32-bit references are
    // 16-bit PNGs reduced to 8 bits on load; translucent pixels lose precision when the
    // composite's white matte is undone, so they get a little slack.
    const auto header = psd::parseHeader(span(data));
    const int depth = header.ok() ? header->depth : 8;
    const bool rough = note.contains(QLatin1String("cmyk")) || note.contains(QLatin1String("lab")) ||
                       path.contains(QLatin1String("lab")) || path.contains(QLatin1String("cmyk")) ||
                       note.contains(QLatin1String("multichannel")) || note.contains(QLatin1String("duotone"));
    int64_t bad = 0;
    for (int y = 0; y < ours.height(); ++y)
        for (int x = 0; x < ours.width(); ++x) {
            const QRgb a = ours.pixel(x, y), b = ref.pixel(x, y);
            if (check == Check::AlphaOnly) {
                bad += qAlpha(a) != qAlpha(b);
                continue;
            }
            const int limit = rough ? 24 : depth <= 8 && qAlpha(b) == 255 ? 0 : 2;
            bad += flatDiff(a, b) > limit;
        }
    QVERIFY2(bad == 0, qPrintable(QStringLiteral("%1 pixels differ").arg(bad)));
}

QTEST_MAIN(TestPsd)
#include "tst_psd.moc"
