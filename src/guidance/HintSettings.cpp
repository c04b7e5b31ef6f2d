#include "guidance/HintSettings.h"

#include "platform/Errors.h"

namespace oxlume {

LongBool DisableAllHintsSetting = false;
std::uint32_t HintDisabledMask = 0;

namespace {

std::uint32_t hintBit(const THintInfo &hint)
{
    OX_ASSERT(hint.BitNumber >= 0 && hint.BitNumber <= 31, "HintForm");
    return std::uint32_t{1} << hint.BitNumber;
}

} // namespace

void LoadHintSettings(const std::string &keyPath)
{
    DisableAllHintsSetting = false;
    HintDisabledMask = 0;
    ScopedRegKey key;
    DWORD disposition = 0;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, keyPath, key.receive(), &disposition) != ERROR_SUCCESS)
        return;
    if (disposition == REG_OPENED_EXISTING_KEY) {
        QueryDwordValue(key, "Disable All Hints", DisableAllHintsSetting);
        QueryDwordValue(key, "Hint Disabled", HintDisabledMask);
    }
}

void SaveHintSettings(const std::string &keyPath)
{
    ScopedRegKey key;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, keyPath, key.receive()) != ERROR_SUCCESS)
        return;
    SetDwordValue(key, "Disable All Hints",
                  static_cast<std::uint32_t>(DisableAllHintsSetting.raw()));
    SetDwordValue(key, "Hint Disabled", HintDisabledMask);
}

bool HintSuppressed(const THintInfo &hint)
{
    const std::uint32_t bit = hintBit(hint);
    if (hint.AlwaysShow)
        return false;
    return DisableAllHintsSetting || (HintDisabledMask & bit) != 0;
}

void DisableHint(const THintInfo &hint)
{
    HintDisabledMask |= hintBit(hint);
}

} // namespace oxlume
