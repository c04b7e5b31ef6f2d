// Painting a 6000 x 4000 image fitted to the screen, as ratios against one memcpy of the
// source image in the same run. Targets: the area-averaged reduction to 1600 x 1067 within
// 4x, a repaint at the same size served from the cache (about free), the first paint of the
// fitted image into a 1920 x 1080 area within 3x.

#include "imaging/Imager.h"
#include "imaging/Scaler.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace oxlume::imaging;

namespace {

constexpr int kRuns = 5;

double bestSeconds(const std::function<void()> &prepare, const std::function<void()> &work)
{
    double best = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        prepare();
        const auto t0 = std::chrono::steady_clock::now();
        work();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

QImage photo(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    uint32_t state = 99;
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<uint32_t *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            row[x] = 0xff000000u | (uint32_t(x * 255 / w) << 16) | (uint32_t(y * 255 / h) << 8) | (state >> 24);
        }
    }
    return image;
}

void line(const char *name, double sec, double reference, double target)
{
    const double ratio = sec / reference;
    if (target > 0)
        std::printf("%-46s %8.2f ms  %6.3fx memcpy  (target %.0fx) %s\n", name, sec * 1e3, ratio, target,
                    ratio <= target ? "ok" : "MISSED");
    else
        std::printf("%-46s %8.2f ms  %6.3fx memcpy\n", name, sec * 1e3, ratio);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QImage source = photo(6000, 4000);
    const size_t bytes = size_t(source.sizeInBytes());
    std::vector<unsigned char> copyTarget(bytes, 1);
    const double memcpySec = bestSeconds([] {}, [&] { std::memcpy(copyTarget.data(), source.constBits(), bytes); });
    std::printf("reference: memcpy of 6000 x 4000 RGB32 (%.0f MB): %.2f ms\n", double(bytes) / 1e6, memcpySec * 1e3);

    const QSize fitted(1600, 1067);
    line("area-averaged reduction to 1600 x 1067", bestSeconds([] {}, [&] { areaAverageScale(source, fitted); }),
         memcpySec, 4);
    ScaledImageCache cache;
    cache.scaled(source, fitted);
    line("same size again, from the cache", bestSeconds([] {}, [&] { cache.scaled(source, fitted); }), memcpySec,
         0.01);
    line("for comparison: Qt smooth scaling (bilinear)",
         bestSeconds([] {}, [&] { (void)source.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); }),
         memcpySec, 0);

    // The widget as the window uses it, painted offscreen into a screen-sized image.
    TImager imager;
    imager.resize(1920, 1080);
    imager.show();
    imager.setPaintSizeMode(3);
    QImage screen(1920, 1080, QImage::Format_RGB32);
    const auto paint = [&] {
        QPainter p(&screen);
        imager.viewport()->render(&p);
    };
    int n = 0;
    const double first = bestSeconds(
        [&] {
            QImage fresh = source.copy(); // a new image each time: nothing cached
            imager.setBitmapList(fresh);
        },
        [&] {
            paint();
            ++n;
        });
    line("first paint, fitted into 1920 x 1080", first, memcpySec, 3);
    const int scaledBefore = imager.scaleCount();
    line("repaint at the same size", bestSeconds([] {}, paint), memcpySec, 0.2);
    std::printf("reductions made: %d for %d first paints, %d for the repaints\n", scaledBefore, n,
                imager.scaleCount() - scaledBefore);
    return 0;
}
