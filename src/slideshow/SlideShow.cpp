#include "slideshow/SlideShow.h"

#include "settings/OptionsUnit.h"

#include <algorithm>
#include <cstdlib>

namespace oxlume {

namespace {

constexpr int kMaxHistory = 16;

} // namespace

std::int32_t ClampSlideSpeed(std::int32_t position)
{
    return std::clamp(position, kMinSlideSpeed, kMaxSlideSpeed);
}

SlideOrder ClampSlideMethod(int method)
{
    return SlideOrder(std::clamp(method, 0, 2));
}

int SlideIntervalMs(std::int32_t position)
{
    return SlideSpeedIntervals[ClampSlideSpeed(position)];
}

int SlideHistorySize(int entryCount)
{
    return std::clamp((entryCount - 1) / 2, 0, kMaxHistory);
}

int FirstImageFrom(const SlideEntries &entries, int from)
{
    for (int row = std::max(from, 0); row < entries.count; ++row)
        if (entries.isImage(row))
            return row;
    return -1;
}

int NextImageIndex(const SlideEntries &entries, int selection)
{
    return FirstImageFrom(entries, selection < 0 ? 0 : selection + 1);
}

int RandomImageIndex(RandomGenerator &generator, const SlideEntries &entries, int historySize)
{
    // Lists of 65536 entries or more can give picks beyond count; every such pick goes.
    for (;;) {
        const int n = generator.withoutRepeat(entries.count - 1, historySize);
        if (n >= 0 && n < entries.count && entries.isImage(n))
            return n;
    }
}

void SlideShow::start(std::int32_t speed, int method, bool fullScreen, const SlideEntries &entries,
                      RandomGenerator &generator)
{
    m_running = true;
    m_order = ClampSlideMethod(method);
    m_intervalMs = SlideIntervalMs(speed);
    m_fullScreen = fullScreen;
    m_fromTop = m_order == SlideOrder::TopToBottom;
    m_pending = -1;
    m_originSet = false;
    m_historySize = 0;
    m_boundCount = entries.count;
    if (m_order == SlideOrder::Random) {
        m_historySize = SlideHistorySize(entries.count);
        generator.withoutRepeat(0, m_historySize);
    }
}

void SlideShow::stop(RandomGenerator &generator)
{
    m_running = false;
    m_pending = -1;
    generator.withoutRepeat(0, 0);
}

SlideShow::Step SlideShow::next(const SlideEntries &entries, int selection, bool loop,
                                RandomGenerator &generator)
{
    return decide(entries, selection, loop, generator, true);
}

int SlideShow::peek(const SlideEntries &entries, int selection, bool loop,
                    RandomGenerator &generator)
{
    const Step step = decide(entries, selection, loop, generator, false);
    return step.stop ? -1 : step.row;
}

SlideShow::Step SlideShow::decide(const SlideEntries &entries, int selection, bool loop,
                                  RandomGenerator &generator, bool consume)
{
    if (m_order == SlideOrder::Random)
        return randomStep(entries, generator, consume);

    int row = -1;
    if (m_fromTop) {
        // An image standing at index 0 (a folder without parent or sub-folders) comes first.
        row = FirstImageFrom(entries, 0);
        if (consume)
            m_fromTop = false;
    } else if (selection == entries.count - 1) {
        if (loop)
            row = FirstImageFrom(entries, 0);
    } else {
        row = NextImageIndex(entries, selection);
        // A folder change can leave no image below the selection.
        if (row < 0 && loop)
            row = FirstImageFrom(entries, 0);
    }
    return row < 0 ? Step{true, -1} : Step{false, row};
}

SlideShow::Step SlideShow::randomStep(const SlideEntries &entries, RandomGenerator &generator,
                                      bool consume)
{
    if (!CanStartSlideShow(entries.imageCount))
        return {true, -1};
    if (entries.count != m_boundCount) {
        // The list changed length: the generator starts again for the new one.
        m_boundCount = entries.count;
        m_historySize = SlideHistorySize(entries.count);
        generator.withoutRepeat(0, m_historySize);
        m_pending = -1;
    }
    if (m_pending < 0 || m_pending >= entries.count || !entries.isImage(m_pending))
        m_pending = RandomImageIndex(generator, entries, m_historySize);
    const int row = m_pending;
    if (consume)
        m_pending = -1;
    return {false, row};
}

bool SlideShow::pointerMovedAway(int x, int y)
{
    if (!m_originSet) {
        m_originSet = true;
        m_originX = x;
        m_originY = y;
        return false;
    }
    return std::abs(x - m_originX) > kSlideMouseSlack || std::abs(y - m_originY) > kSlideMouseSlack;
}

} // namespace oxlume
