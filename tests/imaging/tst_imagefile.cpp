// Loading from the file system: what is refused before any decoder runs, and that the
// bytes a decoder sees are exactly the file's, also when loads follow each other.

#include "imaging/ImageFile.h"
#include "imaging/Limits.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

std::string bytesPath(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

bool writeBytes(const std::string &path, const QByteArray &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && ok;
}

QImage gradient(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x + y) % 256));
    return image;
}

class CancelledObserver : public DecodeObserver {
public:
    bool cancelled() const override { return true; }
};

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.rfind(prefix, 0) == 0;
}

} // namespace

class TestImageFile : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void refusedBeforeDecoding_data();
    void refusedBeforeDecoding();
    void fifoNeverBlocks();
    void fileOverTheLimit();
    void loadsAndDescribes();
    void bufferReuseKeepsFilesApart();
    void nonUtf8FileName();
    void cancelledLoadFails();
    void loadsOnSeveralThreads();

private:
    QTemporaryDir m_dir;
};

void TestImageFile::refusedBeforeDecoding_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("missing")
                             << QStringLiteral("cannot open: No such file or directory");
    QTest::newRow("folder named x.jpg")
        << QStringLiteral("folder") << QStringLiteral("not a regular file");
    QTest::newRow("device") << QStringLiteral("device") << QStringLiteral("not a regular file");
    QTest::newRow("empty file") << QStringLiteral("empty") << QStringLiteral("file is empty");
    QTest::newRow("text") << QStringLiteral("text") << QStringLiteral("unknown image format");
}

void TestImageFile::refusedBeforeDecoding()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    std::string path = bytesPath(m_dir.filePath(kind + QStringLiteral(".jpg")));
    if (kind == QLatin1String("folder"))
        QVERIFY(::mkdir(path.c_str(), 0755) == 0);
    else if (kind == QLatin1String("device"))
        path = "/dev/zero";
    else if (kind == QLatin1String("empty"))
        QVERIFY(writeBytes(path, {}));
    else if (kind == QLatin1String("text"))
        QVERIFY(writeBytes(path, QByteArrayLiteral("just some words, no picture\n")));

    DecodeObserver observer;
    const Result<QImage> image = loadImageFile(path, observer);
    QVERIFY(!image.ok());
    QCOMPARE(QString::fromStdString(image.error().message),
             QString::fromStdString(path + ": ") + reason);
    const Result<ImageInfo> info = readImageFileInfo(path);
    QVERIFY(!info.ok());
    QCOMPARE(info.error().message, image.error().message);
}

void TestImageFile::fifoNeverBlocks()
{
    const std::string path = bytesPath(m_dir.filePath(QStringLiteral("pipe.jpg")));
    QVERIFY(::mkfifo(path.c_str(), 0600) == 0);
    DecodeObserver observer;
    // Nobody writes to it: opening it for reading would wait for ever.
    const Result<QImage> image = loadImageFile(path, observer);
    QVERIFY(!image.ok());
    QCOMPARE(image.error().message, path + ": not a regular file");
}

void TestImageFile::fileOverTheLimit()
{
    // Sparse: takes no disk space, but its size is past the limit.
    const std::string path = bytesPath(m_dir.filePath(QStringLiteral("huge.png")));
    QVERIFY(writeBytes(path, pngBytes(gradient(4, 4))));
    QVERIFY(::truncate(path.c_str(), kMaxFileBytes + 1) == 0);
    DecodeObserver observer;
    const Result<QImage> image = loadImageFile(path, observer);
    QVERIFY(!image.ok());
    QCOMPARE(image.error().message, path + ": file of " + std::to_string(kMaxFileBytes + 1) +
                                        " bytes exceeds the limit of " +
                                        std::to_string(kMaxFileBytes) + " bytes");
}

void TestImageFile::loadsAndDescribes()
{
    const QImage source = gradient(37, 21);
    const std::string path = bytesPath(m_dir.filePath(QStringLiteral("picture.bmp"))); // by content
    QVERIFY(writeBytes(path, pngBytes(source)));
    DecodeObserver observer;
    const Result<LoadedImage> loaded = loadImageFileWithInfo(path, observer);
    QVERIFY2(loaded.ok(), loaded.ok() ? "" : loaded.error().message.c_str());
    QCOMPARE(loaded->image.format(), QImage::Format_RGB32);
    QCOMPARE(loaded->image, source);
    QCOMPARE(loaded->info.format, std::string("PNG"));
    QCOMPARE(loaded->info.width, 37);
    QCOMPARE(loaded->info.height, 21);
    const Result<ImageInfo> info = readImageFileInfo(path);
    QVERIFY(info.ok());
    QCOMPARE(info->width, 37);
}

void TestImageFile::bufferReuseKeepsFilesApart()
{
    // A large file, then a small one: the small load must see only its own bytes, never
    // the tail the large one left in the reused buffer.
    const QByteArray large = pngBytes(gradient(300, 200));
    const QByteArray small = pngBytes(gradient(3, 2));
    const std::string largePath = bytesPath(m_dir.filePath(QStringLiteral("large.png")));
    const std::string smallPath = bytesPath(m_dir.filePath(QStringLiteral("small.png")));
    QVERIFY(writeBytes(largePath, large));
    QVERIFY(writeBytes(smallPath, small));
    DecodeObserver observer;
    QCOMPARE(loadImageFile(largePath, observer).value(), gradient(300, 200));
    QCOMPARE(loadImageFile(smallPath, observer).value(), gradient(3, 2));
}

void TestImageFile::nonUtf8FileName()
{
    const std::string path = bytesPath(m_dir.path()) + "/\xff\xfe-name.png";
    QVERIFY(writeBytes(path, pngBytes(gradient(6, 5))));
    DecodeObserver observer;
    const Result<QImage> image = loadImageFile(path, observer);
    QVERIFY(image.ok());
    QCOMPARE(image->size(), QSize(6, 5));
    QVERIFY(startsWith(loadImageFile(path + "x", observer).error().message, path + "x: "));
    ::unlink(path.c_str()); // QDir cannot list this name, so the temporary folder could not either
}

void TestImageFile::cancelledLoadFails()
{
    const std::string path = bytesPath(m_dir.filePath(QStringLiteral("c.png")));
    QVERIFY(writeBytes(path, pngBytes(gradient(8, 8))));
    CancelledObserver observer;
    const Result<QImage> image = loadImageFile(path, observer);
    QVERIFY(!image.ok());
    QVERIFY(startsWith(image.error().message, path + ": "));
    QVERIFY(image.error().message.find("cancelled") != std::string::npos);
}

void TestImageFile::loadsOnSeveralThreads()
{
    // Each thread has its own read buffer; results must not mix.
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        paths.push_back(bytesPath(m_dir.filePath(QStringLiteral("t%1.png").arg(i))));
        QVERIFY(writeBytes(paths.back(), pngBytes(gradient(10 + i * 40, 10 + i))));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            DecodeObserver observer;
            for (int round = 0; round < 20; ++round) {
                const int which = (i + round) % 4;
                const Result<QImage> image = loadImageFile(paths[size_t(which)], observer);
                if (!image.ok() || image->size() != QSize(10 + which * 40, 10 + which))
                    ++wrong;
            }
        });
    for (std::thread &t : threads)
        t.join();
    QCOMPARE(wrong.load(), 0);
}

QTEST_MAIN(TestImageFile)
#include "tst_imagefile.moc"
