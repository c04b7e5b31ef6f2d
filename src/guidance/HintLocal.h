#pragma once
// The one-time hints of this program and their description.

#include <cstdint>
#include <string>

namespace oxlume {

struct THintInfo {
    std::string Heading;    // heading label text; empty for no heading
    std::string Text;       // the hint itself
    bool CanDisable;        // offer "&Don't show this hint again"
    bool AlwaysShow;        // show even when the hint or all hints are switched off
    std::int32_t BitNumber; // the hint's bit in HintDisabledMask, 0..31
};

extern const THintInfo HiddenListHint; // after the list was hidden with "&Hide List"

inline constexpr std::int32_t kLocalHintCount = 1;

// The hint of a number of this program's table; any other number raises
// "Assertion failure (HintLocal, line N)".
const THintInfo &LocalHint(std::int32_t number);

} // namespace oxlume
