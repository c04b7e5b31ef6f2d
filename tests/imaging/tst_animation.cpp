// Animated GIF, WebP and APNG: frames in order with their delays and the file's loop count,
// hostile animations refused frame by frame, and the player handing frames over in time.

#include "imaging/Animation.h"
#include "imaging/AnimationPlayer.h"

#include "common/DecoderTest.h"
#include "common/ImageMagick.h"

#include <QBuffer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

QByteArray pngChunk(const char *type, const QByteArray &payload)
{
    QByteArray body = QByteArray(type, 4) + payload;
    QByteArray out(4, '\0');
    qToBigEndian(quint32(payload.size()), out.data());
    QByteArray crc(4, '\0');
    qToBigEndian(
        quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()))),
        crc.data());
    return out + body + crc;
}

QByteArray be32(quint32 v)
{
    QByteArray b(4, '\0');
    qToBigEndian(v, b.data());
    return b;
}

// The concatenated IDAT payload of a PNG that Qt wrote.
QByteArray idatOf(const QImage &image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    QByteArray data;
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const qsizetype length = qFromBigEndian<quint32>(png.constData() + at);
        if (png.mid(at + 4, 4) == "IDAT")
            data += png.mid(at + 8, length);
        at += length + 12;
    }
    return data;
}

struct ApngFrame {
    QImage image;
    int x, y, delayMs;
    int blend; // 0 source, 1 over
};

// An APNG of canvas size with the given frames (the first is also the default image).
QByteArray apng(QSize canvas, const QList<ApngFrame> &frames, int plays)
{
    QByteArray ihdr = be32(quint32(canvas.width())) + be32(quint32(canvas.height()));
    ihdr += QByteArray::fromHex("0806000000"); // 8-bit RGBA
    QByteArray out = QByteArray::fromHex("89504e470d0a1a0a") + pngChunk("IHDR", ihdr);
    out += pngChunk("acTL", be32(quint32(frames.size())) + be32(quint32(plays)));
    quint32 sequence = 0;
    for (const ApngFrame &f : frames) {
        // Sequence, size, offset, delay in thousandths of a second, dispose none, blend.
        const QByteArray fctl = be32(sequence++) + be32(quint32(f.image.width())) +
                                be32(quint32(f.image.height())) + be32(quint32(f.x)) +
                                be32(quint32(f.y)) + be32(quint32(f.delayMs) << 16 | 1000).left(4) +
                                char(0) + char(f.blend);
        out += pngChunk("fcTL", fctl);
        const QByteArray data = idatOf(f.image.convertToFormat(QImage::Format_RGBA8888));
        out += &f == &frames.first() ? pngChunk("IDAT", data)
                                     : pngChunk("fdAT", be32(sequence++) + data);
    }
    return out + pngChunk("IEND", {});
}

QImage filled(QSize size, QRgb colour)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

// A GIF of count 1 x 1 frames with no delay, looping for ever, written byte by byte.
QByteArray manyFrameGif(int count)
{
    QByteArray gif = QByteArray::fromHex("4749463839610100010080000000ff00ff0000"
                                         "21ff0b4e45545343415045322e300301000000");
    const QByteArray frame = QByteArray::fromHex("21f9040000000000" // delay 0
                                                 "2c00000000010001000002024401 00");
    for (int i = 0; i < count; ++i)
        gif += frame;
    return gif + char(0x3b);
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestAnimation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void playsFramesInOrder_data();
    void playsFramesInOrder();
    void refusesHostileFrames();
    void playerHandsOverFramesInTime();

private:
    QTemporaryDir m_dir;
    QString m_gif, m_webp;
};

void TestAnimation::initTestCase()
{
    const QString red = m_dir.filePath(QStringLiteral("red.png"));
    const QString blue = m_dir.filePath(QStringLiteral("blue.png"));
    QVERIFY(filled({16, 12}, qRgb(255, 0, 0)).save(red));
    QVERIFY(filled({16, 12}, qRgb(0, 0, 255)).save(blue));
    // ImageMagick's delays are in hundredths of a second.
    m_gif = m_dir.filePath(QStringLiteral("anim.gif"));
    if (test::hasImageMagick() &&
        !test::imageMagick({QStringLiteral("-delay"), QStringLiteral("5"), red,
                            QStringLiteral("-delay"), QStringLiteral("0"), blue,
                            QStringLiteral("-loop"), QStringLiteral("0"), m_gif}))
        m_gif.clear();
    m_webp = m_dir.filePath(QStringLiteral("anim.webp"));
    if (QStandardPaths::findExecutable(QStringLiteral("img2webp")).isEmpty() ||
        !run(QStringLiteral("img2webp"),
             {QStringLiteral("-loop"), QStringLiteral("2"), QStringLiteral("-lossless"),
              QStringLiteral("-d"), QStringLiteral("30"), red, QStringLiteral("-d"),
              QStringLiteral("40"), blue, QStringLiteral("-o"), m_webp}))
        m_webp.clear();
}

void TestAnimation::playsFramesInOrder_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QRgb>>("centres"); // the canvas centre of each frame in turn
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<int>("plays");
    const QList<QRgb> redBlue{qRgb(255, 0, 0), qRgb(0, 0, 255)};
    if (!m_gif.isEmpty())
        // Qt's reader already gives a delay of 0 as 100 ms.
        QTest::newRow("gif") << readAll(m_gif) << redBlue << QList<int>{50, 100} << 0;
    if (!m_webp.isEmpty())
        QTest::newRow("webp") << readAll(m_webp) << redBlue << QList<int>{30, 40} << 2;
    // A red canvas, then a blue square drawn over its middle, then half-transparent green
    // blended over that.
    const QSize canvas(16, 12);
    QTest::newRow("apng") << apng(canvas,
                                  {{filled(canvas, qRgb(255, 0, 0)), 0, 0, 70, 0},
                                   {filled({4, 4}, qRgb(0, 0, 255)), 6, 4, 10, 0},
                                   {filled({2, 2}, qRgba(0, 255, 0, 0)), 7, 5, 0, 1}},
                                  3)
                          << QList<QRgb>{qRgb(255, 0, 0), qRgb(0, 0, 255), qRgb(0, 0, 255)}
                          << QList<int>{70, 10, 0} << 3;
}

void TestAnimation::playsFramesInOrder()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<QRgb>, centres);
    QFETCH(QList<int>, delays);
    QFETCH(int, plays);
    const auto head = test::bytesOf(data).first(std::min<size_t>(size_t(data.size()), 4096));
    QVERIFY(FrameSource::mayBeAnimated(head));
    auto source = FrameSource::open(data);
    QVERIFY(source);
    QCOMPARE(source->plays(), plays);
    // Twice through, to see the rewind start from a clean canvas.
    for (int loop = 0; loop < 2; ++loop) {
        for (qsizetype i = 0; i < centres.size(); ++i) {
            QVERIFY(!source->atEnd());
            const auto frame = source->next();
            QVERIFY2(frame, frame ? "" : frame.error().message.c_str());
            QCOMPARE(frame->image.format(), QImage::Format_ARGB32);
            QCOMPARE(frame->image.pixel(8, 6), centres[i]);
            QCOMPARE(frame->delayMs, delays[i]);
        }
        QVERIFY(source->atEnd());
        source->rewind();
    }
}

void TestAnimation::refusesHostileFrames()
{
    // A frame whose rectangle leaves the canvas fails alone; the ones before it play.
    const QByteArray outside = apng({16, 12},
                                    {{filled({16, 12}, qRgb(255, 0, 0)), 0, 0, 0, 0},
                                     {filled({8, 8}, qRgb(0, 0, 255)), 12, 0, 0, 0}},
                                    0);
    auto source = FrameSource::open(outside);
    QVERIFY(source);
    QVERIFY(source->next());
    const auto bad = source->next();
    QVERIFY(!bad);
    QCOMPARE(QString::fromStdString(bad.error().message),
             QStringLiteral("APNG: frame 2 of 8 x 8 at 12, 0 leaves the canvas of 16 x 12"));
    // A canvas past the animation bound (four images within the limit of one) stays a still.
    QVERIFY(!FrameSource::open(apng(
        {65535, 4096}, {{filled({1, 1}, 0), 0, 0, 0, 0}, {filled({1, 1}, 0), 0, 0, 0, 0}}, 0)));
    // A still PNG or JPEG is no animation, from its head alone.
    QVERIFY(!FrameSource::mayBeAnimated(test::bytesOf(idatOf(filled({4, 4}, 0)))));
    QVERIFY(!FrameSource::open(readAll(m_dir.filePath(QStringLiteral("red.png")))));
    // 100,000 frames: opened without decoding them all.
    auto many = FrameSource::open(manyFrameGif(100000));
    QVERIFY(many);
    QVERIFY(many->next());
    // Delays under 20 ms (0 included) are shown for 100 ms, as browsers do.
    for (auto [file, shown] : {std::pair{0, 100}, {19, 100}, {20, 20}})
        QCOMPARE(shownDelayMs(file), shown);
}

void TestAnimation::playerHandsOverFramesInTime()
{
    if (m_gif.isEmpty())
        QSKIP("ImageMagick is not installed");
    AnimationPlayer player;
    QList<QRgb> seen;
    connect(&player, &AnimationPlayer::frameReady, this, [&](const QImage &frame) {
        if (seen.isEmpty() || seen.last() != frame.pixel(8, 6))
            seen.append(frame.pixel(8, 6));
    });
    player.play(m_gif.toStdString());
    // Blue after 50 ms, red again 100 ms later (a delay of 0 counts as 100 ms).
    QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 2, 5000);
    QCOMPARE(seen.mid(0, 2), (QList<QRgb>{qRgb(0, 0, 255), qRgb(255, 0, 0)}));
    player.stop();
    QVERIFY(!player.isPlaying());
    // A still image plays nothing.
    player.play(m_dir.filePath(QStringLiteral("red.png")).toStdString());
    QTRY_VERIFY(!player.isPlaying());
}

QTEST_MAIN(TestAnimation)
#include "tst_animation.moc"
