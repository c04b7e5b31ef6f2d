#pragma once
// The generator behind the random slide-show order: a 32-bit generator with a 64-bit state
// (four rounds of the psdes mixing function per step), a reduction to an integer range and
// a picker that avoids the last few values it returned.
//
// The free functions work on one process-wide generator (main thread only); the class
// exists so that tests and other users can own an independent one.

#include <cstdint>
#include <vector>

namespace oxlume {

class RandomGenerator {
public:
    static constexpr std::uint32_t kMaxStep = 0xFFFFFFFFu;

    // Seeds from the clock T (seconds), the cursor position (x, y) and the screen width W.
    // Right := T, Left := T + (x + y * W), all modulo 2^32, so a negative clock value or
    // cursor position (a monitor left of or above the primary one) still seeds.
    void seed(std::int32_t t, std::int32_t x, std::int32_t y, std::int32_t w);

    // One step: returns the new right word and advances the state.
    std::uint32_t next();

    // lo + next() / (0xFFFFFFFF / n) with n = hi - lo + 1. As with the original reduction,
    // the few largest step values give a result above hi (hi + 1 for n below 65536); callers
    // reject what they cannot use. n = 1 returns lo without a step. n < 1 raises
    // RangeCheckError; a result beyond the 32-bit range raises IntegerOverflow.
    std::int32_t between(std::int32_t lo, std::int32_t hi);

    // max == 0 (re)initialises the history with count slots (0: none) and returns 0.
    // Otherwise returns between(0, max), different from each of the last count picks.
    // Misuse raises AssertionFailure (unit "RandomNumbers", lines 105, 109, 111, 116).
    std::int32_t withoutRepeat(std::int32_t max, std::int32_t count);

    bool inHistory(std::int32_t value) const;

    // Direct state access, for tests and for restoring a known state.
    std::uint32_t left() const { return m_left; }
    std::uint32_t right() const { return m_right; }
    void setState(std::uint32_t left, std::uint32_t right)
    {
        m_left = left;
        m_right = right;
    }
    int historySize() const { return static_cast<int>(m_history.size()); }

private:
    std::uint32_t m_left = 1;
    std::uint32_t m_right = 1;
    std::vector<std::int32_t> m_history; // free slots hold -1, which no pick equals
    std::int32_t m_historyNext = -1;
    std::int32_t m_fixedMax = -1;
};

// The process-wide generator that the functions below use.
RandomGenerator &ProcessRandom();

// Seeds the process-wide generator; the caller supplies the cursor position and screen
// width (this library has no window system access). T comes from GetTimet().
void SeedRandom(std::int32_t x, std::int32_t y, std::int32_t screenWidth);
std::uint32_t NextRandom();
std::int32_t RandomBetween(std::int32_t lo, std::int32_t hi);
std::int32_t RandomWithoutRepeat(std::int32_t max, std::int32_t count);
bool InRandomHistory(std::int32_t value);

} // namespace oxlume
