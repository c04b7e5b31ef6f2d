#pragma once
// The start-up measurement. OXLUME_EXIT_AFTER_FIRST_PAINT=1 in the environment exists only
// to time start-up (bench_startup): once a visible image area has painted an image and the
// frame has gone to the display, the process prints "first-paint <ms since process start>"
// to stderr and ends at once.

namespace oxlume {

namespace imaging {
class TImager;
}

// Watches imager when the environment asks for the measurement; otherwise does nothing.
void exitAfterFirstPaintIfAsked(imaging::TImager &imager);

} // namespace oxlume
