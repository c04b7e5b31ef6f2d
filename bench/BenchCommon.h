#pragma once
// Timing and test-image helpers shared by the benchmarks. Every figure a benchmark prints is
// measured in the same run as its reference, so these only need to be consistent, not exact.

#include "imaging/ImageBuffer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

inline double nowMs()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// VmHWM or VmRSS of this process, in MB.
inline double statusMb(const char *key)
{
    FILE *f = std::fopen("/proc/self/status", "re");
    char line[256];
    long kb = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, std::strlen(key)) == 0)
            std::sscanf(line + std::strlen(key) + 1, "%ld", &kb);
    if (f)
        std::fclose(f);
    return double(kb) / 1024;
}

// Starts VmHWM again from the current resident size.
inline void resetPeak()
{
    FILE *f = std::fopen("/proc/self/clear_refs", "we");
    if (f) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median wall time of `runs` calls, in ms.
inline double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double start = nowMs();
        work();
        times.push_back(nowMs() - start);
    }
    return median(std::move(times));
}

// Median of `runs` calls of timed, each of which times its own work and returns ms, so that
// setting up and tearing down stay out of the figure. With atWorkerPriority each call runs on
// a thread one step below normal priority, as the viewer's worker does: on a busy machine the
// two differ.
inline double medianOfMs(int runs, const std::function<double()> &timed,
                         bool atWorkerPriority = false)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        if (!atWorkerPriority) {
            times.push_back(timed());
            continue;
        }
        std::thread thread([&] {
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()),
                        getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())) + 1);
            times.push_back(timed());
        });
        thread.join();
    }
    return median(std::move(times));
}

// Best wall time of `runs` calls of work, each after an untimed prepare, in ms.
inline double bestMs(int runs, const std::function<void()> &work,
                     const std::function<void()> &prepare = {})
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        const double start = nowMs();
        work();
        best = std::min(best, nowMs() - start);
    }
    return best;
}

// Best wall time in ms of a shell command run `runs` times (the whole process, as a user
// would wait for it), or -1 when it cannot run or fails.
inline double commandBestMs(const std::string &command, int runs = 3)
{
    const std::string quiet = command + " >/dev/null 2>&1";
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = nowMs();
        if (std::system(quiet.c_str()) != 0)
            return -1;
        best = std::min(best, nowMs() - start);
    }
    return best;
}

// ImageMagick decoding a file to 8-bit RGBA that is thrown away; -1 when it cannot.
inline double imageMagickMs(const std::string &path)
{
    return commandBestMs("convert '" + path + "' -depth 8 rgba:/dev/null");
}

// The reference most benchmarks divide by: one memcpy of the image's pixels into memory
// already touched (so no page faults), best of `runs`, in ms. Prints what it measured.
inline double memcpyReferenceMs(const QImage &image, int runs)
{
    const size_t bytes = size_t(image.sizeInBytes());
    std::vector<unsigned char> target(bytes, 1);
    const double ms = bestMs(runs, [&] { std::memcpy(target.data(), image.constBits(), bytes); });
    std::printf("reference: memcpy of %d x %d RGB32 (%.0f MB): %.2f ms\n", image.width(),
                image.height(), double(bytes) / 1e6, ms);
    return ms;
}

// A photo-like RGB32 picture: gradients in red and green, noise in blue from a fixed seed.
inline QImage noisyGradient(int w, int h, uint32_t seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    uint32_t state = seed;
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<uint32_t *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            row[x] = 0xff000000u | (uint32_t(x * 255 / w) << 16) | (uint32_t(y * 255 / h) << 8) |
                     (state >> 24);
        }
    }
    return image;
}

// Smooth RGB32 gradients with a little noise from a fixed seed: compresses roughly like a
// photo.
inline QImage photoLike(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    std::mt19937 random(7);
    for (int y = 0; y < h; ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int n = int(random() % 9) - 4;
            row[x] = qRgb(std::clamp(x * 255 / w + n, 0, 255), std::clamp(y * 255 / h + n, 0, 255),
                          std::clamp(((x + y) / 31) % 256 + n, 0, 255));
        }
    }
    return image;
}

// A folder of `count` photos photo00.jpg, photo01.jpg, ...: the picture saved once as a JPEG
// and hard links to it, which cost no disk and keep every path distinct. Empty when the
// JPEG cannot be written or a link cannot be made.
inline std::vector<std::string> linkedPhotos(const QString &folder, const QImage &picture,
                                             int count)
{
    std::vector<std::string> paths;
    for (int k = 0; k < count; ++k) {
        const QString name =
            QStringLiteral("%1/photo%2.jpg").arg(folder).arg(k, 2, 10, QLatin1Char('0'));
        const std::string path = QFile::encodeName(name).toStdString();
        if (k == 0 ? !picture.save(name, "JPG", 90) : ::link(paths[0].c_str(), path.c_str()) != 0)
            return {};
        paths.push_back(path);
    }
    return paths;
}

// A copy in one of the pooled image buffers, as every image the viewer decodes or transforms
// lives in (QImage::copy would give plain heap memory of 4 KB pages, which the viewer's
// images never are).
inline QImage pooledCopy(const QImage &source)
{
    QImage image =
        oxlume::imaging::allocateImage("bench", source.width(), source.height(), source.format())
            .value();
    for (int y = 0; y < source.height(); ++y)
        std::memcpy(image.scanLine(y), source.constScanLine(y), size_t(source.bytesPerLine()));
    return image;
}

// Runs the event loop, asleep between events as a window's is, until done() holds; it is
// asked every millisecond. (A loop of processEvents calls would spin, and take from the
// worker the core it shares on a one-core run.)
inline void waitUntil(const std::function<bool()> &done)
{
    if (done())
        return;
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(1);
    loop.exec();
}

// Until the imaging control's reduction on the worker has landed, with the event loop asleep
// between events: a paint that starts while one runs would measure both.
template<typename Imager>
void waitForBackgroundScaling(const Imager &imager)
{
    while (imager.isScalingInBackground())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

inline std::vector<unsigned char> readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<unsigned char> bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

inline void writeFile(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// Keeps one processor busy while it lives, as a build or a browser would: figures "with the
// other core busy" are measured beside one.
class BusyCore {
public:
    BusyCore()
        : m_thread([this] {
            while (!m_stop.load(std::memory_order_relaxed)) {
            }
        })
    {
    }
    ~BusyCore()
    {
        m_stop = true;
        m_thread.join();
    }
    BusyCore(const BusyCore &) = delete;
    BusyCore &operator=(const BusyCore &) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// When an image area last finished painting, how many hand-overs the loader had made by then,
// and the same for the last paint that was final (settled() true after it: no smoother
// picture still to come). Installed on the area's viewport, it passes the paint on itself
// (through the scroll area's own filter), so that it can note both after it.
class PaintClock : public QObject {
public:
    QElapsedTimer clock;
    qint64 lastPaintedNs = -1;
    int handOversPainted = -1;
    qint64 firstPaintedNs = -1; // the first paint after the latest hand-over
    qint64 finalPaintedNs = -1;
    int handOversFinal = -1;
    std::function<int()> handOvers;
    std::function<bool()> settled;
    PaintClock() { clock.start(); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        watched->removeEventFilter(this);
        QCoreApplication::sendEvent(watched, event);
        watched->installEventFilter(this);
        lastPaintedNs = clock.nsecsElapsed();
        const int count = handOvers ? handOvers() : -1;
        if (count != handOversPainted)
            firstPaintedNs = lastPaintedNs;
        handOversPainted = count;
        if (!settled || settled()) {
            finalPaintedNs = lastPaintedNs;
            handOversFinal = handOversPainted;
        }
        return true;
    }
};

// Settings of a user who has seen the start-up tips: a benchmark measures the viewer, not the
// Tip of the Day, whose modal dialog would also hold up a window driven from this process.
inline void writeQuietSettings(const std::string &configHome)
{
    const std::string folder = configHome + "/oxlume";
    std::system(("mkdir -p '" + folder + "'").c_str());
    std::ofstream(folder + "/user.reg")
        << "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Kestrune\\Marzel]\n"
           "\"Show Tips\"=dword:00000000\n";
}

} // namespace bench
