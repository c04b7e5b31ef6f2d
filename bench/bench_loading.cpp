// Background loading of 6000 x 4000 JPEGs, against the decode time of one image measured in
// the same run (loaded straight into an imaging control on this thread):
//   gap      - the longest time the user-interface thread goes without serving its event
//              loop (a 1 ms timer) while the worker decodes, hands over and the image is
//              adjusted (panel hidden); the budget is 20 ms. Then again with the image
//              painted in a 1200 x 800 area (the first smooth reduction of a large image)
//   twenty   - twenty selections in one second through a folder of such files: time from
//              the last selection until its image is on screen, as a ratio of one decode
//              (budget 1.5)
//   fg gap   - the same gap for a load on the user-interface thread, for contrast
//   sight    - 6, 24 and 96 MP JPEGs fitted into the 1200 x 800 area: from ShowImage to the
//              first paint and to the final frame (no smoother paint to come), medians of 7,
//              as fractions of one whole decode; quiet and with the other core busy

#include "viewer/Adjustments.h"
#include "viewer/ImageLoader.h"

#include "BenchCommon.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oxlume;
using oxlume::imaging::TImager;
using oxlume::imaging::WindowlessImager;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kRuns = 5;
constexpr int kSelections = 20;

// Measures the longest pause between 1 ms ticks while it runs.
class GapMeter {
public:
    GapMeter()
    {
        m_timer.setInterval(1);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 t = m_clock.nsecsElapsed();
            m_longest = std::max(m_longest, t - m_last);
            m_last = t;
        });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    double stopMs()
    {
        m_timer.stop();
        return double(m_longest) / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

struct Viewer {
    TImager imager1;
    WindowlessImager decoder;
    WindowlessImager unadjusted;
    TOptions options;
    TAdjustmentState adjustments; // panel hidden
    ImageLoader loader;
    bench::PaintClock painted;

    Viewer()
        : loader(imager1, decoder, unadjusted, options, ImageLoader::hooksFor(imager1, [this] {
                     ApplyImageAdjustments(adjustments, imager1, unadjusted);
                 }))
    {
        imager1.resize(1200, 800);
        imager1.show();
        loader.startUpdates();
        painted.handOvers = [this] { return loader.handOverCount(); };
        painted.settled = [this] { return !imager1.isScalingInBackground(); };
        imager1.viewport()->installEventFilter(&painted);
    }
};

// Time to the first paint and to the final frame of fitted JPEGs of w x h, against a whole
// decode on this thread, quiet and with the other core busy.
void firstSight(Viewer &viewer, const QString &folder, int w, int h)
{
    const std::vector<std::string> pair = bench::linkedPhotos(folder, bench::photoLike(w, h), 2);
    if (pair.empty())
        return;
    const auto decode = [&] {
        TImager imager;
        QElapsedTimer clock;
        clock.start();
        imager.LoadFile(pair[0]);
        return double(clock.nsecsElapsed()) / 1e6;
    };
    int shown = 0; // alternates between the two, so that every request is a new one
    for (const bool busy : {false, true}) {
        std::unique_ptr<bench::BusyCore> load;
        if (busy)
            load = std::make_unique<bench::BusyCore>();
        const double decodeMs = bench::medianOfMs(3, decode);
        std::vector<double> first, final;
        for (int run = 0; run < 7; ++run) {
            const int before = viewer.loader.handOverCount();
            const qint64 start = viewer.painted.clock.nsecsElapsed();
            viewer.loader.ShowImage(pair[std::size_t(shown++ % 2)]);
            bench::waitUntil([&] { return viewer.painted.handOversFinal > before; });
            first.push_back(double(viewer.painted.firstPaintedNs - start) / 1e6);
            final.push_back(double(viewer.painted.finalPaintedNs - start) / 1e6);
        }
        std::printf("sight %3d MP%s: first paint %7.1f ms, final %7.1f ms  (%.3f / %.3f of a "
                    "%.1f ms decode)\n",
                    w * h / 1'000'000, busy ? ", busy" : "       ", bench::median(first),
                    bench::median(final), bench::median(first) / decodeMs,
                    bench::median(final) / decodeMs, decodeMs);
    }
    viewer.loader.ShowImage(std::string());
}

// Runs the event loop until the loader has handed over `count` images and painted.
void waitForHandOvers(const Viewer &viewer, int count)
{
    bench::waitUntil([&] { return viewer.loader.handOverCount() >= count; });
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    // A folder of such photos, one for each selection and the first.
    const std::vector<std::string> paths =
        bench::linkedPhotos(dir.path(), bench::photoLike(kW, kH), kSelections + 1);
    if (paths.empty()) {
        std::puts("could not write the photos (no JPEG writer among the Qt image plugins?)");
        return 1;
    }

    // Reference: one decode on this thread, and the same at the worker's priority.
    const auto decode = [&] {
        TImager imager;
        QElapsedTimer clock;
        clock.start();
        imager.LoadFile(paths[0]);
        return double(clock.nsecsElapsed()) / 1e6;
    };
    const double decodeMs = bench::medianOfMs(kRuns, decode);
    std::printf("reference: one 6000 x 4000 decode       %8.1f ms\n", decodeMs);
    std::printf("reference: the same at worker priority   %8.1f ms\n",
                bench::medianOfMs(kRuns, decode, true));

    Viewer viewer;
    GapMeter meter;
    // The machine's own scheduling noise: the same meter with nothing to do.
    {
        std::vector<double> idle;
        for (int run = 0; run < kRuns; ++run) {
            meter.start();
            QElapsedTimer clock;
            clock.start();
            bench::waitUntil([&] { return clock.elapsed() >= qint64(decodeMs); });
            idle.push_back(meter.stopMs());
        }
        std::printf("reference: longest pause when idle       %8.1f ms\n", bench::median(idle));
        // The user-interface thread's share of a load, timed directly.
        TImager decoded;
        decoded.LoadFile(paths[0]);
        std::vector<double> share;
        for (int run = 0; run < kRuns; ++run) {
            QElapsedTimer clock;
            clock.start();
            viewer.imager1.setBitmapList(decoded.BitmapList());
            viewer.unadjusted.setBitmapList(nullptr);
            ApplyImageAdjustments(viewer.adjustments, viewer.imager1, viewer.unadjusted);
            share.push_back(double(clock.nsecsElapsed()) / 1e6);
            viewer.imager1.setBitmapList(nullptr);
        }
        std::printf("hand-over work on the UI thread          %8.3f ms\n", bench::median(share));
    }
    for (const bool painted : {false, true}) {
        viewer.imager1.setVisible(painted);
        std::vector<double> gaps;
        for (int run = 0; run < kRuns; ++run) {
            const int before = viewer.loader.handOverCount();
            meter.start();
            viewer.loader.ShowImage(paths[std::size_t(viewer.loader.handOverCount() % 2)]);
            waitForHandOvers(viewer, before + 1);
            gaps.push_back(meter.stopMs());
        }
        const double gap = bench::median(gaps);
        std::printf("gap%s %8.1f ms  (%.2f of the 20 ms budget, %.3f of a decode)\n",
                    painted ? ", painting the image too:         "
                            : ": longest pause of the event loop",
                    gap, gap / 20.0, gap / decodeMs);
    }

    std::vector<double> lastShown;
    for (int run = 0; run < 3; ++run) {
        const int before = viewer.loader.handOverCount();
        viewer.loader.ShowImage(std::string());
        waitForHandOvers(viewer, before + 1);
        QElapsedTimer clock;
        clock.start();
        for (int k = 1; k <= kSelections; ++k) {
            bench::waitUntil([&] { return clock.elapsed() >= (k - 1) * 1000 / kSelections; });
            viewer.loader.ShowImage(paths[std::size_t(k)]);
        }
        const qint64 lastAt = clock.nsecsElapsed();
        bench::waitUntil([&] {
            return viewer.loader.RequestedFile() == paths[kSelections] &&
                   viewer.loader.isWorkerParked() && viewer.imager1.BitmapListCount() != 0;
        });
        QCoreApplication::processEvents();
        lastShown.push_back(double(clock.nsecsElapsed() - lastAt) / 1e6);
    }
    const double last = bench::median(lastShown);
    std::printf("twenty: last selection on screen after   %8.1f ms  (%.2f decodes, budget 1.5)\n",
                last, last / decodeMs);

    viewer.imager1.setVisible(true);
    for (const QSize size : {QSize(3000, 2000), QSize(6000, 4000), QSize(12000, 8000)}) {
        QTemporaryDir sizes;
        firstSight(viewer, sizes.path(), size.width(), size.height());
    }

    viewer.options.UseWorkThread = false;
    viewer.loader.ShowImage(std::string());
    meter.start();
    QTimer::singleShot(5, [&] { viewer.loader.ShowImage(paths[0]); });
    QElapsedTimer clock;
    clock.start();
    // Spinning is fine here: no worker shares the core, and the decode runs in these calls.
    while (clock.elapsed() < 50 + qint64(decodeMs) * 2)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 2);
    const double fgGap = meter.stopMs();
    std::printf("fg gap: same pause, decoding on this thread %5.1f ms  (%.2f of a decode)\n", fgGap,
                fgGap / decodeMs);
    std::fflush(stdout);
    viewer.loader.prepareForExit();
    _exit(0);
}
