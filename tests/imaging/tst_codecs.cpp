// The decoders built on the HEIF, AVIF and JPEG XL libraries, fed with files that Debian's
// own encoders write in the set-up: the pixels come back close to their source, turned as
// the file says, with alpha; hostile headers and cut files fail cleanly.

#include "imaging/decoders/Decoders.h"

#include "common/DecoderTest.h"

#include <QBuffer>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

using namespace oxlume;
using namespace oxlume::imaging;
using oxlume::test::bytesOf;

namespace {

// A smooth picture, so that lossy coding stays close and any turn or mirror shows.
QImage source(QImage::Format format, bool alpha)
{
    QImage image(64, 48, QImage::Format_RGBA64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16(x * 1000 + 300), quint16(y * 1300),
                                                   quint16(40000 - x * 300 - y * 200),
                                                   quint16(alpha ? 65535 - x * 700 : 65535)));
    return image.convertToFormat(format);
}

// Mean and largest difference over all channels, alpha included.
std::pair<double, int> difference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int64_t sum = 0;
    int most = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            for (int shift = 0; shift < 32; shift += 8) {
                const int d = std::abs(int((p >> shift) & 0xFF) - int((q >> shift) & 0xFF));
                sum += d;
                most = std::max(most, d);
            }
        }
    return {double(sum) / (double(x.width()) * x.height() * 4), most};
}

// An ISO media box at path (four-letter types, outermost first) in data: its offset, -1 if
// absent. meta is a full box: its children start four bytes later.
qsizetype findBox(const QByteArray &data, const QList<QByteArray> &path)
{
    qsizetype from = 0, to = data.size();
    qsizetype found = -1;
    for (const QByteArray &type : path) {
        found = -1;
        for (qsizetype at = from; at + 8 <= to;) {
            const auto size = qsizetype(qFromBigEndian<quint32>(data.constData() + at));
            if (size < 8)
                return -1;
            if (data.mid(at + 4, 4) == type) {
                found = at;
                from = at + 8 + (type == "meta" ? 4 : 0);
                to = at + size;
                break;
            }
            at += size;
        }
        if (found < 0)
            return -1;
    }
    return found;
}

void growBox(QByteArray &data, qsizetype at, quint32 by)
{
    qToBigEndian(qFromBigEndian<quint32>(data.constData() + at) + by, data.data() + at);
}

// An encoder's HEIF file with an irot of angle x 90 degrees anticlockwise given to its
// primary item: the property goes at the end of ipco, its association at the end of the
// item's list in ipma, and the data offsets in iloc move on.
QByteArray withIrot(QByteArray data, int angle)
{
    const qsizetype ipco = findBox(data, {"meta", "iprp", "ipco"});
    const qsizetype ipma = findBox(data, {"meta", "iprp", "ipma"});
    const qsizetype iloc = findBox(data, {"meta", "iloc"});
    const int ilocVersion = data[iloc + 8];
    if (ipco < 0 || ipma < 0 || iloc < 0 || data[ipma + 8] != 0 || ilocVersion > 1 ||
        data[iloc + 12] != 0x44 || data[iloc + 13] != 0x40)
        return {}; // not the layout this edit knows
    int properties = 0;
    for (qsizetype at = ipco + 8; at < ipco + qFromBigEndian<quint32>(data.constData() + ipco);
         at += qFromBigEndian<quint32>(data.constData() + at))
        ++properties;
    // ipma v0: entry count, then per item: u16 id, u8 count, count one-byte associations.
    // Find the primary item's (pitm v0) entry.
    const qsizetype pitm = findBox(data, {"meta", "pitm"});
    if (pitm < 0)
        return {};
    const quint16 primary = qFromBigEndian<quint16>(data.constData() + pitm + 12);
    qsizetype item = ipma + 16;
    for (quint32 i = qFromBigEndian<quint32>(data.constData() + ipma + 12);
         i > 0 && qFromBigEndian<quint16>(data.constData() + item) != primary; --i)
        item += 3 + quint8(data[item + 2]);
    if (item >= ipma + qsizetype(qFromBigEndian<quint32>(data.constData() + ipma)))
        return {};
    const int count = quint8(data[item + 2]);
    data[item + 2] = char(count + 1);
    data.insert(item + 3 + count, char(0x80 | (properties + 1)));
    data.insert(ipco + qFromBigEndian<quint32>(data.constData() + ipco),
                QByteArray::fromHex("00000009") + "irot" + char(angle));
    growBox(data, ipma + 9, 1); // behind the property just inserted
    for (qsizetype box : {ipco, findBox(data, {"meta", "iprp"}), findBox(data, {"meta"})})
        growBox(data, box, box == ipco ? 9 : 10);
    // iloc v0 or v1 with offset, length and base offset of four bytes: the base offset of
    // every item stored in the file (construction method 0) moves on by 10.
    const int extra = ilocVersion == 1 ? 2 : 0; // v1's construction method
    const int items = qFromBigEndian<quint16>(data.constData() + iloc + 14);
    for (qsizetype at = iloc + 16, i = 0; i < items; ++i) {
        if (extra == 0 || qFromBigEndian<quint16>(data.constData() + at + 2) == 0)
            growBox(data, at + 4 + extra, 10);
        at += 10 + extra + 8 * qFromBigEndian<quint16>(data.constData() + at + 8 + extra);
    }
    return data;
}

// Every ispe (image spatial extents) box in data claims width x height.
QByteArray withExtents(QByteArray data, quint32 width, quint32 height)
{
    for (qsizetype at = data.indexOf("ispe"); at >= 0; at = data.indexOf("ispe", at + 4)) {
        qToBigEndian(width, data.data() + at + 8);
        qToBigEndian(height, data.data() + at + 12);
    }
    return data;
}

// An encoder's HEIF file whose grid (kept in idat: version, flags, rows - 1, columns - 1)
// claims 256 x 256 tiles.
QByteArray withHugeGrid(QByteArray data)
{
    const qsizetype idat = data.indexOf("idat");
    if (idat >= 0)
        data[idat + 6] = data[idat + 7] = char(255);
    return data;
}

// A JPEG XL codestream whose size header claims side x side pixels, default metadata after.
QByteArray jxlClaiming(quint32 side)
{
    QByteArray out = QByteArray::fromHex("ff0a");
    quint64 bits = 0;
    int n = 0;
    auto put = [&](quint64 value, int count) {
        bits |= value << n;
        n += count;
    };
    put(0, 1); // not small
    put(2, 2); // height: 1 + u(18)
    put(side - 1, 18);
    put(0, 3); // no ratio: width follows
    put(2, 2);
    put(side - 1, 18);
    put(1, 1); // all_default metadata
    for (int i = 0; i < 8; ++i, bits >>= 8)
        out.append(char(bits & 0xFF));
    return out + QByteArray(32, '\0');
}

} // namespace

class TestCodecs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesEncoderOutput_data();
    void decodesEncoderOutput();
    void appliesOrientation_data();
    void appliesOrientation();
    void refusesHostileInput_data();
    void refusesHostileInput();

private:
    // Runs program on arguments in the scratch folder and returns the file it wrote.
    QByteArray encode(const QString &program, const QStringList &arguments, const QString &out);

    QTemporaryDir m_dir;
    QHash<QString, QByteArray> m_files;
};

QByteArray TestCodecs::encode(const QString &program, const QStringList &arguments,
                              const QString &out)
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.start(program, arguments + QStringList{out});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
    QFile file(m_dir.filePath(out));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestCodecs::initTestCase()
{
    for (const char *tool : {"heif-enc", "avifenc", "cjxl"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP("the encoders are not installed (scripts/install-deps.sh --test)");
    QVERIFY(
        source(QImage::Format_RGBA8888, true).save(m_dir.filePath(QStringLiteral("alpha.png"))));
    QVERIFY(source(QImage::Format_RGBX64, false).save(m_dir.filePath(QStringLiteral("deep.png"))));
    QVERIFY(source(QImage::Format_RGB32, false).save(m_dir.filePath(QStringLiteral("plain.png"))));
    QVERIFY(source(QImage::Format_RGB32, false)
                .scaled(192, 144)
                .save(m_dir.filePath(QStringLiteral("large.png"))));
    const QString heif = QStringLiteral("heif-enc"), avif = QStringLiteral("avifenc"),
                  jxl = QStringLiteral("cjxl");
    const QString alpha = QStringLiteral("alpha.png"), deep = QStringLiteral("deep.png"),
                  plain = QStringLiteral("plain.png");
    m_files[QStringLiteral("heif alpha")] =
        encode(heif, {QStringLiteral("-q"), QStringLiteral("95"), alpha, QStringLiteral("-o")},
               QStringLiteral("alpha.heic"));
    m_files[QStringLiteral("heif 10-bit")] =
        encode(heif,
               {QStringLiteral("-q"), QStringLiteral("95"), QStringLiteral("-b"),
                QStringLiteral("10"), deep, QStringLiteral("-o")},
               QStringLiteral("deep.heic"));
    m_files[QStringLiteral("heif large")] = encode(
        heif, {QStringLiteral("large.png"), QStringLiteral("-o")}, QStringLiteral("large.heic"));
    const QStringList nearLossless = {QStringLiteral("--min"), QStringLiteral("2"),
                                      QStringLiteral("--max"), QStringLiteral("6")};
    m_files[QStringLiteral("avif alpha")] =
        encode(avif, nearLossless + QStringList{alpha}, QStringLiteral("alpha.avif"));
    m_files[QStringLiteral("avif 12-bit lossless")] =
        encode(avif, {QStringLiteral("-l"), QStringLiteral("-d"), QStringLiteral("12"), deep},
               QStringLiteral("deep.avif"));
    m_files[QStringLiteral("avif turned")] =
        encode(avif,
               nearLossless + QStringList{QStringLiteral("--irot"), QStringLiteral("3"),
                                          QStringLiteral("--imir"), QStringLiteral("1"), plain},
               QStringLiteral("turned.avif"));
    m_files[QStringLiteral("jxl alpha")] =
        encode(jxl, {alpha, QStringLiteral("-d"), QStringLiteral("0.3"), QStringLiteral("--quiet")},
               QStringLiteral("alpha.jxl"));
    m_files[QStringLiteral("jxl 16-bit lossless")] =
        encode(jxl, {deep, QStringLiteral("-d"), QStringLiteral("0"), QStringLiteral("--quiet")},
               QStringLiteral("deep.jxl"));
    // A JPEG whose EXIF says "turn 90 degrees clockwise"; cjxl keeps it as the orientation field.
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(source(QImage::Format_RGB32, false).save(&buffer, "JPEG", 95));
    }
    jpeg.insert(2, QByteArray::fromHex("ffe10022457869660000" // APP1 "Exif"
                                       "4d4d002a00000008"
                                       "0001"
                                       "011200030000000100060000"
                                       "00000000"));
    QFile turned(m_dir.filePath(QStringLiteral("turned.jpg")));
    QVERIFY(turned.open(QIODevice::WriteOnly) && turned.write(jpeg) == jpeg.size());
    turned.close();
    m_files[QStringLiteral("jxl turned")] =
        encode(jxl, {QStringLiteral("turned.jpg"), QStringLiteral("--quiet")},
               QStringLiteral("turned.jxl"));
    m_files[QStringLiteral("heif turned")] = withIrot(m_files[QStringLiteral("heif 10-bit")], 1);
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it)
        QVERIFY2(!it.value().isEmpty(), qPrintable(it.key()));
}

void TestCodecs::decodesEncoderOutput_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("decoder");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<double>("meanLimit");
    QTest::addColumn<int>("maxLimit");
    // Lossy rows allow the coding's small error; lossless deep rows catch any rounding slip.
    QTest::newRow("heif alpha") << "heif alpha"
                                << "HEIF" << true << 2.0 << 40;
    QTest::newRow("heif 10-bit") << "heif 10-bit"
                                 << "HEIF" << false << 2.0 << 40;
    QTest::newRow("avif alpha") << "avif alpha"
                                << "AVIF" << true << 2.0 << 40;
    QTest::newRow("avif 12-bit") << "avif 12-bit lossless"
                                 << "AVIF" << false << 0.1 << 1;
    QTest::newRow("jxl alpha") << "jxl alpha"
                               << "JXL" << true << 2.0 << 40;
    QTest::newRow("jxl 16-bit") << "jxl 16-bit lossless"
                                << "JXL" << false << 0.0 << 0;
}

void TestCodecs::decodesEncoderOutput()
{
    QFETCH(QString, file);
    QFETCH(QString, decoder);
    QFETCH(bool, alpha);
    QFETCH(double, meanLimit);
    QFETCH(int, maxLimit);
    const QByteArray data = m_files.value(file);
    const DecoderEntry *entry = findDecoder(bytesOf(data));
    QVERIFY(entry);
    QCOMPARE(QString::fromLatin1(entry->name), decoder);
    const auto info = entry->readInfo(bytesOf(data));
    QVERIFY2(info, info ? "" : info.error().message.c_str());
    QCOMPARE(QSize(info->width, info->height), QSize(64, 48));

    const QImage image = test::decodeOrWarn(entry->decode, data);
    QCOMPARE(image.size(), QSize(64, 48));
    QCOMPARE(image.format(), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    // The 16-bit source rounded to eight bits is what a deep file must come back as.
    const auto [mean, most] = difference(image, source(QImage::Format_ARGB32, alpha));
    QVERIFY2(mean <= meanLimit && most <= maxLimit,
             qPrintable(QStringLiteral("mean %1, largest %2").arg(mean).arg(most)));

    test::CancelAtOnce cancel;
    const auto cancelled = entry->decode(bytesOf(data), cancel);
    QVERIFY(!cancelled);
    QVERIFY2(cancelled.error().message.ends_with("cancelled"), cancelled.error().message.c_str());
}

void TestCodecs::appliesOrientation_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QTransform>("turn");
    QTest::addColumn<bool>("mirror");
    QTest::newRow("heif irot 90 anticlockwise")
        << "heif turned" << QTransform().rotate(-90) << false;
    QTest::newRow("avif irot 270, imir left-right")
        << "avif turned" << QTransform().rotate(-270) << true;
    QTest::newRow("jxl orientation 6") << "jxl turned" << QTransform().rotate(90) << false;
}

void TestCodecs::appliesOrientation()
{
    QFETCH(QString, file);
    QFETCH(QTransform, turn);
    QFETCH(bool, mirror);
    const QByteArray data = m_files.value(file);
    const DecoderEntry *entry = findDecoder(bytesOf(data));
    QVERIFY(entry);
    const QImage image = test::decodeOrWarn(entry->decode, data);
    QImage expected = source(QImage::Format_ARGB32, false).transformed(turn);
    if (mirror)
        expected = expected.mirrored(true, false);
    QCOMPARE(image.size(), expected.size());
    const auto info = entry->readInfo(bytesOf(data));
    QVERIFY(info);
    QCOMPARE(QSize(info->width, info->height), expected.size());
    const double mean = difference(image, expected).first;
    QVERIFY2(mean <= 3.0, qPrintable(QStringLiteral("mean difference %1").arg(mean)));
}

void TestCodecs::refusesHostileInput_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("partialAllowed");
    QTest::newRow("jxl claims 2^30 pixels")
        << jxlClaiming(32768) << "JXL: image of 32768 x 32768 pixels exceeds" << false;
    QTest::newRow("avif 65536 x 65536")
        << withExtents(m_files.value(QStringLiteral("avif alpha")), 65536, 65536)
        << "AVIF:" << false;
    QTest::newRow("heif grid of 65536 tiles")
        << withHugeGrid(m_files.value(QStringLiteral("heif alpha"))) << "HEIF:" << false;
    QTest::newRow("heif 65536 x 65536")
        << withExtents(m_files.value(QStringLiteral("heif alpha")), 65536, 65536)
        << "HEIF:" << false;
    // libheif allocates for a grid's own output size and the HEVC decoder for the stream's,
    // whatever the ispe boxes declare.
    QFile grid(QStringLiteral(OXLUME_SOURCE_DIR
                              "/tests/data/heif/regressions/grid-output-24037x23832.heic"));
    QVERIFY(grid.open(QIODevice::ReadOnly));
    QTest::newRow("heif grid output of 24037 x 23832")
        << grid.readAll() << "HEIF: grid of 24037 x 23832 exceeds the limit" << false;
    QTest::newRow("heif stream larger than its ispe")
        << withExtents(m_files.value(QStringLiteral("heif large")), 64, 48)
        << "HEIF: HEVC stream of 192 x 144 exceeds the declared 64 x 48" << false;
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it) {
        const QByteArray &file = it.value();
        const QString format =
            it.key().section(QLatin1Char(' '), 0, 0).toUpper() + QLatin1Char(':');
        QTest::newRow(qPrintable(it.key() + QStringLiteral(" cut in half")))
            << file.left(file.size() / 2) << format << true;
    }
}

void TestCodecs::refusesHostileInput()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    QFETCH(bool, partialAllowed);
    const DecoderEntry *entry = findDecoder(bytesOf(data));
    QVERIFY(entry);
    DecodeObserver observer;
    const auto r = entry->decode(bytesOf(data), observer);
    if (r && partialAllowed)
        return;
    QVERIFY(!r);
    QVERIFY2(QString::fromStdString(r.error().message).startsWith(message),
             r.error().message.c_str());
    QVERIFY2(!QString::fromStdString(r.error().message).contains(u'\n'), r.error().message.c_str());
}

QTEST_GUILESS_MAIN(TestCodecs)
#include "tst_codecs.moc"
