#include "TrelvinImport.h"

#include <cstring>
#include <ctime>
#include <limits>

namespace oxlume {

std::int32_t c_tolower(std::int32_t c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

std::int32_t c_isgraph(std::int32_t c)
{
    return (c > ' ' && c < 127) ? 1 : 0;
}

std::int32_t GetTimet()
{
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    return static_cast<std::int32_t>(now & 0x7FFFFFFFu);
}

std::int32_t c_memcmp(const void *a, const void *b, std::size_t count)
{
    if (count == 0)
        return 0;
    return std::memcmp(a, b, count) == 0 ? 0 : 1;
}

std::int32_t c_atoi(const char *text)
{
    if (!text)
        return 0;
    // The blanks that C's isspace accepts in the "C" locale.
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > kLimit)
            value = kLimit; // saturate; further digits cannot bring it back
    }
    if (negative)
        return static_cast<std::int32_t>(-value);
    return value >= kLimit ? std::numeric_limits<std::int32_t>::max()
                           : static_cast<std::int32_t>(value);
}

} // namespace oxlume
