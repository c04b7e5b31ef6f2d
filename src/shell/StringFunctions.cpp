#include "StringFunctions.h"

namespace oxlume {

std::string RemoveAll(std::string_view text, std::string_view part)
{
    std::string result(text);
    if (part.empty())
        return result;
    // Restart from the earliest place a deletion can have created a new occurrence: a join
    // at p can only form a match starting within part.size() - 1 bytes before p. This is
    // the same result as searching from the start each time, without the quadratic scan.
    std::size_t from = 0;
    for (;;) {
        const std::size_t p = result.find(part, from);
        if (p == std::string::npos)
            return result;
        result.erase(p, part.size());
        from = p >= part.size() - 1 ? p - (part.size() - 1) : 0;
    }
}

std::size_t LastPos(std::string_view part, std::string_view text)
{
    if (part.empty())
        return 0;
    // rfind finds the rightmost start, which is where the forward walk over overlapping
    // hits ends.
    const std::size_t p = text.rfind(part);
    return p == std::string_view::npos ? 0 : p + 1;
}

std::string TextBefore(std::string_view text, std::string_view separator)
{
    const std::size_t p = text.find(separator);
    if (separator.empty() || p == std::string_view::npos)
        return std::string(text);
    return std::string(text.substr(0, p));
}

std::string TextAfter(std::string_view text, std::string_view separator)
{
    const std::size_t p = text.find(separator);
    if (separator.empty() || p == std::string_view::npos)
        return {};
    return std::string(text.substr(p + separator.size()));
}

} // namespace oxlume
