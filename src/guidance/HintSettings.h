#pragma once
// The stored switches of the one-time hints, kept under the settings key.

#include "guidance/HintLocal.h"
#include "platform/RegistryValues.h"

#include <cstdint>
#include <string>

namespace oxlume {

extern LongBool DisableAllHintsSetting; // "Disable All Hints": only AlwaysShow hints appear
extern std::uint32_t HintDisabledMask;  // "Hint Disabled": bit n switches off hint n

// Resets both to their defaults (false, 0), then reads them from the key below
// HKEY_CURRENT_USER when that key already existed. Silent on every failure.
void LoadHintSettings(const std::string &keyPath);

// Writes both as REG_DWORD, creating the key. Silent on every failure.
void SaveHintSettings(const std::string &keyPath);

// Whether the hint is switched off (and not AlwaysShow). A BitNumber outside 0..31 raises
// "Assertion failure (HintForm, line N)".
bool HintSuppressed(const THintInfo &hint);

// Sets the hint's bit in HintDisabledMask (same assertion).
void DisableHint(const THintInfo &hint);

} // namespace oxlume
