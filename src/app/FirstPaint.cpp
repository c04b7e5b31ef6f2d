#include "FirstPaint.h"

#include "imaging/control/Imager.h"
#include "viewer/ImageLoader.h"

#include <QCoreApplication>
#include <QWidget>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace oxlume {

namespace {

// Fallback start: set when the program is loaded, which misses exec and the dynamic linker.
const auto kLoadedAt = std::chrono::steady_clock::now();

// Milliseconds since this process started. The kernel's start time (field 22 of
// /proc/self/stat, clock ticks since boot) includes exec and library loading, in steps of
// one tick (10 ms).
double msSinceProcessStart()
{
    std::ifstream in("/proc/self/stat");
    std::string stat;
    std::getline(in, stat);
    const size_t commEnd = stat.rfind(')'); // the command name may hold spaces and ')'
    timespec now{};
    if (commEnd != std::string::npos && clock_gettime(CLOCK_BOOTTIME, &now) == 0) {
        // Fields after the name start at 3 (state); skip 3..21 to reach 22.
        std::istringstream fields(stat.substr(commEnd + 1));
        std::string field;
        for (int i = 3; i <= 22; ++i)
            if (!(fields >> field))
                field.clear();
        const double ticksPerSecond = double(sysconf(_SC_CLK_TCK));
        if (!field.empty() && ticksPerSecond > 0) {
            const double started = std::strtod(field.c_str(), nullptr) / ticksPerSecond;
            return (double(now.tv_sec) + double(now.tv_nsec) / 1e9 - started) * 1000.0;
        }
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - kLoadedAt)
        .count();
}

bool timelineAsked()
{
    static const bool asked = qgetenv("OXLUME_TIMELINE") == "1";
    return asked;
}

// Marks the first exposure of the window it watches: when the window manager has mapped it.
class ExposeMark : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            markStartupStep("window exposed");
            watched->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

void markStartupStep(const char *step)
{
    if (!timelineAsked())
        return;
    std::fprintf(stderr, "timeline %7.1f %s\n", msSinceProcessStart(), step);
    std::fflush(stderr);
}

void traceStartupIfAsked(QWidget &window, ImageLoader &loader, imaging::TImager &imager)
{
    if (!timelineAsked())
        return;
    if (QWindow *handle = window.windowHandle())
        handle->installEventFilter(new ExposeMark(handle));
    QObject::connect(&loader, &ImageLoader::imageHandedOver, &imager,
                     [] { markStartupStep("image handed over"); });
    QObject::connect(&imager, &imaging::TImager::imagePainted, &imager, [] {
        static int paints = 0;
        if (++paints <= 3)
            markStartupStep(paints == 1 ? "image painted" : "image painted again");
    });
}

void exitAfterFirstPaintIfAsked(imaging::TImager &imager)
{
    if (qgetenv("OXLUME_EXIT_AFTER_FIRST_PAINT") != "1")
        return;
    QObject::connect(&imager, &imaging::TImager::imagePainted, &imager, [&imager] {
        static bool queued = false;
        if (queued || !imager.isVisible() || !QCoreApplication::instance())
            return;
        queued = true;
        // Queued, so that it runs once this frame has been flushed to the display: that is
        // when the user first sees the image.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [] {
                std::fprintf(stderr, "first-paint %.1f\n", msSinceProcessStart());
                std::fflush(stderr);
                std::_Exit(0);
            },
            Qt::QueuedConnection);
    });
}

} // namespace oxlume
