#pragma once
// The two stored values of the Tip of the Day, kept under the settings key.

#include "platform/RegistryValues.h"

#include <cstdint>
#include <string>

namespace oxlume {

extern LongBool ShowTipsSetting;  // "Show Tips": show the dialog at start-up
extern std::int32_t NextTipIndex; // "Next Tip": the tip shown first next time (unchecked)

// Resets both to their defaults (true, 0), then reads them from the key below
// HKEY_CURRENT_USER when that key already existed. Silent on every failure.
void LoadTipSettings(const std::string &keyPath);

// Writes both as REG_DWORD, creating the key. Silent on every failure.
void SaveTipSettings(const std::string &keyPath);

} // namespace oxlume
