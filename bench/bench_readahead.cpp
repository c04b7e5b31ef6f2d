// Read-ahead and held keys with 6000 x 4000 JPEGs, against one decode measured in the same
// run (on this thread):
//   step     - the next image after a pause of at least one decode (so it was read ahead):
//              from ShowImage to the image painted in a 1920 x 1080 area, budget 0.25 decodes,
//              and to its final frame (no smoother paint to come), budget 0.15; quiet and
//              with the other core busy
//   held     - a key held down (a request every 40 ms, as the X server repeats at 25/s) for
//              3 s: images painted per second (previews included), budget >= 10; then the
//              time from the last request to its final frame on screen, budget 1.5 decodes
//   memory   - peak resident memory while stepping with read-ahead, budget 2 images + 60 MB;
//              resident memory after 10 s idle, budget 1 image + 60 MB

#include "imaging/ImageBuffer.h"
#include "imaging/ImageFile.h"
#include "viewer/Adjustments.h"
#include "viewer/ImageLoader.h"

#include "BenchCommon.h"
#include "BenchViewer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oxlume;
using oxlume::imaging::TImager;
using oxlume::imaging::WindowlessImager;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kFiles = 24;
constexpr double kImageMb = double(kW) * kH * 4 / (1 << 20);

struct Viewer : bench::FolderViewer {
    bench::PaintClock painted;

    explicit Viewer(const std::vector<std::string> &files)
        : FolderViewer(files, 1920, 1080)
    {
        painted.handOvers = [this] { return loader.handOverCount(); };
        painted.settled = [this] { return !imager1.isScalingInBackground(); };
        imager1.viewport()->installEventFilter(&painted);
        loader.startUpdates();
    }

    void waitUntil(const std::function<bool()> &done) { bench::waitUntil(done); }

    struct Step {
        double firstMs; // until the first paint of the image
        double finalMs; // until the paint that shows it at its final quality
    };
    // ShowImage, then until the image is handed over and painted at its final quality, as
    // the window's event loop runs it.
    Step stepTo(const std::string &path)
    {
        const int before = loader.handOverCount();
        const qint64 start = painted.clock.nsecsElapsed();
        loader.ShowImage(path);
        waitUntil([&] { return painted.handOversFinal > before; });
        return {double(painted.firstPaintedNs - start) / 1e6,
                double(painted.finalPaintedNs - start) / 1e6};
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const std::vector<std::string> paths =
        bench::linkedPhotos(dir.path(), bench::photoLike(kW, kH), kFiles);
    if (paths.empty()) {
        std::puts("could not write the photos (no JPEG writer among the Qt image plugins?)");
        return 1;
    }

    const auto decode = [&] {
        TImager imager;
        QElapsedTimer clock;
        clock.start();
        imager.LoadFile(paths[0]);
        return double(clock.nsecsElapsed()) / 1e6;
    };
    const double decodeMs = bench::medianOfMs(5, decode);
    std::printf("reference: one 6000 x 4000 decode            %8.1f ms\n", decodeMs);
    // The worker's figures below are fairest against this one.
    const double nicedMs = bench::medianOfMs(3, decode, true);
    std::printf("reference: the same at worker priority       %8.1f ms\n", nicedMs);

    std::vector<double> previews;
    for (int run = 0; run < 5; ++run) {
        imaging::DecodeObserver quiet;
        QElapsedTimer clock;
        clock.start();
        const bool made = bool(imaging::loadReducedJpeg(paths[0], 4'000'000, 350'000, quiet));
        previews.push_back(made ? double(clock.nsecsElapsed()) / 1e6 : -1);
    }
    std::printf("reference: one quick preview (1/8 scale)     %8.1f ms  (%.3f decodes)\n",
                bench::median(previews), bench::median(previews) / decodeMs);

    Viewer viewer(paths);
    imaging::trimImagePool();
    bench::resetPeak();
    const double baseMb = bench::statusMb("VmRSS:");

    // Stepping down after a pause of two decodes; the first step has nothing read ahead.
    const Viewer::Step cold = viewer.stepTo(paths[0]);
    std::printf("step without read-ahead (first image)       %8.1f ms  (%.2f decodes; final "
                "%.1f ms)\n",
                cold.firstMs, cold.firstMs / decodeMs, cold.finalMs);
    std::size_t next = 1;
    const auto stepping = [&](const char *label, double reference) {
        std::vector<double> first, final;
        for (int k = 0; k < 7; ++k, ++next) {
            QElapsedTimer pause;
            pause.start();
            viewer.waitUntil([&] { return pause.elapsed() > qint64(2 * reference); });
            viewer.waitUntil([&] { return viewer.loader.readAheadFile() == paths[next]; });
            const Viewer::Step s = viewer.stepTo(paths[next]);
            first.push_back(s.firstMs);
            final.push_back(s.finalMs);
        }
        std::printf("step%s: read ahead, key to painted  median %8.1f ms  (%.3f decodes, budget "
                    "0.25)\n",
                    label, bench::median(first), bench::median(first) / reference);
        std::printf("step%s: read ahead, key to final    median %8.1f ms  (%.3f decodes, budget "
                    "0.15)  range %.1f-%.1f\n",
                    label, bench::median(final), bench::median(final) / reference,
                    *std::min_element(final.begin(), final.end()),
                    *std::max_element(final.begin(), final.end()));
    };
    stepping("", decodeMs);
    const double peakMb = bench::statusMb("VmHWM:");
    {
        bench::BusyCore busy;
        const double busyDecodeMs = bench::medianOfMs(5, decode);
        std::printf("reference: one decode, other core busy       %8.1f ms\n", busyDecodeMs);
        stepping(", busy", busyDecodeMs);
    }
    std::printf(
        "memory: peak while stepping                 %8.1f MB  (budget %.1f = 2 x %.1f + 60;"
        " %.1f at start)\n",
        peakMb, 2 * kImageMb + 60, kImageMb, baseMb);

    // A key held down for 3 s, through files not read ahead.
    viewer.stepTo(paths[10]);
    const int previewsBefore = viewer.loader.previewCount();
    const int fullBefore = viewer.loader.handOverCount();
    QElapsedTimer clock;
    clock.start();
    int k = 11;
    constexpr int kHeldMs = 3000;
    for (int tick = 0; tick * 40 < kHeldMs; ++tick, ++k) {
        viewer.waitUntil([&] { return clock.elapsed() >= tick * 40; });
        viewer.loader.ShowImage(paths[std::size_t(11 + (k - 11) % 12)]);
        // Painted as the window would after each hand-over.
        viewer.imager1.viewport()->update();
    }
    const qint64 releasedAt = viewer.painted.clock.nsecsElapsed();
    const int painted =
        viewer.loader.previewCount() - previewsBefore + viewer.loader.handOverCount() - fullBefore;
    viewer.waitUntil(
        [&] { return viewer.loader.isWorkerParked() && viewer.imager1.shownSize().width() == kW; });
    // Until the paint that shows it.
    const int whole = viewer.loader.handOverCount();
    viewer.waitUntil([&] {
        return viewer.painted.handOversFinal >= whole && viewer.painted.finalPaintedNs > releasedAt;
    });
    const double after = double(viewer.painted.finalPaintedNs - releasedAt) / 1e6;
    std::printf(
        "held key: images painted per second         %8.1f     (budget >= 10; %d previews)\n",
        painted * 1000.0 / kHeldMs, viewer.loader.previewCount() - previewsBefore);
    std::printf(
        "held key: last image final after release    %8.1f ms  (%.2f decodes, %.2f at worker"
        " priority; budget 1.5)\n",
        after, after / decodeMs, after / nicedMs);

    QElapsedTimer idle;
    idle.start();
    viewer.waitUntil([&] { return idle.elapsed() > ImageLoader::kIdleReleaseMs + 500; });
    const double idleMb = bench::statusMb("VmRSS:");
    std::printf(
        "memory: resident after %d s idle             %8.1f MB  (budget %.1f = %.1f + 60)\n",
        ImageLoader::kIdleReleaseMs / 1000 + 0, idleMb, kImageMb + 60, kImageMb);
    std::fflush(stdout);
    viewer.loader.prepareForExit();
    _exit(0);
}
