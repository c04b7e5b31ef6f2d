// Stepping through ten files of a few hundred bytes whose headers each ask for the largest
// image allowed (2^28 pixels), made here and never stored, in a 1200 x 800 image area with
// read-ahead on, as the window runs it. Against one image of that size, allocated and
// written in the same run:
//   peak     - peak resident memory of the whole process, budget: the image plus 10 % plus
//              250 MB of ordinary working set (ratio <= 1)
//   per file - from ShowImage to the image (or its failure) painted and reduced, budget 5 s
// Each file must show, show reduced, or fail with its one-line reason.

#include "imaging/ImageBuffer.h"
#include "imaging/Limits.h"
#include "viewer/Adjustments.h"
#include "viewer/ImageLoader.h"

#include "BenchCommon.h"
#include "BenchViewer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace oxlume;
using oxlume::imaging::TImager;
using oxlume::imaging::WindowlessImager;

namespace {

void put16(QByteArray &b, int at, int v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
}

void put32(QByteArray &b, int at, qint64 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

// A PCX header for width x height, then a little run-length data: the rest is filled in.
QByteArray tinyPcx(int width, int height, int bpp, int planes)
{
    QByteArray b(128, '\0');
    b[0] = 0x0A;
    b[1] = 5;
    b[2] = 1;
    b[3] = char(bpp);
    put16(b, 8, width - 1);
    put16(b, 10, height - 1);
    b[65] = char(planes);
    const int bytesPerLine = ((width * bpp + 7) / 8 + 1) & ~1;
    put16(b, 66, bytesPerLine);
    for (int i = 0; i < 100; ++i)
        b.append("\xC9\x5A", 2);
    return b;
}

// A BMP header for width x height at bpp, with no pixel data after it.
QByteArray tinyBmp(int width, int height, int bpp)
{
    const int palette = bpp <= 8 ? 4 << bpp : 0;
    QByteArray b(54 + palette, '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, b.size() + 64);
    put32(b, 10, b.size());
    put32(b, 14, 40);
    put32(b, 18, width);
    put32(b, 22, height);
    put16(b, 26, 1);
    put16(b, 28, bpp);
    for (int i = 0; i < 64; ++i)
        b.append(char(i * 4));
    return b;
}

struct Viewer : bench::FolderViewer {
    int failures = 0;

    explicit Viewer(const std::vector<std::string> &files)
        : FolderViewer(files, 1200, 800)
    {
        QObject::connect(&loader, &ImageLoader::loadFailed, &loader,
                         [this](const std::string &path, const QString &reason) {
                             ++failures;
                             std::printf("  %s: %s\n", path.c_str(), qPrintable(reason));
                         });
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const std::vector<std::pair<const char *, QByteArray>> made{
        {"a.pcx", tinyPcx(16384, 16384, 8, 3)}, {"b.pcx", tinyPcx(65534, 4096, 8, 1)},
        {"c.pcx", tinyPcx(4096, 65535, 8, 4)},  {"d.pcx", tinyPcx(16384, 16384, 1, 1)},
        {"e.pcx", tinyPcx(16384, 16384, 1, 4)}, {"f.bmp", tinyBmp(16384, 16384, 24)},
        {"g.bmp", tinyBmp(16384, 16384, 32)},   {"h.bmp", tinyBmp(65535, 4096, 8)},
        {"i.bmp", tinyBmp(4096, 65535, 4)},     {"j.pcx", tinyPcx(16384, 16384, 2, 1)},
    };
    std::vector<std::string> paths;
    for (const auto &[name, bytes] : made) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
        paths.push_back(QFile::encodeName(f.fileName()).toStdString());
        std::printf("%s: %lld bytes\n", name, static_cast<long long>(bytes.size()));
    }

    // The reference: one image of the largest size, written through.
    const double baseMb = bench::statusMb("VmRSS:");
    double imageMb = 0;
    {
        Result<QImage> image = imaging::allocateImage("reference", 16384, 16384);
        if (!image)
            return 1;
        image.value().fill(0u);
        imageMb = bench::statusMb("VmRSS:") - baseMb;
    }
    imaging::trimImagePool();
    std::printf("reference: one image of 2^28 pixels           %8.0f MB  (process before it: "
                "%.0f MB)\n",
                imageMb, baseMb);

    Viewer viewer(paths);
    double slowest = 0;
    double peakMb = 0;
    for (const std::string &path : paths) {
        const int before = viewer.loader.handOverCount();
        bench::resetPeak();
        QElapsedTimer clock;
        clock.start();
        viewer.loader.ShowImage(path);
        bench::waitUntil([&] {
            return viewer.loader.handOverCount() > before &&
                   !viewer.imager1.isScalingInBackground();
        });
        QCoreApplication::processEvents();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        slowest = std::max(slowest, ms);
        const double stepPeakMb = bench::statusMb("VmHWM:");
        peakMb = std::max(peakMb, stepPeakMb);
        std::printf("  %-6s %6.0f ms, images held %5.0f MB, resident %5.0f MB, peak %5.0f MB\n",
                    path.substr(path.size() - 5).c_str(), ms,
                    double(imaging::liveImageBytes()) / (1 << 20), bench::statusMb("VmRSS:"),
                    stepPeakMb);
    }
    const double boundMb = imageMb * 1.1 + 250;
    std::printf("peak resident                                 %8.0f MB  (%.2f images; %.2f of "
                "the bound %.0f MB)\n",
                peakMb, peakMb / imageMb, peakMb / boundMb, boundMb);
    std::printf("slowest file                                  %8.0f ms  (%.2f of 5 s)\n", slowest,
                slowest / 5000);
    std::printf("failed with a reason                          %8d of %zu\n", viewer.failures,
                paths.size());
    return 0;
}
