#pragma once
// The start-up measurement. OXLUME_EXIT_AFTER_FIRST_PAINT=1 in the environment exists only
// to time start-up (bench_startup): once a visible image area has painted an image and the
// frame has gone to the display, the process prints "first-paint <ms since process start>"
// to stderr and ends at once. OXLUME_TIMELINE=1 prints the steps of a start on stderr,
// "timeline <ms since process start> <step>", up to the third paint of an image.

class QWidget;

namespace oxlume {

class ImageLoader;
namespace imaging {
class TImager;
}

// A step of the start for the time line (nothing without OXLUME_TIMELINE=1).
void markStartupStep(const char *step);
// Marks the window's first exposure, each image handed over and the first three paints.
void traceStartupIfAsked(QWidget &window, ImageLoader &loader, imaging::TImager &imager);

// Watches imager when the environment asks for the measurement; otherwise does nothing.
void exitAfterFirstPaintIfAsked(imaging::TImager &imager);

} // namespace oxlume
