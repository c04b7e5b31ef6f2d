#include "MaskMatch.h"

#include "platform/Errors.h"
#include "platform/TrelvinImport.h"

namespace oxlume {

namespace {

bool sameLetter(char a, char b)
{
    return c_tolower(static_cast<unsigned char>(a)) == c_tolower(static_cast<unsigned char>(b));
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32)
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32)
        s.remove_suffix(1);
    return s;
}

} // namespace

bool MatchMask(std::string_view name, std::string_view mask, std::size_t i, std::size_t j)
{
    OX_ASSERT(i <= name.size() && j <= mask.size(), "MaskMatch");

    // A '*' is "any one character" followed by a run of zero or more. With only zero-or-more
    // runs left to place, retrying just the most recent star is enough: an earlier star that
    // took more characters could only shift what the later one takes. This keeps hostile
    // names like "aaaa...a" against "*a*a*a*b" linear per star instead of exponential.
    const std::size_t n = name.size();
    const std::size_t m = mask.size();
    std::size_t starJ = std::string_view::npos; // mask position just after the last star
    std::size_t starI = 0;                      // where that star's open run currently ends
    while (i < n) {
        if (j < m && mask[j] == '*') {
            ++i; // the one character the star must take
            ++j;
            starJ = j;
            starI = i;
        } else if (j < m && (mask[j] == '?' || sameLetter(mask[j], name[i]))) {
            ++i;
            ++j;
        } else if (starJ != std::string_view::npos) {
            i = ++starI;
            j = starJ;
        } else {
            return false;
        }
    }
    // The name is used up; any mask left over needs at least one more character.
    return j == m;
}

std::string NormaliseMaskList(std::string_view maskList)
{
    std::string result;
    std::size_t start = 0;
    for (;;) {
        const std::size_t semi = maskList.find(';', start);
        const bool last = semi == std::string_view::npos;
        if (last && start >= maskList.size())
            break;
        const std::string_view piece =
            trimmed(maskList.substr(start, last ? std::string_view::npos : semi - start));
        if (!result.empty())
            result += ';';
        result += piece;
        if (last)
            break;
        start = semi + 1;
    }
    return result;
}

bool MatchesMaskList(std::string_view name, std::string_view maskList)
{
    if (maskList.empty())
        return true;
    const std::string list = NormaliseMaskList(maskList);
    std::string_view rest(list);
    for (std::size_t semi; (semi = rest.find(';')) != std::string_view::npos;) {
        if (MatchMask(name, rest.substr(0, semi), 0, 0))
            return true;
        rest.remove_prefix(semi + 1);
    }
    return !rest.empty() && MatchMask(name, rest, 0, 0);
}

} // namespace oxlume
