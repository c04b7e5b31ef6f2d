// Metafile decoder: crafted metafiles with known pixels, hostile records, and the corpus.

#include "imaging/decoders/Wmf.h"
#include "imaging/decoders/WmfPlayer.h"

#include "common/Corpus.h"
#include "common/DecoderTest.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <initializer_list>

using namespace oxlume::imaging;
namespace test = oxlume::test;
using test::bytesOf;

namespace {

// Builds a metafile record by record; parameters are 16-bit words as the format stores them.
class WmfWriter {
public:
    WmfWriter &rec(uint16_t function, std::initializer_list<int> words)
    {
        QByteArray params;
        for (int w : words)
            putU16(params, uint16_t(w));
        return raw(function, params);
    }
    WmfWriter &raw(uint16_t function, const QByteArray &params)
    {
        const QByteArray padded = params.size() % 2 ? params + '\0' : params;
        putU32(m_records, uint32_t(3 + padded.size() / 2));
        putU16(m_records, function);
        m_records += padded;
        return *this;
    }
    // Common records, parameters in the order the file stores them.
    WmfWriter &pen(int style, int width, uint32_t colour)
    {
        ++m_objects;
        return rec(0x02FA, {style, width, 0, int(colour & 0xFFFF), int(colour >> 16)});
    }
    WmfWriter &brush(int style, uint32_t colour, int hatch = 0)
    {
        ++m_objects;
        return rec(0x02FC, {style, int(colour & 0xFFFF), int(colour >> 16), hatch});
    }
    WmfWriter &select(int slot) { return rec(0x012D, {slot}); }
    WmfWriter &remove(int slot) { return rec(0x01F0, {slot}); }
    // Create and select; slots are counted as if nothing were deleted before.
    WmfWriter &nullPen() { return pen(5, 0, 0).select(m_objects - 1); }
    WmfWriter &solid(uint32_t colour) { return brush(0, colour).select(m_objects - 1); }
    WmfWriter &rectangle(int l, int t, int r, int b) { return rec(0x041B, {b, r, t, l}); }
    WmfWriter &windowOrg(int x, int y) { return rec(0x020B, {y, x}); }
    WmfWriter &windowExt(int x, int y) { return rec(0x020C, {y, x}); }
    WmfWriter &mapMode(int mode) { return rec(0x0103, {mode}); }
    WmfWriter &moveTo(int x, int y) { return rec(0x0214, {y, x}); }
    // Create and select a font of that height (negative: em height) named "Sans".
    WmfWriter &font(int height, int escapement = 0)
    {
        QByteArray f;
        for (int v : {height, 0, escapement, escapement, 400, 0, 0, 0, 0})
            putU16(f, uint16_t(v));
        ++m_objects;
        return raw(0x02FB, f + QByteArray("Sans\0\0", 6)).select(m_objects - 1);
    }
    WmfWriter &textOut(int x, int y, const QByteArray &text)
    {
        QByteArray params;
        putU16(params, uint16_t(text.size()));
        params += text.size() % 2 ? text + '\0' : text;
        putU16(params, uint16_t(y)), putU16(params, uint16_t(x));
        return raw(0x0521, params);
    }

    QByteArray placeable(int l, int t, int r, int b, int inch, bool withEof = true) const
    {
        QByteArray out;
        putU32(out, 0x9AC6CDD7);
        for (int w : {0, l, t, r, b, inch, 0, 0, 0})
            putU16(out, uint16_t(w));
        return out + plain(withEof);
    }
    QByteArray plain(bool withEof = true) const
    {
        QByteArray out;
        QByteArray records = m_records;
        if (withEof)
            putU32(records, 3), putU16(records, 0);
        for (int w : {1, 9, 0x0300})
            putU16(out, uint16_t(w));
        putU32(out, uint32_t(9 + records.size() / 2));
        putU16(out, uint16_t(m_objects));
        putU32(out, 0);
        putU16(out, 0);
        return out + records;
    }

    static void putU16(QByteArray &b, uint16_t v) { b += char(v & 0xFF), b += char(v >> 8); }
    static void putU32(QByteArray &b, uint32_t v)
    {
        putU16(b, uint16_t(v)), putU16(b, uint16_t(v >> 16));
    }

private:
    QByteArray m_records;
    int m_objects = 0;
};

// COLORREF values (0x00bbggrr) and what they decode to.
constexpr uint32_t kRed = 0x0000FF, kGreen = 0x00FF00, kBlue = 0xFF0000;
const QRgb kWhite = qRgb(255, 255, 255);

oxlume::Result<QImage> decode(const QByteArray &file)
{
    DecodeObserver observer;
    return decodeWmf(bytesOf(file), observer);
}

QImage decoded(const QByteArray &file)
{
    auto r = decode(file);
    if (!r)
        qWarning("%s", r.error().message.c_str());
    return r ? r.value() : QImage();
}

QRgb at(const QImage &image, int x, int y)
{
    return image.pixel(x, y) | 0xFF000000;
}

// A packed 24-bit bottom-up DIB; rows given top first.
QByteArray dib24(const std::vector<std::vector<QRgb>> &rows)
{
    const int h = int(rows.size()), w = int(rows[0].size());
    QByteArray out;
    WmfWriter::putU32(out, 40);
    WmfWriter::putU32(out, uint32_t(w));
    WmfWriter::putU32(out, uint32_t(h));
    WmfWriter::putU16(out, 1);
    WmfWriter::putU16(out, 24);
    for (int i = 0; i < 6; ++i)
        WmfWriter::putU32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row;
        for (QRgb c : rows[size_t(y)])
            row += char(qBlue(c)), row += char(qGreen(c)), row += char(qRed(c));
        while (row.size() % 4)
            row += '\0';
        out += row;
    }
    return out;
}

class CancelAfter : public DecodeObserver {
public:
    bool cancelled() const override { return true; }
};

} // namespace

class TestWmf : public QObject {
    Q_OBJECT

private slots:
    void sniffAndHeaders_data();
    void sniffAndHeaders();
    void rasterSize_data();
    void rasterSize();
    void rectangleFill();
    void windowMapping_data();
    void windowMapping();
    void objectsTakeLowestFreeSlot();
    void saveAndRestore();
    void clipping();
    void fillModesAndShapes();
    void rasterOps();
    void hatchedBrush();
    void stretchDib();
    void textDrawsSomething();
    void textWithinBounds_data();
    void textWithinBounds();
    void hostile_data();
    void hostile();
    void cancelStops();
    void bandsMatchOnePass();
    void corpus();
};

void TestWmf::sniffAndHeaders_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("sniffs");
    QTest::addColumn<QString>("error"); // empty: header reads

    WmfWriter w;
    w.rectangle(0, 0, 10, 10);
    QTest::newRow("placeable") << w.placeable(0, 0, 100, 100, 1440) << true << QString();
    QTest::newRow("plain") << w.windowExt(50, 50).plain() << true << QString();
    QTest::newRow("placeable, cut in the box") << w.placeable(0, 0, 100, 100, 96).left(12) << true
                                               << QStringLiteral("WMF: placeable header cut short");
    QTest::newRow("placeable, metafile header cut")
        << w.placeable(0, 0, 100, 100, 96).left(30) << true
        << QStringLiteral("WMF: metafile header cut short at 8 of 18 bytes");
    QByteArray badType = w.placeable(0, 0, 100, 100, 96);
    badType[22] = 5;
    QTest::newRow("placeable, type 5")
        << badType << true << QStringLiteral("WMF: header type 5 is neither");
    QByteArray badSize = w.placeable(0, 0, 100, 100, 96);
    badSize[24] = 12;
    QTest::newRow("placeable, header words 12")
        << badSize << true << QStringLiteral("WMF: header size 12 words");
    QByteArray plainVersion = w.plain();
    plainVersion[4] = 0x07;
    QTest::newRow("plain, unknown version") << plainVersion << false << QString();
    QTest::newRow("text file") << QByteArray("hello, this is not a metafile") << false << QString();
    QTest::newRow("empty") << QByteArray() << false << QString();
}

void TestWmf::sniffAndHeaders()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, sniffs);
    QFETCH(QString, error);
    QCOMPARE(sniffWmf(bytesOf(file)), sniffs);
    if (!sniffs)
        return;
    auto info = readWmfInfo(bytesOf(file));
    auto image = decode(file);
    if (error.isEmpty()) {
        QVERIFY(info.ok());
        QCOMPARE(QString::fromStdString(info->format), QStringLiteral("WMF"));
        QVERIFY(image.ok());
    } else {
        QVERIFY(!info.ok());
        QVERIFY2(QString::fromStdString(info.error().message).startsWith(error),
                 info.error().message.c_str());
        QVERIFY(!image.ok());
    }
}

void TestWmf::rasterSize_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QSize>("size");

    WmfWriter draw;
    draw.rectangle(10, 10, 90, 40);
    QTest::newRow("placeable twips at 96 dpi")
        << draw.placeable(0, 0, 2880, 1440, 1440) << QSize(192, 96);
    QTest::newRow("placeable, box corners swapped")
        << draw.placeable(2880, 1440, 0, 0, 1440) << QSize(192, 96);
    QTest::newRow("placeable, huge box capped, aspect kept")
        << draw.placeable(-32768, -32768, 32767, 0, 1) << QSize(4096, 2048);
    QTest::newRow("placeable, zero units per inch: drawing extent")
        << draw.placeable(0, 0, 100, 100, 0) << QSize(128, 48);
    WmfWriter window = draw;
    window.windowOrg(0, 0).windowExt(300, 200);
    QTest::newRow("plain, window extent") << window.plain() << QSize(300, 200);
    WmfWriter big = draw;
    big.windowExt(-4000, 2000);
    QTest::newRow("plain, large window capped") << big.plain() << QSize(1024, 512);
    WmfWriter metric;
    metric.mapMode(2).rectangle(0, 0, 254, -508); // a 1 x 2 inch rectangle, y up
    QTest::newRow("plain, low metric") << metric.plain() << QSize(96, 192);
    QTest::newRow("plain, drawing extent only, small ones enlarged")
        << draw.plain() << QSize(128, 48);
}

void TestWmf::rasterSize()
{
    QFETCH(QByteArray, file);
    QFETCH(QSize, size);
    auto info = readWmfInfo(bytesOf(file));
    QVERIFY2(info.ok(), info ? "" : info.error().message.c_str());
    QCOMPARE(QSize(info->width, info->height), size);
    QCOMPARE(decoded(file).size(), size);
}

void TestWmf::rectangleFill()
{
    WmfWriter w;
    w.nullPen().solid(kRed).rectangle(20, 20, 60, 60);
    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    QCOMPARE(image.size(), QSize(100, 100));
    QCOMPARE(at(image, 40, 40), qRgb(255, 0, 0));
    QCOMPARE(at(image, 21, 21), qRgb(255, 0, 0));
    QCOMPARE(at(image, 10, 10), kWhite);
    QCOMPARE(at(image, 70, 40), kWhite);
    QCOMPARE(at(image, 40, 70), kWhite);
}

void TestWmf::windowMapping_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QPoint>("inside");
    QTest::addColumn<QPoint>("outside");

    // The same 40 x 40 square drawn through different mappings onto a 100 x 100 raster.
    WmfWriter moved;
    moved.windowOrg(-50, -50).windowExt(100, 100).nullPen().solid(kRed).rectangle(-50, -50, -10,
                                                                                  -10);
    QTest::newRow("window origin moved")
        << moved.placeable(0, 0, 100, 100, 96) << QPoint(20, 20) << QPoint(60, 60);
    WmfWriter scaled;
    scaled.windowExt(1000, 1000).nullPen().solid(kRed).rectangle(500, 500, 900, 900);
    QTest::newRow("window extent scales")
        << scaled.placeable(0, 0, 100, 100, 96) << QPoint(70, 70) << QPoint(30, 30);
    WmfWriter flipped;
    flipped.windowOrg(0, 100).windowExt(100, -100).nullPen().solid(kRed).rectangle(0, 0, 40, 40);
    QTest::newRow("negative extent flips y")
        << flipped.placeable(0, 0, 100, 100, 96) << QPoint(20, 80) << QPoint(20, 20);
    WmfWriter offset;
    offset.windowExt(100, 100)
        .rec(0x020F, {10, 50})
        .nullPen()
        .solid(kRed)
        .rectangle(50, 10, 90, 50);
    QTest::newRow("offset window origin")
        << offset.placeable(0, 0, 100, 100, 96) << QPoint(20, 20) << QPoint(70, 20);
    WmfWriter scaleExt;
    scaleExt.windowExt(100, 100)
        .rec(0x0410, {1, 2, 1, 2})
        .nullPen()
        .solid(kRed)
        .rectangle(100, 100, 180, 180);
    QTest::newRow("scale window extent")
        << scaleExt.placeable(0, 0, 100, 100, 96) << QPoint(70, 70) << QPoint(30, 30);
    WmfWriter iso;
    iso.mapMode(7).windowExt(100, 50).nullPen().solid(kRed).rectangle(0, 40, 100, 50);
    QTest::newRow("isotropic keeps squares")
        << iso.placeable(0, 0, 100, 100, 96) << QPoint(50, 45) << QPoint(50, 95);
    WmfWriter text;
    text.windowOrg(100, 100).windowExt(100, 100).mapMode(1).nullPen().solid(kRed).rectangle(
        100, 100, 140, 140);
    QTest::newRow("plain, text mode with origin")
        << text.plain() << QPoint(20, 20) << QPoint(60, 60);
}

void TestWmf::windowMapping()
{
    QFETCH(QByteArray, file);
    QFETCH(QPoint, inside);
    QFETCH(QPoint, outside);
    const QImage image = decoded(file);
    QVERIFY(!image.isNull());
    QCOMPARE(at(image, inside.x(), inside.y()), qRgb(255, 0, 0));
    QCOMPARE(at(image, outside.x(), outside.y()), kWhite);
}

void TestWmf::objectsTakeLowestFreeSlot()
{
    WmfWriter w;
    w.pen(5, 0, 0)
        .brush(0, kRed)
        .brush(0, kBlue) // slots 0, 1, 2
        .select(0)
        .remove(1)
        .brush(0, kGreen) // takes slot 1 again
        .select(1)
        .rectangle(0, 0, 50, 100)
        .select(2)
        .rectangle(50, 0, 100, 100)
        .remove(2)
        .remove(1) // a selected brush that is deleted stays usable
        .rectangle(0, 80, 10, 100);
    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(image, 25, 50), qRgb(0, 255, 0));
    QCOMPARE(at(image, 75, 50), qRgb(0, 0, 255));
    QCOMPARE(at(image, 5, 90), qRgb(0, 0, 255));
}

void TestWmf::saveAndRestore()
{
    WmfWriter w;
    w.nullPen()
        .solid(kRed) // red, saved as level 1
        .rec(0x001E, {})
        .solid(kGreen) // green, level 2
        .rec(0x001E, {})
        .solid(kBlue) // blue
        .rec(0x0127, {-1})
        .rectangle(0, 0, 30, 100) // back to green
        .rec(0x0127, {1})
        .rectangle(30, 0, 60, 100) // back to level 1: red
        .rec(0x0127, {-1})
        .solid(kBlue)
        .rectangle(60, 0, 100, 100); // nothing left to restore
    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(image, 15, 50), qRgb(0, 255, 0));
    QCOMPARE(at(image, 45, 50), qRgb(255, 0, 0));
    QCOMPARE(at(image, 80, 50), qRgb(0, 0, 255));
}

void TestWmf::clipping()
{
    WmfWriter w;
    w.nullPen()
        .solid(kRed)
        .rec(0x001E, {})
        .rec(0x0416, {80, 80, 20, 20}) // intersect: 20..80
        .rec(0x0415, {60, 60, 40, 40}) // exclude: 40..60
        .rectangle(0, 0, 100, 50)
        .rec(0x0127, {-1}) // clipping restored with the state
        .solid(kBlue)
        .rectangle(0, 50, 100, 100);
    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(image, 30, 30), qRgb(255, 0, 0));
    QCOMPARE(at(image, 10, 30), kWhite);
    QCOMPARE(at(image, 50, 45), kWhite);
    QCOMPARE(at(image, 5, 95), qRgb(0, 0, 255));
    QCOMPARE(at(image, 50, 55), qRgb(0, 0, 255));
}

void TestWmf::fillModesAndShapes()
{
    // Two squares, one inside the other, drawn the same way round: alternate leaves a hole.
    auto nested = [](int mode) {
        WmfWriter w;
        w.nullPen().solid(kRed).rec(0x0106, {mode});
        w.rec(0x0538, {2, 4, 4, 0, 0, 100, 0, 100, 100, 0, 100, 30, 30, 70, 30, 70, 70, 30, 70});
        return decoded(w.placeable(0, 0, 100, 100, 96));
    };
    QCOMPARE(at(nested(1), 50, 50), kWhite);
    QCOMPARE(at(nested(1), 10, 10), qRgb(255, 0, 0));
    QCOMPARE(at(nested(2), 50, 50), qRgb(255, 0, 0));

    // Pie from the 3 o'clock radial counter-clockwise to 12 o'clock: the upper right quarter.
    WmfWriter pie;
    pie.nullPen().solid(kBlue).rec(0x081A, {0, 50, 50, 100, 100, 100, 0, 0});
    const QImage p = decoded(pie.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(p, 70, 30), qRgb(0, 0, 255));
    QCOMPARE(at(p, 30, 30), kWhite);
    QCOMPARE(at(p, 70, 70), kWhite);

    // Ellipse: centre filled, corner not; a wide pen outlines it.
    WmfWriter ellipse;
    ellipse.pen(0, 6, kGreen).select(0).solid(kRed).rec(0x0418, {90, 90, 10, 10});
    const QImage e = decoded(ellipse.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(e, 50, 50), qRgb(255, 0, 0));
    QCOMPARE(at(e, 12, 12), kWhite);
    QCOMPARE(at(e, 50, 11), qRgb(0, 255, 0));

    // Lines: LINETO draws from the current position.
    WmfWriter line;
    line.pen(0, 4, kBlue).select(0).rec(0x0214, {50, 0}).rec(0x0213, {50, 100});
    const QImage l = decoded(line.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(l, 50, 50), qRgb(0, 0, 255));
    QCOMPARE(at(l, 50, 40), kWhite);
}

void TestWmf::rasterOps()
{
    // XOR twice gives the background back; NOT turns white black.
    WmfWriter w;
    w.nullPen()
        .solid(kRed)
        .rec(0x0104, {7})
        .rectangle(0, 0, 50, 100)
        .rectangle(0, 0, 50, 100)
        .rectangle(0, 0, 20, 20)
        .rec(0x0104, {6})
        .rectangle(50, 0, 100, 100);
    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(image, 30, 50), kWhite);
    QCOMPARE(at(image, 10, 10), qRgb(0, 255, 255)); // white XOR red
    QCOMPARE(at(image, 75, 50), qRgb(0, 0, 0));
}

void TestWmf::hatchedBrush()
{
    // Cross hatch on an opaque yellow background: blue lines and yellow gaps, no white.
    WmfWriter w;
    w.rec(0x0201, {0xFFFF, 0x0000}).rec(0x0102, {2});
    w.nullPen().brush(2, kBlue, 4).select(1).rectangle(0, 0, 100, 100);
    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    int blue = 0, yellow = 0, other = 0;
    for (int y = 20; y < 80; ++y)
        for (int x = 20; x < 80; ++x) {
            const QRgb c = at(image, x, y);
            c == qRgb(0, 0, 255) ? ++blue : c == qRgb(255, 255, 0) ? ++yellow : ++other;
        }
    QVERIFY2(blue > 300 && yellow > 1500 && other == 0,
             qPrintable(QStringLiteral("%1 %2 %3").arg(blue).arg(yellow).arg(other)));
}

void TestWmf::stretchDib()
{
    const QByteArray dib =
        dib24({{qRgb(255, 0, 0), qRgb(0, 255, 0)}, {qRgb(0, 0, 255), qRgb(255, 255, 0)}});
    QByteArray params;
    for (int v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 100, 100, 0, 0}) // SRCCOPY, 2x2 onto 100x100
        WmfWriter::putU16(params, uint16_t(v));
    WmfWriter w;
    w.raw(0x0F43, params + dib);
    // The same picture through DIBSTRETCHBLT, mirrored by a negative width.
    QByteArray mirrored;
    for (int v : {0x0020, 0x00CC, 2, 2, 0, 0, 50, -100, 0, 100})
        WmfWriter::putU16(mirrored, uint16_t(v));
    WmfWriter m;
    m.raw(0x0B41, mirrored + dib);

    const QImage image = decoded(w.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(image, 25, 25), qRgb(255, 0, 0));
    QCOMPARE(at(image, 75, 25), qRgb(0, 255, 0));
    QCOMPARE(at(image, 25, 75), qRgb(0, 0, 255));
    QCOMPARE(at(image, 75, 75), qRgb(255, 255, 0));
    const QImage flipped = decoded(m.placeable(0, 0, 100, 100, 96));
    QCOMPARE(at(flipped, 25, 10), qRgb(0, 255, 0));
    QCOMPARE(at(flipped, 75, 10), qRgb(255, 0, 0));
    QCOMPARE(at(flipped, 50, 75), kWhite);
}

void TestWmf::textDrawsSomething()
{
    auto inked = [](const QImage &image, QRect area) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                n += at(image, x, y) != kWhite;
        return n;
    };
    auto font = [](WmfWriter &w, int height, int escapement) {
        QByteArray f;
        for (int v : {height, 0, escapement, escapement, 400, 0, 0, 0, 0})
            WmfWriter::putU16(f, uint16_t(v));
        w.raw(0x02FB, f + QByteArray("Sans\0\0", 6)).select(0);
    };
    // TEXTOUT at (10, 50), baseline aligned, transparent background.
    WmfWriter w;
    font(w, -30, 0);
    w.rec(0x012E, {24}).rec(0x0102, {1});
    QByteArray params;
    WmfWriter::putU16(params, 4);
    params += "HHHH";
    for (int v : {50, 10})
        WmfWriter::putU16(params, uint16_t(v));
    w.raw(0x0521, params);
    const QImage text = decoded(w.placeable(0, 0, 200, 100, 96));
    QVERIFY(inked(text, QRect(10, 25, 120, 25)) > 100);
    QCOMPARE(inked(text, QRect(0, 55, 200, 45)), 0);

    // Rotated by 90 degrees: the run goes up from the reference point.
    WmfWriter r;
    font(r, -30, 900);
    r.rec(0x012E, {24})
        .rec(0x0102, {1})
        .raw(0x0521, params.left(6) + QByteArray("\x5A\0\x28\0", 4));
    const QImage rotated = decoded(r.placeable(0, 0, 200, 100, 96));
    QVERIFY(inked(rotated, QRect(10, 0, 31, 90)) > 100);
    QCOMPARE(inked(rotated, QRect(50, 0, 150, 100)), 0);

    // EXTTEXTOUT with an opaque rectangle fills it with the background colour.
    WmfWriter e;
    font(e, -20, 0);
    e.rec(0x0201, {0x00FF, 0x0000});
    QByteArray ext;
    for (int v : {40, 10, 2, 0x0002, 100, 20, 190, 90})
        WmfWriter::putU16(ext, uint16_t(v));
    ext += "ab";
    for (int v : {30, 30})
        WmfWriter::putU16(ext, uint16_t(v));
    e.raw(0x0A32, ext);
    const QImage opaque = decoded(e.placeable(0, 0, 200, 100, 96));
    QCOMPARE(at(opaque, 150, 60), qRgb(255, 0, 0));
    QCOMPARE(at(opaque, 50, 80), kWhite);
    QVERIFY(inked(opaque, QRect(10, 10, 80, 40)) > 20);
}

// Without a window extent the picture is as large as what it draws, its text included.
void TestWmf::textWithinBounds_data()
{
    QTest::addColumn<QByteArray>("file");
    constexpr int kTop = 0, kBaseline = 24, kRight = 2;
    // Two points mark a drawing of 300 x 100 that its text goes beyond.
    auto drawing = [](int mode, int align, int height, int escapement, QPoint at,
                      const QByteArray &text) {
        WmfWriter w;
        w.mapMode(mode).moveTo(0, 0).moveTo(300, mode == 1 ? 100 : -100);
        w.font(height, escapement).rec(0x012E, {align}).textOut(at.x(), at.y(), text);
        return w.plain();
    };
    QTest::newRow("last line below the last point")
        << drawing(1, kTop, -40, 0, {0, 110}, "Last line");
    QTest::newRow("run right of the last point")
        << drawing(1, kBaseline, -40, 0, {250, 60}, "MMMMMM");
    QTest::newRow("right aligned, left of the first point")
        << drawing(1, kBaseline | kRight, -40, 0, {40, 60}, "Leftwards");
    QTest::newRow("turned upwards past the top")
        << drawing(1, kBaseline, -40, 900, {100, 90}, "Upwards");
    QTest::newRow("cell height, metric mode with y up")
        << drawing(2, kTop, 100, 0, {0, -100}, "Below");
}

void TestWmf::textWithinBounds()
{
    QFETCH(QByteArray, file);
    const QImage image = decoded(file);
    QVERIFY(!image.isNull());
    int ink = 0, edge = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const bool dark = qGray(image.pixel(x, y)) < 128;
            ink += dark;
            edge += dark && (x == 0 || y == 0 || x == image.width() - 1 || y == image.height() - 1);
        }
    QVERIFY2(ink > 200, qPrintable(QString::number(ink)));
    QCOMPARE(edge, 0); // no character cut off at the edge
}

void TestWmf::hostile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error"); // empty: an image is delivered

    WmfWriter box;
    box.nullPen().solid(kRed).rectangle(0, 0, 50, 50);
    const QByteArray good = box.placeable(0, 0, 100, 100, 96);

    QByteArray zero = good;
    zero.replace(40, 4, QByteArray(4, '\0'));
    QTest::newRow("first record size 0")
        << zero << QStringLiteral("WMF: record 1 at offset 40 has size 0 words");
    QByteArray huge = good;
    huge.replace(40, 4, QByteArray("\xff\xff\xff\x7f", 4));
    QTest::newRow("first record past the end")
        << huge << QStringLiteral("WMF: record 1 at offset 40 has size 2147483647 words");
    QByteArray later = good;
    later.replace(40 + 16 + 8, 4, QByteArray("\x00\x00\x01\x00", 4)); // third record: 65536 words
    QTest::newRow("later record past the end: the rest is dropped") << later << QString();
    QTest::newRow("cut in a record, no end record") << good.left(good.size() - 9) << QString();

    WmfWriter saves;
    for (int i = 0; i < 1000000; ++i)
        saves.rec(0x001E, {});
    saves.nullPen().solid(kRed).rectangle(0, 0, 100, 100);
    QTest::newRow("a million SAVEDC") << saves.placeable(0, 0, 100, 100, 96) << QString();

    WmfWriter objects;
    for (int i = 0; i < 200000; ++i)
        objects.brush(0, kRed);
    objects.select(65534).rectangle(0, 0, 100, 100);
    QTest::newRow("objects past the table") << objects.placeable(0, 0, 100, 100, 96) << QString();

    WmfWriter extents;
    extents.windowExt(1, 1)
        .pen(1, 32767, kBlue)
        .select(0)
        .rec(0x0214, {-32768, -32768})
        .rec(0x0213, {32767, 32767})
        .rec(0x0418, {32767, 32767, -32768, -32768})
        .windowExt(0, 0)
        .rec(0x0410, {0, 0, 0, 0})
        .rectangle(0, 0, 1, 1);
    QTest::newRow("huge extents and pens")
        << extents.placeable(-32768, -32768, 32767, 32767, 1) << QString();

    WmfWriter points;
    points.rec(0x0324, {30000, 0, 0, 10, 10})
        .rec(0x0538, {3, 60000, 60000, 60000, 1, 1})
        .rec(0x0325, {-5, 1, 1});
    QTest::newRow("point counts past the record")
        << points.placeable(0, 0, 100, 100, 96) << QString();

    WmfWriter crossing; // thousands of edges crossing every row: slow to antialias
    QByteArray zigzag;
    WmfWriter::putU16(zigzag, 3000);
    for (int i = 0; i < 3000; ++i)
        WmfWriter::putU16(zigzag, uint16_t(i * 37 % 6000 - 3000)),
            WmfWriter::putU16(zigzag, uint16_t(i % 2 ? -3000 : 3000));
    crossing.nullPen().solid(kRed).raw(0x0324, zigzag);
    QTest::newRow("crossing edges")
        << crossing.placeable(-1000, -1000, 1000, 1000, 960) << QString();
    WmfWriter star; // a hundred and fifty edges across the whole coordinate range, outlined
    QByteArray spikes;
    WmfWriter::putU16(spikes, 150);
    for (int i = 0; i < 150; ++i)
        WmfWriter::putU16(spikes, uint16_t((i * 7919) % 65000 - 32500)),
            WmfWriter::putU16(spikes, uint16_t((i * 104729) % 65000 - 32500));
    star.pen(0x2200, 57, kBlue).select(0).solid(kRed).raw(0x0324, spikes);
    QTest::newRow("outlined star of long edges")
        << star.placeable(0, 0, 19311, 12649, 1200) << QString();

    // Drawings whose single records are slow: every one must stop within the drawing budget.
    auto repeated = [](int copies, auto build) {
        WmfWriter w;
        for (int i = 0; i < copies; ++i)
            build(w);
        return w.placeable(0, 0, 4000, 4000, 96); // a 4000 x 4000 raster
    };
    QByteArray shapes; // 4,000 thin full-height triangles in one record
    WmfWriter::putU16(shapes, 4000);
    for (int i = 0; i < 4000; ++i)
        WmfWriter::putU16(shapes, 3);
    for (int i = 0; i < 4000; ++i)
        for (int v : {i, 0, i + 1, 4000, i + 2, 0})
            WmfWriter::putU16(shapes, uint16_t(v));
    QTest::newRow("polypolygons of 4000 full-height shapes")
        << repeated(64, [&](WmfWriter &w) { w.solid(kRed).raw(0x0538, shapes); }) << QString();
    QByteArray dotted; // 16,000 points up and down the whole height
    WmfWriter::putU16(dotted, 16000);
    for (int i = 0; i < 16000; ++i)
        WmfWriter::putU16(dotted, uint16_t(i / 4)),
            WmfWriter::putU16(dotted, uint16_t(i % 2 ? 4000 : 0));
    QTest::newRow("long dotted polylines")
        << repeated(64, [&](WmfWriter &w) { w.pen(2, 0, kBlue).select(0).raw(0x0325, dotted); })
        << QString();
    QByteArray blit; // a 16 x 16 picture stretched over the whole raster
    for (int v : {0x0020, 0x00CC, 0, 16, 16, 0, 0, 4000, 4000, 0, 0})
        WmfWriter::putU16(blit, uint16_t(v));
    blit += dib24(std::vector<std::vector<QRgb>>(16, std::vector<QRgb>(16, qRgb(0, 128, 0))));
    QTest::newRow("200 StretchDIB records")
        << repeated(200, [&](WmfWriter &w) { w.raw(0x0F43, blit); }) << QString();

    WmfWriter empty;
    empty.rec(0x0201, {0, 0});
    QTest::newRow("plain, nothing drawn")
        << empty.plain() << QStringLiteral("WMF: the metafile sets no window extent");
    QByteArray dib;
    for (int v : {40, 0, 30000, 0, 30000, 0, 1, 8, 1, 0})
        WmfWriter::putU16(dib, uint16_t(v)); // RLE8 claiming 30000 x 30000, no data
    WmfWriter bad;
    QByteArray stretch;
    for (int v : {0x0020, 0x00CC, 0, 10, 10, 0, 0, 100, 100, 0, 0})
        WmfWriter::putU16(stretch, uint16_t(v));
    bad.raw(0x0F43, stretch + dib).raw(0x0F43, stretch.left(10)).raw(0x0142, QByteArray(6, '\0'));
    QTest::newRow("broken pictures") << bad.placeable(0, 0, 100, 100, 96) << QString();
}

void TestWmf::hostile()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    // Each ends, at the latest by the player's drawing budget: a hang runs into the test's
    // own timeout. How long it takes is the benchmark's to say, not a limit here.
    auto result = decode(file);
    if (error.isEmpty()) {
        QVERIFY2(result.ok(), result ? "" : result.error().message.c_str());
    } else {
        QVERIFY(!result.ok());
        QVERIFY2(QString::fromStdString(result.error().message).startsWith(error),
                 result.error().message.c_str());
    }
}

void TestWmf::cancelStops()
{
    WmfWriter w;
    for (int i = 0; i < 1000; ++i)
        w.rectangle(0, 0, 10, 10);
    CancelAfter observer;
    const QByteArray file = w.placeable(0, 0, 100, 100, 96);
    auto result = decodeWmf(bytesOf(file), observer);
    QVERIFY(!result.ok());
    QCOMPARE(result.error().message, std::string("WMF: cancelled"));
}

void TestWmf::bandsMatchOnePass()
{
    // Shapes, clipping, raster ops, text and a pattern crossing every band boundary: painting
    // in bands must give exactly the picture of one pass.
    WmfWriter w;
    w.pen(0, 3, kBlue).select(0).brush(2, kGreen, 5).select(1);
    for (int i = 0; i < 40; ++i)
        w.rec(0x0418, {20 + i * 9, 300 - i * 3, i * 7, i * 5});
    w.rec(0x0416, {280, 250, 30, 40}).rec(0x0104, {7}).solid(kRed).rectangle(0, 0, 300, 300);
    w.rec(0x0104, {13}).rec(0x0538, {1, 5, 10, 10, 290, 150, 10, 290, 150, 10, 10, 10});
    QByteArray f;
    for (int v : {-40, 0, 300, 300, 700, 0, 0, 0, 0})
        WmfWriter::putU16(f, uint16_t(v));
    w.raw(0x02FB, f + QByteArray("Serif\0", 6)).select(4).rec(0x0102, {1});
    QByteArray params;
    WmfWriter::putU16(params, 6);
    params += "Banded";
    for (int v : {150, 60})
        WmfWriter::putU16(params, uint16_t(v));
    w.raw(0x0521, params);
    const QByteArray file = w.placeable(0, 0, 300, 300, 96);
    auto header = wmf::parseHeader(bytesOf(file));
    QVERIFY(header.ok());
    auto layout = wmf::computeLayout(bytesOf(file), header.value());
    QVERIFY(layout.ok());
    QImage images[3];
    const int bands[3] = {1, 3, 7};
    for (int i = 0; i < 3; ++i) {
        images[i] = QImage(layout->width, layout->height, QImage::Format_RGB32);
        images[i].fill(Qt::white);
        DecodeObserver observer;
        QVERIFY(
            wmf::play(bytesOf(file), header.value(), layout.value(), images[i], observer, bands[i])
                .ok());
    }
    QCOMPARE(images[1], images[0]);
    QCOMPARE(images[2], images[0]);
}

void TestWmf::corpus()
{
    const auto entries = test::readManifest({QStringLiteral("wmf")});
    if (!entries)
        QSKIP("shared corpus not available");
    // References are renderings by other programs: compare the aspect and a coarse picture.
    // p0000001: its reference frames the drawn area; we show the whole window the file sets.
    const QStringList aspectExceptions = {QStringLiteral("wmf/libwmf/p0000001.wmf")};
    // drawing.wmf: its reference was fitted to the drawn extent by the program that made it;
    // the circle runs past the file's own bounding box, which we keep, so it is cut there.
    const QStringList likenessExceptions = {QStringLiteral("wmf/pillow/drawing.wmf")};
    int valid = 0, other = 0;
    for (const test::ManifestEntry &entry : *entries) {
        const QString &path = entry.path;
        QFile f(test::corpusFile(path));
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray data = f.readAll();
        auto result = decode(data);
        if (entry.expectation != QLatin1String("valid")) {
            ++other;
            continue;
        }
        ++valid;
        QVERIFY2(sniffWmf(bytesOf(data)), qPrintable(path));
        QVERIFY2(result.ok(),
                 qPrintable(path + QLatin1Char(' ') +
                            QString::fromStdString(result ? "" : result.error().message)));
        const QImage image = result.value();
        int inked = 0;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                inked += at(image, x, y) != kWhite;
        QVERIFY2(inked * 4 > image.width() * image.height() / 200,
                 qPrintable(path + QStringLiteral(" is blank")));
        if (entry.reference.isEmpty())
            continue;
        const QImage ref(test::corpusFile(entry.reference));
        QVERIFY2(!ref.isNull(), qPrintable(entry.reference));
        const double aspect = double(image.width()) / image.height();
        const double refAspect = double(ref.width()) / ref.height();
        if (!aspectExceptions.contains(path))
            QVERIFY2(std::abs(aspect / refAspect - 1) < 0.06,
                     qPrintable(QStringLiteral("%1: aspect %2, reference %3")
                                    .arg(path)
                                    .arg(aspect)
                                    .arg(refAspect)));
        // Coarse likeness: 16 x 16 grey thumbnails on white, mean difference.
        auto thumb = [](const QImage &in) {
            QImage flat(in.size(), QImage::Format_RGB32);
            flat.fill(Qt::white);
            QPainter(&flat).drawImage(0, 0, in);
            return flat.scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_Grayscale8);
        };
        const QImage a = thumb(image), b = thumb(ref);
        double diff = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                diff += std::abs(int(a.pixel(x, y) & 0xFF) - int(b.pixel(x, y) & 0xFF));
        diff /= 256;
        QVERIFY2(diff < 40 || likenessExceptions.contains(path),
                 qPrintable(QStringLiteral("%1: mean grey difference %2").arg(path).arg(diff)));
    }
    QVERIFY(valid >= 20);
    QVERIFY(other >= 5);
}

QTEST_MAIN(TestWmf)
#include "tst_wmf.moc"
