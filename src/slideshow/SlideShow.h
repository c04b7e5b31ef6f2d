#pragma once
// The slide show's decisions, apart from the window: which entry comes next in each order,
// the random pick that skips folder entries, the checks and clamps of the start, and the
// pointer rule that ends a show. The window only runs the timer and passes events in.

#include "slideshow/RandomNumbers.h"

#include <cstdint>
#include <functional>

namespace oxlume {

// What the show needs of the file list: its length, and which entries are images (the
// others are folder entries).
struct SlideEntries {
    int count = 0;
    int imageCount = 0;
    std::function<bool(int row)> isImage;
};

enum class SlideOrder { TopToBottom = 0, FromCurrent = 1, Random = 2 };

inline constexpr int kSlideMouseSlack = 15; // pixels the pointer may wander either way

// A stored speed position or method out of range (an edited settings file) is taken as the
// nearest valid one, so a start never fails half-way.
std::int32_t ClampSlideSpeed(std::int32_t position);
SlideOrder ClampSlideMethod(int method);
// The interval of a (clamped) speed position, in milliseconds.
int SlideIntervalMs(std::int32_t position);
// How many recent picks the random order avoids: (count - 1) div 2, at most 16.
int SlideHistorySize(int entryCount);
// Fewer than two image entries: the show does not start.
inline bool CanStartSlideShow(int imageCount)
{
    return imageCount >= 2;
}

// The first image entry at or after row from; -1 when there is none.
int FirstImageFrom(const SlideEntries &entries, int from);
// The first image entry below selection (from the top when nothing is selected); -1 when
// there is none.
int NextImageIndex(const SlideEntries &entries, int selection);
// A random image entry: picks from 0 to count - 1 without repeating the last historySize
// picks; a pick at or beyond the count or on a folder entry is tried again. Every try is
// recorded in the generator's history, the rejected ones too. The list must hold an image
// entry and the generator be initialised for historySize slots.
int RandomImageIndex(RandomGenerator &generator, const SlideEntries &entries, int historySize);

// One running show. Method, interval and full-screen switch are fixed at the start.
class SlideShow {
public:
    struct Step {
        bool stop = false;
        int row = -1; // the entry to select and show, when not stopping
    };

    // Begins (or begins again) a show over entries with the stored speed and method.
    void start(std::int32_t speed, int method, bool fullScreen, const SlideEntries &entries,
               RandomGenerator &generator);
    // Ends the show and drops the generator's history.
    void stop(RandomGenerator &generator);

    bool running() const { return m_running; }
    SlideOrder order() const { return m_order; }
    int intervalMs() const { return m_intervalMs; }
    bool fullScreen() const { return m_fullScreen; }
    int historySize() const { return m_historySize; }

    // The tick's choice from the current selection. In random order a pick made ahead by
    // peek() is used when the list still allows it.
    Step next(const SlideEntries &entries, int selection, bool loop, RandomGenerator &generator);
    // The entry the next tick will show, for reading it ahead (-1: the show will stop). In
    // random order the pick is made now and kept for next().
    int peek(const SlideEntries &entries, int selection, bool loop, RandomGenerator &generator);

    // The pointer at (x, y): the first position seen becomes the origin; true once the
    // pointer is more than kSlideMouseSlack pixels from it along either axis.
    bool pointerMovedAway(int x, int y);

private:
    Step decide(const SlideEntries &entries, int selection, bool loop, RandomGenerator &generator,
                bool consume);
    Step randomStep(const SlideEntries &entries, RandomGenerator &generator, bool consume);

    bool m_running = false;
    SlideOrder m_order = SlideOrder::FromCurrent;
    int m_intervalMs = 0;
    bool m_fullScreen = false;
    int m_historySize = 0;
    int m_boundCount = 0;   // entries the random generator was set up for
    bool m_fromTop = false; // the first slide of top-to-bottom order is the first image
    int m_pending = -1;     // random pick made ahead
    bool m_originSet = false;
    int m_originX = 0, m_originY = 0;
};

} // namespace oxlume
