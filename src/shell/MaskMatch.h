#pragma once
// File-mask matching: does a file name match one of the masks of a ';'-separated list?
// '?' matches exactly one character, '*' one or more (never an empty run); every other
// character stands for itself, with only ASCII letters compared without regard to case.

#include <cstddef>
#include <string>
#include <string_view>

namespace oxlume {

// True when the name matches at least one mask of the list, or when the list is empty.
// A list of blanks and ';' only matches nothing.
bool MatchesMaskList(std::string_view name, std::string_view maskList);

// The list with each mask trimmed of surrounding blanks (codes up to 32). Blank masks
// before the first non-empty one disappear; later ones stay as empty masks.
std::string NormaliseMaskList(std::string_view maskList);

// True when name[i..] matches mask[j..]. Positions count from 0; i beyond the name or j
// beyond the mask raises an AssertionFailure (unit "MaskMatch"). Runs in at most
// O(length(name) x length(mask)) steps whatever the input.
bool MatchMask(std::string_view name, std::string_view mask, std::size_t i, std::size_t j);

} // namespace oxlume
