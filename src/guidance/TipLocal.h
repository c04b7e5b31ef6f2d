#pragma once
// The Tip of the Day texts, shown in a fixed cycle.

#include <cstdint>
#include <string>

namespace oxlume {

inline constexpr std::int32_t TipCount = 11;

// The text of tip index 0..TipCount-1; raises RangeCheckError for any other index.
std::string GetTip(std::int32_t index);

// The index itself when it names a tip, else 0: a stored index from an older or edited
// settings file must not read outside the table.
std::int32_t ValidTipIndex(std::int32_t index);

} // namespace oxlume
