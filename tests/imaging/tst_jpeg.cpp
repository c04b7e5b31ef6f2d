// JPEG decoder: crafted files made here with libjpeg's compressor (every colour layout,
// coding mode and orientation, exact sizes), damaged and hostile headers, and a pass over
// the shared corpus compared with its reference decodes.

#include "imaging/ImageBuffer.h"
#include "imaging/decoders/Jpeg.h"

#include "common/Corpus.h"
#include "common/DecoderTest.h"

#include <QFile>
#include <QtTest>

#include <cstdio>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>

using namespace oxlume::imaging;
namespace test = oxlume::test;
using test::bytesOf;

namespace {

enum class Colour { Grey, Rgb, CmykAdobe, CmykPlain, Ycck };

struct Enc {
    Colour colour = Colour::Rgb;
    bool progressive = false;
    bool arithmetic = false;
    int restartRows = 0;
    bool subsample = false; // 4:2:0 instead of 4:4:4
    int quality = 100;
    bool componentScans = false; // one sequential scan per component instead of one interleaved
    QByteArray app1;             // written as an APP1 segment when not empty
};

// For CMYK layouts the image's R, G, B, A channels carry the C, M, Y, K inks (0 = no ink).
QByteArray encode(const QImage &img, const Enc &e)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&c, &out, &outSize);
    c.image_width = JDIMENSION(img.width());
    c.image_height = JDIMENSION(img.height());
    const bool cmyk =
        e.colour == Colour::CmykAdobe || e.colour == Colour::CmykPlain || e.colour == Colour::Ycck;
    c.input_components = e.colour == Colour::Grey ? 1 : cmyk ? 4 : 3;
    c.in_color_space = e.colour == Colour::Grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    if (e.colour == Colour::Ycck)
        jpeg_set_colorspace(&c, JCS_YCCK);
    if (e.colour == Colour::CmykPlain)
        c.write_Adobe_marker = FALSE;
    jpeg_set_quality(&c, e.quality, TRUE);
    if (!e.subsample)
        for (int i = 0; i < c.num_components; ++i)
            c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    if (e.progressive)
        jpeg_simple_progression(&c);
    static jpeg_scan_info scans[4];
    if (e.componentScans) {
        for (int i = 0; i < c.num_components; ++i)
            scans[i] = {1, {i, 0, 0, 0}, 0, 63, 0, 0};
        c.scan_info = scans;
        c.num_scans = c.num_components;
    }
    c.arith_code = e.arithmetic;
    c.restart_in_rows = e.restartRows;
    jpeg_start_compress(&c, TRUE);
    if (!e.app1.isEmpty())
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(e.app1.constData()),
                          unsigned(e.app1.size()));
    std::vector<unsigned char> row(size_t(img.width()) * 4);
    while (c.next_scanline < c.image_height) {
        const int y = int(c.next_scanline);
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            unsigned char *o = &row[size_t(x) * size_t(c.input_components)];
            if (e.colour == Colour::Grey) {
                o[0] = uchar(qGray(p));
            } else if (cmyk) {
                // Adobe writers store inks inverted; so does YCCK from them.
                const bool inv = e.colour != Colour::CmykPlain;
                const int v[4] = {qRed(p), qGreen(p), qBlue(p), qAlpha(p)};
                for (int i = 0; i < 4; ++i)
                    o[i] = uchar(inv ? 255 - v[i] : v[i]);
            } else {
                o[0] = uchar(qRed(p)), o[1] = uchar(qGreen(p)), o[2] = uchar(qBlue(p));
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(outSize));
    free(out);
    return bytes;
}

// libjpeg's own decode of data, every row, no shortcuts: the oracle for damaged files.
QImage libjpegDecode(const QByteArray &data)
{
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    err.emit_message = [](j_common_ptr, int) {};
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, reinterpret_cast<const unsigned char *>(data.constData()),
                 (unsigned long)data.size());
    jpeg_read_header(&c, TRUE);
    c.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&c);
    QImage img(int(c.output_width), int(c.output_height), QImage::Format_RGB32);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = img.scanLine(int(c.output_scanline));
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_destroy_decompress(&c);
    return img;
}

// A 2 x 2 grid of flat colours; the cells are multiples of 16 so 4:2:0 chroma stays clean.
const QRgb kCells[4] = {qRgb(220, 30, 30), qRgb(30, 200, 40), qRgb(40, 40, 210),
                        qRgb(240, 240, 240)};

QImage quadrants(int w, int h, const QRgb cells[4] = kCells)
{
    QImage img(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, cells[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)]);
    return img;
}

bool near(QRgb a, QRgb b, int tol)
{
    return qAbs(qRed(a) - qRed(b)) <= tol && qAbs(qGreen(a) - qGreen(b)) <= tol &&
           qAbs(qBlue(a) - qBlue(b)) <= tol;
}

QString rgbText(QRgb p)
{
    return QStringLiteral("(%1,%2,%3)").arg(qRed(p)).arg(qGreen(p)).arg(qBlue(p));
}

// Checks the centre of each quadrant cell of a w x h image.
void checkQuadrants(const QImage &img, const QRgb expect[4], int tol)
{
    const int w = img.width(), h = img.height();
    const QPoint centres[4] = {
        {w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}};
    for (int i = 0; i < 4; ++i) {
        const QRgb got = img.pixel(centres[i]);
        QVERIFY2(near(got, expect[i], tol), qPrintable(QStringLiteral("cell %1: got %2, want %3")
                                                           .arg(i)
                                                           .arg(rgbText(got), rgbText(expect[i]))));
    }
}

class Recorder : public DecodeObserver {
public:
    void progress(int64_t done, int64_t total) override
    {
        values.push_back(done);
        lastTotal = total;
        if (throwAt >= 0 && int(values.size()) > throwAt)
            throw std::runtime_error("observer failure");
    }
    bool cancelled() const override { return cancelAfter >= 0 && int(values.size()) > cancelAfter; }
    std::vector<int64_t> values;
    int64_t lastTotal = 0;
    int cancelAfter = -1;
    int throwAt = -1;
};

// An APP1 Exif payload whose IFD0 holds one orientation entry.
QByteArray exifPayload(int value, bool bigEndian, quint16 type = 3)
{
    QByteArray b("Exif", 4);
    b.append('\0').append('\0');
    auto put16 = [&](quint16 v) {
        if (bigEndian)
            b.append(char(v >> 8)).append(char(v & 0xFF));
        else
            b.append(char(v & 0xFF)).append(char(v >> 8));
    };
    auto put32 = [&](quint32 v) {
        if (bigEndian)
            put16(quint16(v >> 16)), put16(quint16(v));
        else
            put16(quint16(v)), put16(quint16(v >> 16));
    };
    b.append(bigEndian ? "MM" : "II");
    put16(42);
    put32(8);
    put16(2); // two entries: an unrelated one first
    put16(0x010F), put16(2), put32(4), put32(0);
    put16(0x0112), put16(type), put32(1);
    if (type == 4)
        put32(quint32(value));
    else
        put16(quint16(value)), put16(0);
    put32(0);
    return b;
}

// Offset of the SOF0/SOF2 marker's payload (after FF Cx and length) in a JPEG.
qsizetype sofOffset(const QByteArray &jpeg)
{
    for (qsizetype i = 2; i + 1 < jpeg.size(); ++i)
        if (uchar(jpeg[i]) == 0xFF && (uchar(jpeg[i + 1]) == 0xC0 || uchar(jpeg[i + 1]) == 0xC2 ||
                                       uchar(jpeg[i + 1]) == 0xC1))
            return i + 4;
    return -1;
}

void patchSize(QByteArray &jpeg, int w, int h)
{
    const qsizetype p = sofOffset(jpeg);
    jpeg[p + 1] = char(h >> 8), jpeg[p + 2] = char(h & 0xFF);
    jpeg[p + 3] = char(w >> 8), jpeg[p + 4] = char(w & 0xFF);
}

// Where the EXIF orientation puts stored pixel (x, y), as the tag's definition words it:
// which visual side stored row 0 and stored column 0 lie on.
QPoint displayPos(int o, int x, int y, int dw, int dh)
{
    switch (o) {
    case 1: return {x, y};                   // row 0 top, column 0 left
    case 2: return {dw - 1 - x, y};          // row 0 top, column 0 right
    case 3: return {dw - 1 - x, dh - 1 - y}; // row 0 bottom, column 0 right
    case 4: return {x, dh - 1 - y};          // row 0 bottom, column 0 left
    case 5: return {y, x};                   // row 0 left, column 0 top
    case 6: return {dw - 1 - y, x};          // row 0 right, column 0 top
    case 7: return {dw - 1 - y, dh - 1 - x}; // row 0 right, column 0 bottom
    default: return {y, dh - 1 - x};         // 8: row 0 left, column 0 bottom
    }
}

// The stored image that shows as display under orientation o.
QImage storedFor(const QImage &display, int o)
{
    const bool swap = o >= 5;
    const int sw = swap ? display.height() : display.width();
    const int sh = swap ? display.width() : display.height();
    QImage stored(sw, sh, QImage::Format_ARGB32);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x)
            stored.setPixel(x, y,
                            display.pixel(displayPos(o, x, y, display.width(), display.height())));
    return stored;
}

} // namespace

class TestJpeg : public QObject {
    Q_OBJECT

private slots:
    void decodesLayouts_data();
    void decodesLayouts();
    void exifOrientation_data();
    void exifOrientation();
    void malformedExifIgnored_data();
    void malformedExifIgnored();
    void truncatedImageDataIsPartialSuccess_data();
    void truncatedImageDataIsPartialSuccess();
    void brokenHeadersFail_data();
    void brokenHeadersFail();
    void scaledPastThePixelLimit_data();
    void scaledPastThePixelLimit();
    void progressIncreasesAcrossScans();
    void cancelAndThrowingObserverStop_data();
    void cancelAndThrowingObserverStop();
    void endlessScansRefused_data();
    void endlessScansRefused();
    void corpus_data();
    void corpus();
};

void TestJpeg::decodesLayouts_data()
{
    QTest::addColumn<int>("colour");
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<bool>("arithmetic");
    QTest::addColumn<int>("restartRows");
    QTest::addColumn<bool>("subsample");
    QTest::addColumn<int>("bitDepth");
    QTest::addColumn<QSize>("size");
    QTest::newRow("grey") << int(Colour::Grey) << false << false << 0 << false << 8
                          << QSize(64, 48);
    QTest::newRow("rgb 4:4:4") << int(Colour::Rgb) << false << false << 0 << false << 24
                               << QSize(64, 48);
    QTest::newRow("rgb 4:2:0") << int(Colour::Rgb) << false << false << 0 << true << 24
                               << QSize(64, 48);
    QTest::newRow("progressive") << int(Colour::Rgb) << true << false << 0 << true << 24
                                 << QSize(64, 48);
    QTest::newRow("progressive grey")
        << int(Colour::Grey) << true << false << 0 << false << 8 << QSize(64, 48);
    QTest::newRow("arithmetic") << int(Colour::Rgb) << false << true << 0 << false << 24
                                << QSize(64, 48);
    QTest::newRow("arithmetic progressive")
        << int(Colour::Rgb) << true << true << 0 << true << 24 << QSize(64, 48);
    QTest::newRow("restart every row")
        << int(Colour::Rgb) << false << false << 1 << true << 24 << QSize(64, 48);
    QTest::newRow("cmyk adobe") << int(Colour::CmykAdobe) << false << false << 0 << false << 32
                                << QSize(64, 48);
    QTest::newRow("cmyk plain") << int(Colour::CmykPlain) << false << false << 0 << false << 32
                                << QSize(64, 48);
    QTest::newRow("ycck") << int(Colour::Ycck) << false << false << 0 << false << 32
                          << QSize(64, 48);
    // Partial MCUs at the edges.
    QTest::newRow("17x9 4:2:0") << int(Colour::Rgb) << false << false << 0 << true << 24
                                << QSize(17, 9);
    QTest::newRow("33x35 cmyk") << int(Colour::CmykAdobe) << false << false << 0 << false << 32
                                << QSize(33, 35);
    QTest::newRow("1x1") << int(Colour::Grey) << false << false << 0 << false << 8 << QSize(1, 1);
    QTest::newRow("cmyk progressive")
        << int(Colour::CmykAdobe) << true << false << 0 << false << 32 << QSize(64, 48);
}

void TestJpeg::decodesLayouts()
{
    QFETCH(int, colour);
    QFETCH(bool, progressive);
    QFETCH(bool, arithmetic);
    QFETCH(int, restartRows);
    QFETCH(bool, subsample);
    QFETCH(int, bitDepth);
    QFETCH(QSize, size);
    const auto col = Colour(colour);
    const bool cmyk = col == Colour::CmykAdobe || col == Colour::CmykPlain || col == Colour::Ycck;
    // CMYK cells as inks (R,G,B,A = C,M,Y,K): pure magenta+yellow = red, half black, cyan, none.
    const QRgb inks[4] = {qRgba(0, 255, 255, 0), qRgba(0, 0, 0, 128), qRgba(255, 0, 0, 0),
                          qRgba(0, 0, 0, 0)};
    const QRgb inkRgb[4] = {qRgb(255, 0, 0), qRgb(127, 127, 127), qRgb(0, 255, 255),
                            qRgb(255, 255, 255)};
    QRgb grey[4];
    for (int i = 0; i < 4; ++i)
        grey[i] = qRgb(qGray(kCells[i]), qGray(kCells[i]), qGray(kCells[i]));

    const QImage src = quadrants(size.width(), size.height(), cmyk ? inks : kCells);
    Enc e;
    e.colour = col;
    e.progressive = progressive;
    e.arithmetic = arithmetic;
    e.restartRows = restartRows;
    e.subsample = subsample;
    const QByteArray file = encode(src, e);

    auto info = readJpegInfo(bytesOf(file));
    QVERIFY2(info.ok(), info.ok() ? "" : info.error().message.c_str());
    QCOMPARE(info->format, std::string("JPEG"));
    QCOMPARE(QSize(info->width, info->height), size);
    QCOMPARE(info->bitDepth, bitDepth);

    DecodeObserver none;
    auto img = decodeJpeg(bytesOf(file), none);
    QVERIFY2(img.ok(), img.ok() ? "" : img.error().message.c_str());
    QCOMPARE(img->size(), size);
    QCOMPARE(img->format(), QImage::Format_RGB32);
    if (size.width() >= 16)
        checkQuadrants(img.value(), cmyk ? inkRgb : col == Colour::Grey ? grey : kCells, 6);
    // Format_RGB32 wants 0xFF in the unused byte; libjpeg leaves it undefined unless asked.
    for (int y = 0; y < size.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(img->constScanLine(y));
        for (int x = 0; x < size.width(); ++x)
            QCOMPARE(qAlpha(row[x]), 255);
    }
}

void TestJpeg::exifOrientation_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("bigEndian");
    QTest::addColumn<QSize>("display");
    for (int o = 1; o <= 8; ++o) {
        QTest::addRow("%d II", o) << o << false << QSize(48, 32);
        QTest::addRow("%d MM", o) << o << true << QSize(48, 32);
        // Several decode batches and sides that are not multiples of the batch.
        QTest::addRow("%d II tall odd", o) << o << false << QSize(34, 70);
        // Pooled, line-aligned buffers take the streaming path of the turned orientations.
        if (o >= 5)
            QTest::addRow("%d II large", o) << o << false << QSize(512, 640);
    }
}

void TestJpeg::exifOrientation()
{
    QFETCH(int, orientation);
    QFETCH(bool, bigEndian);
    QFETCH(QSize, display);
    const QImage shown = quadrants(display.width(), display.height());
    const QImage stored = storedFor(shown, orientation);
    Enc e;
    e.app1 = exifPayload(orientation, bigEndian);
    const QByteArray file = encode(stored, e);

    QCOMPARE(readJpegOrientation(bytesOf(file)), orientation);
    auto info = readJpegInfo(bytesOf(file));
    QVERIFY(info.ok());
    QCOMPARE(QSize(info->width, info->height), stored.size()); // the stored size, always

    DecodeObserver none;
    auto upright = decodeJpeg(bytesOf(file), none);
    QVERIFY(upright.ok());
    QCOMPARE(upright->size(), display);
    checkQuadrants(upright.value(), kCells, 6);
    // Every pixel, not just the cells: a wrong row or column shift shows at the edges.
    for (int y = 0; y < display.height(); ++y)
        for (int x = 0; x < display.width(); ++x)
            if (!near(upright->pixel(x, y), shown.pixel(x, y), 40))
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));

    auto raw = decodeJpegWith(bytesOf(file), none, JpegOptions{false});
    QVERIFY(raw.ok());
    QCOMPARE(raw->size(), stored.size());
    const QRgb c0 = stored.pixel(stored.width() / 4, stored.height() / 4);
    QVERIFY(near(raw->pixel(stored.width() / 4, stored.height() / 4), c0, 6));
}

void TestJpeg::malformedExifIgnored_data()
{
    QTest::addColumn<QByteArray>("app1");
    QTest::addColumn<int>("expect");
    QByteArray e6 = exifPayload(6, false);
    QTest::newRow("orientation 9") << exifPayload(9, false) << 1;
    QTest::newRow("orientation 0") << exifPayload(0, true) << 1;
    QTest::newRow("LONG type") << exifPayload(6, false, 4) << 6;
    QByteArray farIfd = e6;
    farIfd[10] = char(0xF0), farIfd[11] = char(0xFF), farIfd[12] = char(0xFF),
    farIfd[13] = char(0x7F);
    QTest::newRow("IFD past end") << farIfd << 1;
    QByteArray manyEntries = e6;
    manyEntries[14] = char(0xFF), manyEntries[15] = char(0xFF);
    QTest::newRow("entry count past end") << manyEntries << 6; // the tag comes before the end
    QTest::newRow("cut in IFD") << e6.left(20) << 1;
    QTest::newRow("bad byte order") << QByteArray("Exif\0\0XX*\0\x08\0\0\0", 14) << 1;
    QTest::newRow("not exif") << QByteArray("http://ns.adobe.com/xap/1.0/\0<x/>", 33) << 1;
}

void TestJpeg::malformedExifIgnored()
{
    QFETCH(QByteArray, app1);
    QFETCH(int, expect);
    Enc e;
    e.app1 = app1;
    const QByteArray file = encode(quadrants(32, 16), e);
    QCOMPARE(readJpegOrientation(bytesOf(file)), expect);
    DecodeObserver none;
    auto img = decodeJpeg(bytesOf(file), none);
    QVERIFY(img.ok());
    QCOMPARE(img->size(), expect >= 5 ? QSize(16, 32) : QSize(32, 16));
}

void TestJpeg::truncatedImageDataIsPartialSuccess_data()
{
    QTest::addColumn<bool>("subsample");
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("keepPercent"); // -1: halfway through the first scan
    QTest::addColumn<bool>("componentScans");
    QTest::addColumn<bool>("endMarker"); // the cut data ends with EOI instead of just stopping
    QTest::newRow("4:4:4") << false << false << 1 << 30 << false << false;
    QTest::newRow("4:2:0") << true << false << 1 << 30 << false << false;
    QTest::newRow("4:2:0 cut late") << true << false << 1 << 90 << false << false;
    QTest::newRow("4:2:0 turned 6") << true << false << 6 << 40 << false << false;
    QTest::newRow("4:2:0 turned 5") << true << false << 5 << 40 << false << false;
    QTest::newRow("4:2:0 then EOI") << true << false << 1 << 30 << false << true;
    QTest::newRow("progressive, cut in first scan") << true << true << 1 << -1 << false << false;
    QTest::newRow("progressive, cut in a later scan") << true << true << 1 << 60 << false << false;
    QTest::newRow("component scans, cut in first") << true << false << 1 << -1 << true << false;
    QTest::newRow("component scans, first ends early") << true << false << 1 << -1 << true << true;
    QTest::newRow("component scans, cut in last") << true << false << 1 << 95 << true << false;
}

// A file cut inside its entropy-coded data shows what arrived and libjpeg's grey for the
// rest; the grey may be filled without decoding it, but must give libjpeg's exact pixels.
void TestJpeg::truncatedImageDataIsPartialSuccess()
{
    QFETCH(bool, subsample);
    QFETCH(bool, progressive);
    QFETCH(int, orientation);
    QFETCH(int, keepPercent);
    QFETCH(bool, componentScans);
    QFETCH(bool, endMarker);
    QImage src(96, 320, QImage::Format_ARGB32);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x)
            src.setPixel(x, y, qRgb((x * 37 + y * 11) & 255, (x * 5) & 255, (y * 2) & 255));
    Enc e;
    e.quality = 90;
    e.subsample = subsample;
    e.progressive = progressive;
    e.componentScans = componentScans;
    if (orientation != 1)
        e.app1 = exifPayload(orientation, false);
    const QByteArray full = encode(src, e);
    qsizetype keep = full.size() * keepPercent / 100;
    if (keepPercent < 0) {
        const qsizetype first = full.indexOf(QByteArray("\xFF\xDA", 2));
        keep = (first + full.indexOf(QByteArray("\xFF\xDA", 2), first + 2)) / 2;
    }
    QByteArray cut = full.left(keep);
    if (endMarker) { // the rest of the scan is gone but the file goes on: its next scan or EOI
        const qsizetype next = full.indexOf(QByteArray("\xFF\xDA", 2), keep);
        cut += next < 0 ? QByteArray("\xFF\xD9", 2) : full.mid(next);
    }
    const QImage oracle = libjpegDecode(cut);
    DecodeObserver none;
    auto part = decodeJpeg(bytesOf(cut), none);
    QVERIFY2(part.ok(), part.ok() ? "" : part.error().message.c_str());
    const bool turned = orientation >= 5;
    QCOMPARE(part->size(), turned ? oracle.size().transposed() : oracle.size());
    for (int y = 0; y < oracle.height(); ++y)
        for (int x = 0; x < oracle.width(); ++x) {
            const QPoint d = displayPos(orientation, x, y, part->width(), part->height());
            if (part->pixel(d) != oracle.pixel(x, y))
                QFAIL(qPrintable(QStringLiteral("stored pixel %1,%2 differs").arg(x).arg(y)));
        }
    if (!componentScans && ((!progressive && keepPercent < 50) || keepPercent < 0)) // the cut bit
        QCOMPARE(oracle.pixel(0, oracle.height() - 1), qRgb(128, 128, 128));
}

void TestJpeg::brokenHeadersFail_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("mentions");
    Enc e;
    const QByteArray good = encode(quadrants(32, 32), e);
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("soi only") << good.left(2) << QString();
    QTest::newRow("cut in tables") << good.left(40) << QString();
    QTest::newRow("cut before scan") << good.left(sofOffset(good) + 6) << QString();
    QByteArray garbage = good.left(3);
    for (int i = 0; i < 500; ++i)
        garbage.append(char((i * 7919) & 0xFF));
    QTest::newRow("garbage after SOI") << garbage << QString();
    QByteArray twelve = good;
    twelve[sofOffset(twelve)] = 12;
    QTest::newRow("12-bit") << twelve << QStringLiteral("12-bit");
    QByteArray zero = good;
    patchSize(zero, 0, 32);
    QTest::newRow("zero width") << zero << QString();
    QByteArray threeComponentsCut = good;
    threeComponentsCut[sofOffset(good) + 5] = char(200); // component count far past the segment
    QTest::newRow("component count") << threeComponentsCut << QString();
}

void TestJpeg::brokenHeadersFail()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, mentions);
    DecodeObserver none;
    const auto before = imagePoolStats();
    auto info = readJpegInfo(bytesOf(data));
    auto img = decodeJpeg(bytesOf(data), none);
    QVERIFY(!info.ok());
    QVERIFY(!img.ok());
    QCOMPARE(imagePoolStats().mapped, before.mapped); // refused before allocating
    const QString msg = QString::fromStdString(img.error().message);
    QVERIFY2(msg.startsWith(QLatin1String("JPEG: ")), qPrintable(msg));
    if (!mentions.isEmpty())
        QVERIFY2(msg.contains(mentions), qPrintable(msg));
}

void TestJpeg::scaledPastThePixelLimit_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("maxPixels");
    QTest::addColumn<QSize>("size");    // invalid: the decode fails
    QTest::addColumn<QString>("scale"); // the text the image carries
    const QByteArray good = encode(quadrants(64, 48), Enc{});
    QTest::newRow("fits") << good << qint64(64 * 48) << QSize(64, 48) << QString();
    QTest::newRow("half") << good << qint64(64 * 48 - 1) << QSize(32, 24) << QStringLiteral("1/2");
    QTest::newRow("quarter") << good << qint64(32 * 24 - 1) << QSize(16, 12)
                             << QStringLiteral("1/4");
    QTest::newRow("eighth") << good << qint64(8 * 6) << QSize(8, 6) << QStringLiteral("1/8");
    QTest::newRow("not even at 1/8") << good << qint64(8 * 6 - 1) << QSize() << QString();
    // The largest libjpeg decodes (65500 a side; at the default limit 1/4 fits, a 1 GiB
    // picture): its data is cut short, so the rows that never arrive are grey.
    QByteArray largest = good;
    patchSize(largest, 65500, 65500);
    QTest::newRow("65500 x 65500")
        << largest << qint64(8188 * 8188) << QSize(8188, 8188) << QStringLiteral("1/8");
}

// A picture past the pixel limit is shown at the largest DCT scale that fits, and says so.
void TestJpeg::scaledPastThePixelLimit()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, maxPixels);
    QFETCH(QSize, size);
    QFETCH(QString, scale);
    DecodeObserver none;
    JpegOptions options;
    options.maxPixels = maxPixels;
    auto img = decodeJpegWith(bytesOf(data), none, options);
    if (!size.isValid()) {
        QVERIFY(!img.ok());
        QVERIFY2(img.error().message.find("1/8") != std::string::npos, img.error().message.c_str());
        return;
    }
    QVERIFY2(img.ok(), img.ok() ? "" : img.error().message.c_str());
    QCOMPARE(img->size(), size);
    QCOMPARE(img->text(QString::fromLatin1(kShownScaleKey)), scale);
    if (size.width() <= 64)
        checkQuadrants(img.value(), kCells, 12);
    QVERIFY(readJpegInfo(bytesOf(data)).ok()); // the stored size is no reason to refuse
}

void TestJpeg::progressIncreasesAcrossScans()
{
    QImage src(256, 256, QImage::Format_ARGB32);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
            src.setPixel(x, y, qRgb(x, y, (x ^ y) & 255));
    Enc e;
    e.progressive = true;
    e.subsample = true;
    const QByteArray file = encode(src, e);
    Recorder r;
    auto img = decodeJpeg(bytesOf(file), r);
    QVERIFY(img.ok());
    QVERIFY(r.values.size() >= 20);
    QVERIFY(std::is_sorted(r.values.begin(), r.values.end()));
    QCOMPARE(r.values.back(), r.lastTotal);
    // The scans are read before the first row is out: progress must move during them too.
    QVERIFY(std::count_if(r.values.begin(), r.values.end(),
                          [&](int64_t v) { return v < r.lastTotal / 2; }) >= 5);
}

void TestJpeg::cancelAndThrowingObserverStop_data()
{
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<bool>("throws");
    QTest::newRow("baseline cancel") << false << false;
    QTest::newRow("progressive cancel") << true << false;
    QTest::newRow("observer throws") << true << true;
}

// Cancelling stops within a batch; an observer's exception comes out of the decoder intact
// (after libjpeg has been left and its memory freed), not through libjpeg's C frames.
void TestJpeg::cancelAndThrowingObserverStop()
{
    QFETCH(bool, progressive);
    QFETCH(bool, throws);
    Enc e;
    e.progressive = progressive;
    const QByteArray file = encode(quadrants(256, 256), e);
    Recorder r;
    (throws ? r.throwAt : r.cancelAfter) = 2;
    if (throws) {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, (void)decodeJpeg(bytesOf(file), r));
    } else {
        auto img = decodeJpeg(bytesOf(file), r);
        QVERIFY(!img.ok());
        QCOMPARE(img.error().message, std::string("JPEG: cancelled"));
    }
    QVERIFY(r.values.size() <= 4);
}

void TestJpeg::endlessScansRefused_data()
{
    QTest::addColumn<int>("side");
    QTest::addColumn<bool>("arithmetic");
    QTest::addColumn<int>("copies");
    QTest::addColumn<int>("cancelAt");    // the observer's check that cancels; -1: none
    QTest::addColumn<int>("claimedSide"); // 0: as encoded
    QTest::addColumn<QString>("message");
    QTest::newRow("2000 scans, 64 x 64")
        << 64 << false << 2000 << -1 << 0 << QStringLiteral("scans");
    // Fewer scans than the scan limit, each one a pass over 147,456 blocks.
    QTest::newRow("300 scans, 3072 x 3072")
        << 3072 << false << 300 << -1 << 0 << QStringLiteral("blocks");
    // Every coefficient of 16384 x 16384 kept (512 MiB) beside the 1 GiB image: past the bound.
    QTest::newRow("coefficients past the memory bound")
        << 64 << false << 1 << -1 << 16384 << QStringLiteral("working memory");
    // Within both limits but slow (arithmetic decoding visits every block of every scan):
    // a cancel must be seen at the next scan, not at the first row out (the estimate of the
    // passes stops moving after a few scans, and with it the progress reports, so that
    // without a check per scan the 200th check comes only once the scans are done).
    QTest::newRow("cancelled between scans")
        << 2048 << true << 400 << 200 << 0 << QStringLiteral("cancelled");
}

// Copies of one scan repeated: libjpeg only warns about the bogus progression, so without a
// bound on the scans and on their blocks each copy would be another full pass.
void TestJpeg::endlessScansRefused()
{
    QFETCH(int, side);
    QFETCH(bool, arithmetic);
    QFETCH(int, copies);
    QFETCH(int, cancelAt);
    QFETCH(int, claimedSide);
    QFETCH(QString, message);
    Enc e;
    e.progressive = true;
    e.arithmetic = arithmetic;
    e.colour = Colour::Grey;
    const QByteArray file = encode(QImage(side, side, QImage::Format_RGB32), e);
    const qsizetype sos = file.indexOf(QByteArray("\xFF\xDA", 2));
    qsizetype next = sos + 2;
    while (next + 1 < file.size() && !(uchar(file[next]) == 0xFF && uchar(file[next + 1]) >= 0xC0 &&
                                       uchar(file[next + 1]) != 0xFF))
        ++next;
    const QByteArray scan = file.mid(sos, next - sos);
    QByteArray hostile = file.left(next);
    for (int i = 0; i < copies; ++i)
        hostile += scan;
    hostile += QByteArray("\xFF\xD9", 2);
    if (claimedSide > 0)
        patchSize(hostile, claimedSide, claimedSide);
    struct : DecodeObserver {
        bool cancelled() const override { return at >= 0 && ++asked >= at; }
        mutable int asked = 0;
        int at = -1;
    } observer;
    observer.at = cancelAt;
    auto img = decodeJpeg(bytesOf(hostile), observer);
    QVERIFY(!img.ok());
    QVERIFY2(QString::fromStdString(img.error().message).contains(message),
             img.error().message.c_str());
    if (cancelAt >= 0) // stopped at the check that said so, mid-scans
        QCOMPARE(observer.asked, cancelAt);
}

void TestJpeg::corpus_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectation");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<int>("tolerance");
    const auto entries = test::readManifest({QStringLiteral("jpeg")});
    // Without rows QtTest aborts at the first fetch: one empty row that skips instead.
    if (!entries)
        QTest::newRow("corpus absent") << QString() << QString() << QString() << 0;
    for (const test::ManifestEntry &e : entries.value_or(QList<test::ManifestEntry>())) {
        // References by another decoder (image-rs) have their own IDCT and upsampling; they
        // land a level or two further from libjpeg-turbo than its own output does.
        const int tolerance = e.note.contains(QLatin1String("ref: imagemagick")) ? 3 : 5;
        QTest::newRow(qPrintable(e.path)) << e.path << e.expectation << e.reference << tolerance;
    }
}

// Valid files match the reference decode within 3 levels per channel (the references keep the
// stored orientation and colours, so orientation and the colour profile are off here); others
// decode or fail cleanly.
void TestJpeg::corpus()
{
    QFETCH(QString, path);
    QFETCH(QString, expectation);
    QFETCH(QString, reference);
    QFETCH(int, tolerance);
    if (path.isEmpty())
        QSKIP("shared corpus not available");
    QFile f(test::corpusFile(path));
    QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray data = f.readAll();
    DecodeObserver none;
    auto img = decodeJpegWith(bytesOf(data), none, JpegOptions{false, false});
    if (expectation == QLatin1String("valid"))
        QVERIFY2(img.ok(), img.ok() ? "" : img.error().message.c_str());
    auto info = readJpegInfo(bytesOf(data));
    if (img.ok()) {
        QVERIFY(info.ok());
        QCOMPARE(QSize(info->width, info->height), img->size());
    }
    if (!img.ok()) {
        QVERIFY(img.error().message.rfind("JPEG: ", 0) == 0);
        return;
    }
    if (reference.isEmpty())
        return;
    QImage ref(test::corpusFile(reference));
    QVERIFY(!ref.isNull());
    ref = ref.convertToFormat(QImage::Format_RGB32);
    QCOMPARE(img->size(), ref.size());
    int worst = 0;
    for (int y = 0; y < ref.height(); ++y) {
        const auto *a = reinterpret_cast<const QRgb *>(img->constScanLine(y));
        const auto *b = reinterpret_cast<const QRgb *>(ref.constScanLine(y));
        for (int x = 0; x < ref.width(); ++x)
            worst = std::max({worst, qAbs(qRed(a[x]) - qRed(b[x])),
                              qAbs(qGreen(a[x]) - qGreen(b[x])), qAbs(qBlue(a[x]) - qBlue(b[x]))});
    }
    if (expectation == QLatin1String("valid"))
        QVERIFY2(worst <= tolerance, qPrintable(QStringLiteral("differs by %1 levels").arg(worst)));

    // With orientation on, the upright image is the reference turned as the tag says.
    const int o = readJpegOrientation(bytesOf(data));
    if (o == 1)
        return;
    auto upright = decodeJpeg(bytesOf(data), none);
    QVERIFY(upright.ok());
    for (int y = 0; y < ref.height(); y += 7)
        for (int x = 0; x < ref.width(); x += 7) {
            const QPoint d = displayPos(o, x, y, upright->width(), upright->height());
            QCOMPARE(upright->pixel(d), img->pixel(x, y));
        }
}

QTEST_GUILESS_MAIN(TestJpeg)
#include "tst_jpeg.moc"
