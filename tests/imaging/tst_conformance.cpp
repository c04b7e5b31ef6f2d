// Every file of the shared corpus through the whole loading path: valid files decode and
// match their reference, broken ones fail cleanly (or partially) in bounded time and
// memory, questionable ones at least do not crash. Plus oxlume-convert end to end.

#include "common/Corpus.h"
#include "common/PeakMemory.h"
#include "imaging/ImageFile.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMap>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

const QString kCorpus = oxlume::test::corpusDir();
const QString kConvert = QStringLiteral(OXLUME_BINARY_DIR "/tools/oxlume-convert");
// An invalid file may legally ask for one image at the size limit, not for more.
constexpr qint64 kPeakGrowthLimit = (qint64(1) << 30) + (qint64(512) << 20);

struct Row {
    QString path, format, expectation, reference, note;
};

QList<Row> readManifest()
{
    QList<Row> rows;
    QFile file(kCorpus + QStringLiteral("/MANIFEST.tsv"));
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // line 0 names the columns
        const QList<QByteArray> f = lines[i].split('\t');
        if (f.size() < 5)
            continue;
        rows.append({QString::fromUtf8(f[0]), QString::fromUtf8(f[1]), QString::fromUtf8(f[3]),
                     QString::fromUtf8(f[4]), f.size() > 5 ? QString::fromUtf8(f[5]) : QString()});
    }
    return rows;
}

bool isOwnFormat(const QString &format)
{
    static const QStringList own = {
        QStringLiteral("jpeg"), QStringLiteral("bmp"), QStringLiteral("pcx"), QStringLiteral("dcx"),
        QStringLiteral("psd"),  QStringLiteral("wmf"), QStringLiteral("tga")};
    return own.contains(format);
}

QString expectedDecoder(const QString &format)
{
    if (format == QLatin1String("dcx"))
        return QStringLiteral("PCX");
    return format.toUpper();
}

// Whether an installed Qt reader covers an extra format at all.
bool qtReads(const QString &format)
{
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    if (format == QLatin1String("pnm"))
        return formats.contains("pbm");
    return formats.contains(format.toLatin1());
}

// Counts progress reports and checks that they only grow and stay within their total.
class CheckingObserver : public DecodeObserver {
public:
    void progress(int64_t done, int64_t total) override
    {
        if (done < m_last || done > total || total <= 0)
            m_bad = true;
        m_last = done;
    }
    bool cancelled() const override { return false; }
    bool bad() const { return m_bad; }

private:
    int64_t m_last = 0;
    bool m_bad = false;
};

// Valid files whose reference we do not hold the decoder to, each with the reason. They
// must still decode. The first group are our own decoders disagreeing with one other
// decoder's opinion; the second are the installed Qt readers (not our code) reading an
// extra format differently from the reference.
const char *const kStoredColours =
    "the reference holds the stored colours; we convert through the file's grey or CMYK "
    "profile, and land within 10 levels of ImageMagick's conversion to sRGB";
const QMap<QString, const char *> kReferenceExceptions = {
    {QStringLiteral("bmp/pillow/rgb32bf-abgr.bmp"),
     "every alpha value in the file is 0; we show the pixels opaque as viewers do, "
     "ImageMagick's reference is fully transparent"},
    {QStringLiteral("jpeg/pillow/icc_profile_big.jpg"),
     "the reference holds the stored colours; we convert through the file's RGB profile "
     "to sRGB, as ImageMagick does when asked to (-profile sRGB.icc)"},
    {QStringLiteral("pcx/generated/gen_mono_gm.pcx"),
     "ImageMagick inverts 1-bit PCX: the first bits are 0, palette entry 0 is black, and the "
     "source photo's top-left corner is dark"},
    {QStringLiteral("psd/ag-psd/grayscale-alpha.psd"), kStoredColours},
    {QStringLiteral("psd/kimageformats/32bit_grayscale.psd"), kStoredColours},
    {QStringLiteral("psd/kimageformats/8bit-grayscale.psd"), kStoredColours},
    {QStringLiteral("psd/kimageformats/testcard_graya8.psd"), kStoredColours},
    {QStringLiteral("psd/psd-tools/colormodes/4x4_16bit_cmyk.psd"), kStoredColours},
    {QStringLiteral("psd/psd-tools/colormodes/4x4_32bit_grayscale.psd"), kStoredColours},
    {QStringLiteral("psd/psd-tools/colormodes/4x4_8bit_cmyk.psd"), kStoredColours},
    {QStringLiteral("psd/ag-psd/16bits.psd"),
     "the composite has no alpha channel; ImageMagick's reference is rebuilt from the layers"},
    {QStringLiteral("psd/psd-tools/pixel-layer.psd"),
     "the composite has no alpha channel; ImageMagick's reference is rebuilt from the layers"},
    {QStringLiteral("psd/psd-tools/layer-name-emoji.psd"),
     "the composite has no alpha channel; ImageMagick's reference is rebuilt from the layers"},
    {QStringLiteral("psd/generated/gen_rgba8.psd"),
     "the writer stored straight colour, which we keep; the reference multiplies the colour "
     "of translucent pixels by their alpha (alpha itself matches)"},
    {QStringLiteral("wmf/pillow/drawing.wmf"),
     "the reference is cropped to the drawn area; we show the file's own bounding box"},
    {QStringLiteral("wmf/libwmf/p0000001.wmf"),
     "libwmf leaves out the matrix brackets, so its picture is narrower than ours"},

    {QStringLiteral("ico/image-rs/bmp-24bpp-mask.ico"),
     "Qt's ICO reader ignores the AND mask of 24-bit icons, the reference applies it"},
    {QStringLiteral("tga/image-rs/b5-attrib.tga"),
     "the header declares one alpha bit, which we honour as ImageMagick does; the reference "
     "shows every pixel opaque"},
    {QStringLiteral("tiff/image-rs/hpredict_packbits.tiff"),
     "the extra sample is unspecified: Qt's TIFF reader takes it as premultiplied alpha, "
     "the reference as straight alpha"},
};

enum class Compare { Exact, Loose, Vector };

struct Tolerance {
    Compare mode = Compare::Exact;
    int maxDiff = 0;
    bool anyOrientation = false; // the reference may show the stored, un-rotated pixels
    double outliers = 0;         // share of pixels allowed past maxDiff
};

// PSD colour mode and depth from the header: converted colour spaces are compared loosely.
Tolerance psdTolerance(const QString &path)
{
    QFile f(path);
    Tolerance t;
    t.anyOrientation = true;
    if (!f.open(QIODevice::ReadOnly))
        return t;
    const QByteArray h = f.read(26);
    if (h.size() < 26)
        return t;
    const int depth = (uchar(h[22]) << 8) | uchar(h[23]);
    const int mode = (uchar(h[24]) << 8) | uchar(h[25]);
    if (mode == 4 || mode == 7 || mode == 8 || mode == 9 || depth == 32)
        t.mode = Compare::Loose; // CMYK, multichannel, duotone, Lab, float: colour management
    else if (depth == 16)
        t.maxDiff = 1; // both sides reduced to 8 bits, rounding may differ by one
    return t;
}

Tolerance toleranceFor(const Row &row, const QString &path)
{
    Tolerance t;
    if (row.format == QLatin1String("jpeg")) {
        // Some references come from other IDCTs than libjpeg-turbo's: a rare pixel may
        // round further apart.
        t.maxDiff = 3;
        t.outliers = 0.001;
        t.anyOrientation = true;
    } else if (row.format == QLatin1String("psd")) {
        t = psdTolerance(path);
    } else if (row.format == QLatin1String("wmf") || row.format == QLatin1String("emf")) {
        t.mode = Compare::Vector;
    } else if (row.format == QLatin1String("tiff")) {
        t.maxDiff = 1;
        t.anyOrientation = true;
    } else if (row.format == QLatin1String("tga")) {
        t.maxDiff = 1; // 5-bit channels widen by rounding or by bit copying: one level apart
    }
    return t;
}

QList<QImage> orientations(const QImage &image)
{
    QList<QImage> all;
    for (int r = 0; r < 4; ++r) {
        QImage turned = image.transformed(QTransform().rotate(90 * r));
        all.append(turned);
        all.append(turned.mirrored(true, false));
    }
    return all;
}

QImage flattened(const QImage &image)
{
    QImage out(image.size(), QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter p(&out);
    p.drawImage(0, 0, image);
    return out;
}

// Mean absolute channel difference (0..255) after scaling both to a small common size.
double roughDifference(const QImage &a, const QImage &b)
{
    const QSize small(64, 64);
    const QImage sa = flattened(a).scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage sb = flattened(b).scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double sum = 0;
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x) {
            const QRgb pa = sa.pixel(x, y), pb = sb.pixel(x, y);
            sum += std::abs(qRed(pa) - qRed(pb)) + std::abs(qGreen(pa) - qGreen(pb)) +
                   std::abs(qBlue(pa) - qBlue(pb));
        }
    return sum / (small.width() * small.height() * 3);
}

// Empty when image matches reference within the tolerance, else what differs.
QString difference(const QImage &image, const QImage &reference, const Tolerance &t)
{
    if (t.mode == Compare::Vector) {
        // Vector renderings differ in resolution, fonts and pen widths: aspect and rough look.
        const double ai = double(image.width()) / image.height();
        const double ar = double(reference.width()) / reference.height();
        if (std::abs(ai / ar - 1.0) > 0.1)
            return QStringLiteral("aspect %1 against the reference's %2").arg(ai).arg(ar);
        const double d = roughDifference(image, reference);
        return d <= 48 ? QString() : QStringLiteral("rough difference %1 of 255").arg(d);
    }
    if (image.size() != reference.size())
        return QStringLiteral("size %1x%2 against the reference's %3x%4")
            .arg(image.width())
            .arg(image.height())
            .arg(reference.width())
            .arg(reference.height());
    if (t.mode == Compare::Loose) {
        const double d = roughDifference(image, reference);
        return d <= 24 ? QString() : QStringLiteral("rough difference %1 of 255").arg(d);
    }
    // Compared as shown, premultiplied: the colour under a nearly transparent pixel barely
    // shows, and readers that premultiply (Qt's ICO and TIFF readers) lose precision there.
    const QImage a = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage b = reference.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    qint64 bad = 0;
    QString first;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb *ra = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const QRgb *rb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const QRgb pa = ra[x], pb = rb[x];
            const int d =
                std::max({std::abs(qAlpha(pa) - qAlpha(pb)), std::abs(qRed(pa) - qRed(pb)),
                          std::abs(qGreen(pa) - qGreen(pb)), std::abs(qBlue(pa) - qBlue(pb))});
            // References of translucent pixels often went through a premultiplied canvas
            // and back: one more level of rounding there.
            const int allowed = t.maxDiff + (qAlpha(pb) < 255 ? 1 : 0);
            if (d > allowed && bad++ == 0)
                first = QStringLiteral("(%1,%2) is #%3, the reference #%4")
                            .arg(x)
                            .arg(y)
                            .arg(pa, 8, 16, QLatin1Char('0'))
                            .arg(pb, 8, 16, QLatin1Char('0'));
        }
    }
    if (bad <= qint64(t.outliers * a.width() * a.height()))
        bad = 0;
    return bad == 0 ? QString()
                    : QStringLiteral("%1 pixels differ by more than %2; first %3")
                          .arg(bad)
                          .arg(t.maxDiff)
                          .arg(first);
}

// The reference and its equally acceptable alternatives refs/<file>.altN.png.
QStringList referencePaths(const QString &reference)
{
    QStringList paths = {kCorpus + QLatin1Char('/') + reference};
    const QString stem = paths.first().chopped(4);
    for (int n = 1; n <= 9; ++n) {
        const QString alt = stem + QStringLiteral(".alt%1.png").arg(n);
        if (QFileInfo::exists(alt))
            paths.append(alt);
    }
    return paths;
}

QString matchAnyReference(const QImage &image, const Row &row, const QString &path)
{
    const Tolerance t = toleranceFor(row, path);
    QString why;
    for (const QString &refPath : referencePaths(row.reference)) {
        const QImage reference(refPath);
        if (reference.isNull())
            return QStringLiteral("reference %1 does not load").arg(refPath);
        const QList<QImage> candidates =
            t.anyOrientation ? orientations(reference) : QList<QImage>{reference};
        for (const QImage &candidate : candidates) {
            const QString d = difference(image, candidate, t);
            if (d.isEmpty())
                return {};
            if (why.isEmpty())
                why = d;
        }
    }
    return why;
}

struct Tally {
    int passed = 0, total = 0;
};

} // namespace

class TestConformance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFileInfo::exists(kCorpus + QStringLiteral("/MANIFEST.tsv")))
            QSKIP("the shared image corpus is not present");
    }
    void cleanupTestCase()
    {
        for (auto it = m_valid.cbegin(); it != m_valid.cend(); ++it)
            qInfo("valid %-5s %3d of %3d pass", qPrintable(it.key()), it->passed, it->total);
    }

    void corpusFile_data();
    void corpusFile();

    void regressionInput_data();
    void regressionInput();

    void convertUsage_data();
    void convertUsage();
    void convertFailures();
    void convertRoundTrip_data();
    void convertRoundTrip();

private:
    void checkValid(const Row &row, const QString &path);
    void checkBroken(const Row &row, const QString &path);

    QMap<QString, Tally> m_valid;
};

void TestConformance::corpusFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expectation");
    QTest::addColumn<QString>("reference");
    for (const Row &row : readManifest())
        QTest::newRow(qPrintable(row.path))
            << row.path << row.format << row.expectation << row.reference;
}

void TestConformance::corpusFile()
{
    QFETCH(QString, path);
    QFETCH(QString, format);
    QFETCH(QString, expectation);
    QFETCH(QString, reference);
    const Row row{path, format, expectation, reference, {}};
    const QString file = kCorpus + QLatin1Char('/') + path;
    if (!isOwnFormat(format) && !qtReads(format) && expectation == QLatin1String("valid"))
        QSKIP(qPrintable(QStringLiteral("no installed reader for %1").arg(format.toUpper())));
    if (expectation == QLatin1String("valid"))
        checkValid(row, file);
    else
        checkBroken(row, file);
}

void TestConformance::checkValid(const Row &row, const QString &path)
{
    Tally &tally = m_valid[row.format];
    ++tally.total;
    const std::string name = QFile::encodeName(path).toStdString();
    CheckingObserver observer;
    const Result<LoadedImage> loaded = loadImageFileWithInfo(name, observer);
    if (!loaded.ok() && row.format == QLatin1String("tga") &&
        loaded.error().message == name + ": unknown image format") {
        --tally.total;
        QSKIP("Qt's TGA reader reads only uncompressed true-colour TGA files");
    }
    QVERIFY2(loaded.ok(), loaded.ok() ? "" : loaded.error().message.c_str());
    const QImage &image = loaded->image;
    const ImageInfo &info = loaded->info;
    QVERIFY(image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32);
    QVERIFY2(!observer.bad(), "progress went backwards or past its total");
    if (isOwnFormat(row.format))
        QCOMPARE(QString::fromStdString(info.format), expectedDecoder(row.format));
    // The header's size is the size the viewer lays out before the pixels arrive.
    const QSize infoSize(info.width, info.height);
    QVERIFY2(infoSize == image.size() || infoSize.transposed() == image.size(),
             qPrintable(QStringLiteral("header says %1x%2, decoded %3x%4")
                            .arg(info.width)
                            .arg(info.height)
                            .arg(image.width())
                            .arg(image.height())));
    QVERIFY(info.bitDepth > 0);
    if (kReferenceExceptions.contains(row.path)) {
        qInfo("reference not compared: %s", kReferenceExceptions.value(row.path));
    } else if (row.reference != QLatin1String("-")) {
        const QString why = matchAnyReference(image, row, path);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }
    ++tally.passed;
}

void TestConformance::checkBroken(const Row &row, const QString &path)
{
    const std::string name = QFile::encodeName(path).toStdString();
    const bool measured = oxlume::test::resetPeakMemory();
    const qint64 before = oxlume::test::peakMemoryBytes();
    CheckingObserver observer;
    const Result<QImage> image = loadImageFile(name, observer);
    if (measured && before > 0) {
        const qint64 growth = oxlume::test::peakMemoryBytes() - before;
        QVERIFY2(growth < kPeakGrowthLimit,
                 qPrintable(QStringLiteral("peak memory grew by %1 MiB").arg(growth >> 20)));
    }
    QVERIFY2(!observer.bad(), "progress went backwards or past its total");
    if (image.ok()) {
        QVERIFY(image->format() == QImage::Format_RGB32 ||
                image->format() == QImage::Format_ARGB32);
    } else {
        // A clean failure names the file and says something about why.
        QVERIFY(image.error().message.rfind(name + ": ", 0) == 0);
        QVERIFY(image.error().message.size() > name.size() + 4);
    }
    Q_UNUSED(row);
}

// Inputs the fuzzers once found troublesome, kept in tests/data/<fmt>/regressions: the same
// rules as for a broken corpus file.
void TestConformance::regressionInput_data()
{
    QTest::addColumn<QString>("path");
    const QString root = QStringLiteral(OXLUME_SOURCE_DIR "/tests/data");
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QLatin1String("/regressions/")))
            QTest::newRow(qPrintable(path.mid(root.size() + 1))) << path;
    }
}

void TestConformance::regressionInput()
{
    QFETCH(QString, path);
    checkBroken(Row{}, path);
}

// ---- oxlume-convert end to end ----

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

Run runConvert(const QStringList &args)
{
    QProcess p;
    p.start(kConvert, args);
    Run r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

void TestConformance::convertUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("one file") << QStringList{QStringLiteral("a.png")};
    QTest::newRow("three files") << QStringList{QStringLiteral("a"), QStringLiteral("b"),
                                                QStringLiteral("c")};
    QTest::newRow("info with two")
        << QStringList{QStringLiteral("--info"), QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("--size"), QStringLiteral("a"), QStringLiteral("b")};
}

void TestConformance::convertUsage()
{
    if (!QFileInfo::exists(kConvert))
        QSKIP("oxlume-convert is not built");
    QFETCH(QStringList, args);
    const Run r = runConvert(args);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("usage"));
}

void TestConformance::convertFailures()
{
    if (!QFileInfo::exists(kConvert))
        QSKIP("oxlume-convert is not built");
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing.png"));
    const QString folder = dir.filePath(QStringLiteral("folder.jpg"));
    QVERIFY(QDir().mkdir(folder));
    const QString text = dir.filePath(QStringLiteral("text.png"));
    {
        QFile f(text);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not an image at all\n");
    }
    for (const QString &in : {missing, folder, text}) {
        for (const QStringList &args : {QStringList{QStringLiteral("--info"), in},
                                        QStringList{in, dir.filePath(QStringLiteral("out.png"))}}) {
            const Run r = runConvert(args);
            QCOMPARE(r.exitCode, 1);
            QVERIFY(r.out.isEmpty());
            QCOMPARE(r.err.count('\n'), 1); // one line, naming the file
            QVERIFY2(r.err.contains(QFile::encodeName(in)), r.err.constData());
        }
    }
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("out.png"))));
}

void TestConformance::convertRoundTrip_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("info");
    // A PNG made here (the Qt plugin path) and one corpus file per own decoder.
    QTest::newRow("png") << QString() << QStringLiteral("PNG 5 3 32");
    QTest::newRow("bmp") << QStringLiteral("bmp/bmpsuite/g/pal8.bmp")
                         << QStringLiteral("BMP 127 64 8");
    QTest::newRow("jpeg") << QStringLiteral("jpeg/libjpeg-turbo/testorig.jpg")
                          << QStringLiteral("JPEG 227 149 24");
    QTest::newRow("pcx") << QStringLiteral("pcx/generated/gen_rgb24.pcx") << QString();
    QTest::newRow("psd") << QStringLiteral("psd/pillow/hopper.psd")
                         << QStringLiteral("PSD 128 128 24");
    QTest::newRow("wmf") << QStringLiteral("wmf/libwmf/sample.wmf") << QString();
}

void TestConformance::convertRoundTrip()
{
    if (!QFileInfo::exists(kConvert))
        QSKIP("oxlume-convert is not built");
    QFETCH(QString, input);
    QFETCH(QString, info);
    QTemporaryDir dir;
    QString in = kCorpus + QLatin1Char('/') + input;
    if (input.isEmpty()) {
        QImage made(5, 3, QImage::Format_ARGB32);
        made.fill(qRgba(10, 200, 30, 128));
        made.setPixel(4, 2, qRgba(255, 0, 0, 255));
        in = dir.filePath(QStringLiteral("made.png"));
        QVERIFY(made.save(in, "PNG"));
    } else if (!QFileInfo::exists(in)) {
        QSKIP("the shared image corpus is not present");
    }
    const Run described = runConvert({QStringLiteral("--info"), in});
    QCOMPARE(described.exitCode, 0);
    if (!info.isEmpty())
        QCOMPARE(QString::fromUtf8(described.out.trimmed()), info);
    else
        QCOMPARE(described.out.count('\n'), 1);

    const QString out = dir.filePath(QStringLiteral("out.png"));
    const Run converted = runConvert({in, out});
    QVERIFY2(converted.exitCode == 0, converted.err.constData());
    // The PNG holds exactly what the imaging layer decodes.
    DecodeObserver observer;
    const Result<QImage> direct = loadImageFile(QFile::encodeName(in).toStdString(), observer);
    QVERIFY(direct.ok());
    const QImage written(out);
    QCOMPARE(written.convertToFormat(QImage::Format_ARGB32),
             direct->convertToFormat(QImage::Format_ARGB32));
}

QTEST_MAIN(TestConformance)
#include "tst_conformance.moc"
