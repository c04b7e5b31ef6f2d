#include "RandomNumbers.h"

#include "platform/Errors.h"
#include "platform/TrelvinImport.h"

#include <algorithm>
#include <limits>

namespace oxlume {

namespace {

constexpr const char *kUnit = "RandomNumbers";

constexpr std::uint32_t kC1[4] = {0xBAA96887u, 0x1E17D32Cu, 0x03BCDC3Cu, 0x0F33D1B2u};
constexpr std::uint32_t kC2[4] = {0x4B0F3B58u, 0xE874F0C3u, 0x6955C5A6u, 0x55A7CA46u};

} // namespace

void RandomGenerator::seed(std::int32_t t, std::int32_t x, std::int32_t y, std::int32_t w)
{
    // Wrapping instead of raising: any start value will do, and an error here would keep
    // the main window from ever opening.
    const auto ut = static_cast<std::uint32_t>(t);
    const std::uint32_t mix = static_cast<std::uint32_t>(x) +
                              static_cast<std::uint32_t>(y) * static_cast<std::uint32_t>(w);
    m_right = ut;
    m_left = ut + mix;
}

std::uint32_t RandomGenerator::next()
{
    // Numerical Recipes' psdes, applied to the state itself rather than to a counter.
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t s = m_right;
        const std::uint32_t a = s ^ kC1[i];
        const std::uint32_t lo = a & 0xFFFFu;
        const std::uint32_t hi = a >> 16;
        const std::uint32_t b = lo * lo + ~(hi * hi);
        m_right = m_left ^ ((((b >> 16) | (b << 16)) ^ kC2[i]) + lo * hi);
        m_left = s;
    }
    return m_right;
}

std::int32_t RandomGenerator::between(std::int32_t lo, std::int32_t hi)
{
    const std::int32_t n = checkedAdd(checkedSub(hi, lo), std::int32_t{1});
    // n == 0 would divide by zero below; treat it like the negative sizes.
    if (n < 1)
        throw RangeCheckError();
    if (n == 1)
        return lo;
    const std::uint32_t r = next();
    const std::uint32_t q = kMaxStep / static_cast<std::uint32_t>(n);
    const std::uint32_t offset = r / q;
    if (offset > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
        throw IntegerOverflow();
    return checkedAdd(lo, static_cast<std::int32_t>(offset));
}

std::int32_t RandomGenerator::withoutRepeat(std::int32_t max, std::int32_t count)
{
    if (max == 0) {
        if (count < 0)
            throw RangeCheckError();
        m_history.assign(static_cast<std::size_t>(count), -1);
        m_fixedMax = -1;
        m_historyNext = count > 0 ? 0 : -1;
        return 0;
    }
    assertThat(count <= max, kUnit, 105);
    if (m_fixedMax == -1)
        m_fixedMax = max;
    else
        assertThat(max == m_fixedMax, kUnit, 109);
    assertThat(count == historySize(), kUnit, 111);
    if (count == 0)
        return between(0, max);
    assertThat(!m_history.empty() && m_historyNext >= 0, kUnit, 116);
    std::int32_t r;
    do {
        r = between(0, max);
    } while (inHistory(r));
    checkedAt(m_history, m_historyNext) = r;
    m_historyNext = (m_historyNext + 1) % historySize();
    return r;
}

bool RandomGenerator::inHistory(std::int32_t value) const
{
    return std::find(m_history.begin(), m_history.end(), value) != m_history.end();
}

RandomGenerator &ProcessRandom()
{
    static RandomGenerator generator;
    return generator;
}

void SeedRandom(std::int32_t x, std::int32_t y, std::int32_t screenWidth)
{
    ProcessRandom().seed(GetTimet(), x, y, screenWidth);
}

std::uint32_t NextRandom()
{
    return ProcessRandom().next();
}

std::int32_t RandomBetween(std::int32_t lo, std::int32_t hi)
{
    return ProcessRandom().between(lo, hi);
}

std::int32_t RandomWithoutRepeat(std::int32_t max, std::int32_t count)
{
    return ProcessRandom().withoutRepeat(max, count);
}

bool InRandomHistory(std::int32_t value)
{
    return ProcessRandom().inHistory(value);
}

} // namespace oxlume
