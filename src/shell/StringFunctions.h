#pragma once
// Small substring helpers over byte strings. Comparisons are exact bytes (case matters).
// Positions count from 1; 0 means "no occurrence".

#include <cstddef>
#include <string>
#include <string_view>

namespace oxlume {

// The text with every occurrence of part deleted, including occurrences that a deletion
// creates by joining two pieces. An empty part leaves the text unchanged.
std::string RemoveAll(std::string_view text, std::string_view part);

// 1-based position of the last occurrence of part in text (overlaps count: "aa" in "aaa"
// is 2); 0 when part does not occur or is empty.
std::size_t LastPos(std::string_view part, std::string_view text);

// The text before the first separator; the whole text when the separator does not occur.
std::string TextBefore(std::string_view text, std::string_view separator);

// The text after the first separator; empty when the separator does not occur.
std::string TextAfter(std::string_view text, std::string_view separator);

} // namespace oxlume
