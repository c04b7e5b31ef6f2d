#include "guidance/TipSettings.h"

namespace oxlume {

LongBool ShowTipsSetting = true;
std::int32_t NextTipIndex = 0;

void LoadTipSettings(const std::string &keyPath)
{
    ShowTipsSetting = true;
    NextTipIndex = 0;
    ScopedRegKey key;
    DWORD disposition = 0;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, keyPath, key.receive(), &disposition) != ERROR_SUCCESS)
        return;
    if (disposition == REG_OPENED_EXISTING_KEY) {
        QueryDwordValue(key, "Show Tips", ShowTipsSetting);
        QueryDwordValue(key, "Next Tip", NextTipIndex);
    }
}

void SaveTipSettings(const std::string &keyPath)
{
    ScopedRegKey key;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, keyPath, key.receive()) != ERROR_SUCCESS)
        return;
    SetDwordValue(key, "Show Tips", static_cast<std::uint32_t>(ShowTipsSetting.raw()));
    SetDwordValue(key, "Next Tip", static_cast<std::uint32_t>(NextTipIndex));
}

} // namespace oxlume
