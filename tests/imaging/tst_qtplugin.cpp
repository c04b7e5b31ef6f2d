// The reader for every format Qt's image plugins know: what it claims, what it leaves to
// our own decoders, the size guard before decoding, and the pixels it delivers.

#include "imaging/decoders/QtPlugin.h"

#include <QBuffer>
#include <QtTest>

#include <atomic>
#include <thread>

#include <zlib.h>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

Bytes bytesOf(const QByteArray &data)
{
    return Bytes(reinterpret_cast<const std::byte *>(data.constData()), size_t(data.size()));
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage sample(QImage::Format format)
{
    QImage image(7, 4, QImage::Format_ARGB32);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 7; ++x)
            image.setPixel(x, y, qRgba(x * 36, y * 80, 200, x == 6 ? 0 : 60 + x * 30));
    return image.convertToFormat(format);
}

// The smallest GIF: 1 x 1, one transparent pixel (Qt has no GIF writer).
const QByteArray kGif =
    QByteArray::fromHex("474946383961010001008000 00ffffff000000 21f90401000000 00 "
                        "2c000000000100010000 02024401 00 3b");

QByteArray be32(quint32 v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

QByteArray pngChunk(const QByteArray &typeAndData)
{
    quint32 crc = 0xffffffffu;
    for (char c : typeAndData) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return be32(quint32(typeAndData.size() - 4)) + typeAndData + be32(~crc);
}

// A PNG whose IHDR claims width x height, followed by an empty IDAT: header only.
QByteArray pngHeader(quint32 width, quint32 height)
{
    return QByteArray::fromHex("89504e470d0a1a0a") +
           pngChunk(QByteArrayLiteral("IHDR") + be32(width) + be32(height) +
                    QByteArray::fromHex("0802000000")) + // 8-bit RGB
           pngChunk(QByteArrayLiteral("IDAT")) +
           pngChunk(QByteArrayLiteral("IEND"));
}

const QByteArray kSvg = QByteArrayLiteral(
    "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"20\" "
    "height=\"10\"><rect width=\"20\" height=\"10\" fill=\"#ff0000\"/></svg>\n");

// data as a gzip stream, as .svgz files hold it.
QByteArray gzip(const QByteArray &data)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

} // namespace

class TestQtPlugin : public QObject {
    Q_OBJECT

private slots:
    void sniff_data();
    void sniff();
    void info_data();
    void info();
    void decodesExactPixels_data();
    void decodesExactPixels();
    void sizeGuard_data();
    void sizeGuard();
    void svgRenders();
    void decodesOnSeveralThreads();
};

void TestQtPlugin::sniff_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("claimed");
    const QImage rgb = sample(QImage::Format_RGB32);
    QTest::newRow("png") << encoded(rgb, "PNG") << true;
    QTest::newRow("gif") << kGif << true;
    QTest::newRow("ppm") << encoded(rgb, "PPM") << true;
    QTest::newRow("xpm") << encoded(rgb, "XPM") << true;
    QTest::newRow("svg") << kSvg << true;
    QTest::newRow("svgz") << gzip(kSvg) << true;
    QTest::newRow("gzip of no svg") << gzip("hello world, this is not an image") << false;
    // Our own decoders read these; Qt's readers for them must not win.
    QTest::newRow("jpeg") << encoded(rgb, "JPEG") << false;
    QTest::newRow("bmp") << encoded(rgb, "BMP") << false;
    // XML that is no SVG: the SVG reader would claim it.
    QTest::newRow("plain xml") << QByteArrayLiteral("<?xml version=\"1.0\"?>\n<note>hi</note>\n")
                               << false;
    QTest::newRow("html comment") << QByteArrayLiteral("<!-- not a picture -->\n<p>text</p>\n")
                                  << false;
    QTest::newRow("text") << QByteArrayLiteral("hello world, this is not an image") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

// Whatever the data, probing prints nothing: Qt's readers warn while they probe (the TGA
// reader for every file it is shown), and a normal run keeps standard error quiet.
void TestQtPlugin::sniff()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, claimed);
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    QCOMPARE(sniffQtPlugin(bytesOf(data)), claimed);
}

void TestQtPlugin::info_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("bitDepth");
    QTest::newRow("png rgb") << encoded(sample(QImage::Format_RGB32), "PNG")
                             << QStringLiteral("PNG") << 24;
    QTest::newRow("png rgba") << encoded(sample(QImage::Format_ARGB32), "PNG")
                              << QStringLiteral("PNG") << 32;
    QTest::newRow("png grey") << encoded(sample(QImage::Format_Grayscale8), "PNG")
                              << QStringLiteral("PNG") << 8;
    QTest::newRow("ppm") << encoded(sample(QImage::Format_RGB32), "PPM") << QStringLiteral("PPM")
                         << 24;
}

void TestQtPlugin::info()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, format);
    QFETCH(int, bitDepth);
    const Result<ImageInfo> info = readQtPluginInfo(bytesOf(data));
    QVERIFY2(info.ok(), info.ok() ? "" : info.error().message.c_str());
    QCOMPARE(QString::fromStdString(info->format), format);
    QCOMPARE(info->width, 7);
    QCOMPARE(info->height, 4);
    QCOMPARE(info->bitDepth, bitDepth);
}

void TestQtPlugin::decodesExactPixels_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QImage>("expected");
    const QImage rgb = sample(QImage::Format_RGB32);
    const QImage argb = sample(QImage::Format_ARGB32);
    QTest::newRow("opaque png") << encoded(rgb, "PNG") << rgb;
    QTest::newRow("straight alpha png") << encoded(argb, "PNG") << argb;
    QTest::newRow("ppm") << encoded(rgb, "PPM") << rgb;
    QTest::newRow("tiff") << encoded(rgb, "TIFF") << rgb;
}

void TestQtPlugin::decodesExactPixels()
{
    QFETCH(QByteArray, data);
    QFETCH(QImage, expected);
    if (data.isEmpty())
        QSKIP("no writer for this format installed");
    DecodeObserver observer;
    const Result<QImage> image = decodeQtPlugin(bytesOf(data), observer);
    QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
    // Opaque images come as RGB32, others as ARGB32 with straight (not premultiplied) alpha.
    QCOMPARE(image->format(), expected.format());
    QCOMPARE(image.value(), expected);
}

void TestQtPlugin::sizeGuard_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("message");
    QTest::newRow("side past the limit")
        << pngHeader(70000, 10)
        << QStringLiteral("PNG: image of 70000 x 10 pixels exceeds the limit of 268435456 pixels");
    QTest::newRow("pixels past the limit")
        << pngHeader(60000, 60000)
        << QStringLiteral(
               "PNG: image of 60000 x 60000 pixels exceeds the limit of 268435456 pixels");
}

void TestQtPlugin::sizeGuard()
{
    // Refused from the header, before anything is allocated or read.
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    DecodeObserver observer;
    const Result<QImage> image = decodeQtPlugin(bytesOf(data), observer);
    QVERIFY(!image.ok());
    QCOMPARE(QString::fromStdString(image.error().message), message);
    const Result<ImageInfo> info = readQtPluginInfo(bytesOf(data));
    QVERIFY(!info.ok());
    QCOMPARE(QString::fromStdString(info.error().message), message);
}

void TestQtPlugin::svgRenders()
{
    DecodeObserver observer;
    for (const QByteArray &file : {kSvg, gzip(kSvg)}) {
        const Result<QImage> image = decodeQtPlugin(bytesOf(file), observer);
        QVERIFY2(image.ok(), image.ok() ? "" : image.error().message.c_str());
        QCOMPARE(image->size(), QSize(20, 10));
        QCOMPARE(image->pixel(10, 5), qRgb(255, 0, 0));
    }
    // Compressed text past the bound is refused while inflating, not parsed: Qt's reader
    // alone inflates up to 2 GB.
    QByteArray padded = kSvg;
    padded.insert(padded.indexOf("<rect"), "<!--" + QByteArray(40 << 20, ' ') + "-->");
    const QByteArray bomb = gzip(padded);
    const Result<QImage> image = decodeQtPlugin(bytesOf(bomb), observer);
    const Result<ImageInfo> info = readQtPluginInfo(bytesOf(bomb));
    QVERIFY(!image.ok() && !info.ok());
    for (const std::string &message : {image.error().message, info.error().message})
        QVERIFY2(message.rfind("SVGZ: the drawing inflates past the limit", 0) == 0,
                 message.c_str());
}

void TestQtPlugin::decodesOnSeveralThreads()
{
    const QByteArray png = encoded(sample(QImage::Format_ARGB32), "PNG");
    const QByteArray ppm = encoded(sample(QImage::Format_RGB32), "PPM");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            DecodeObserver observer;
            for (int i = 0; i < 25; ++i) {
                const QByteArray &data = (t + i) % 2 ? png : ppm;
                const Result<QImage> image = decodeQtPlugin(bytesOf(data), observer);
                if (!image.ok() || image->size() != QSize(7, 4))
                    ++failures;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(failures.load(), 0);
}

QTEST_MAIN(TestQtPlugin)
#include "tst_qtplugin.moc"
