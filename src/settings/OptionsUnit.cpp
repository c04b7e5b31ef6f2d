#include "settings/OptionsUnit.h"

#include "associations/FileAssociations.h"
#include "guidance/HintSettings.h"
#include "guidance/TipSettings.h"
#include "shell/FileNameFunctions.h"

namespace oxlume {

TOptions Options;

namespace {

// Strings are read into a buffer of this size: 512 characters and the terminating zero.
constexpr std::size_t kStringBufferSize = 513;

bool g_firstRun = false;
bool g_setFileAssociations = false;

// Reads an 8-bit setting stored zero-extended in a DWORD: only the low byte counts.
template<typename Enum>
void queryLowByte(HKEY key, const char *name, Enum &field)
{
    std::uint32_t stored = 0;
    if (QueryDwordValue(key, name, stored) == ERROR_SUCCESS)
        field = static_cast<Enum>(static_cast<std::uint8_t>(stored & 0xff));
}

// Reads a one-shot request and deletes it when it is set.
bool takeRequest(HKEY key, const char *name)
{
    std::uint32_t stored = 0;
    if (QueryDwordValue(key, name, stored) != ERROR_SUCCESS || stored == 0)
        return false;
    RegDeleteValue(key, name);
    return true;
}

} // namespace

std::string SlideSpeedText(std::int32_t position)
{
    const std::string invalid = "Invalid speed";
    if (position < kMinSlideSpeed || position > kMaxSlideSpeed)
        return invalid;
    const std::int32_t ms = SlideSpeedIntervals[position];
    switch (ms) {
    case 100: return "tenth second";
    case 250: return "quarter second";
    case 333: return "third second";
    case 500: return "half second";
    case 750: return "three-quarter second";
    case 1000: return "second";
    case 7500: return "7.5 seconds";
    case 12500: return "12.5 seconds";
    case 17500: return "17.5 seconds";
    default: break;
    }
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + " seconds";
    return invalid;
}

bool FirstRunRequested()
{
    return g_firstRun;
}

bool ShowTips()
{
    return ShowTipsSetting;
}

void SetShowTips(bool show)
{
    ShowTipsSetting = show;
}

void LoadOptions()
{
    Options = TOptions{};
    Options.CustomDirectory = DesktopPath();
    g_firstRun = false;
    g_setFileAssociations = false;

    // One read of the settings file for every value, the tip's and the hints' included, and
    // one save for the requests it deletes.
    RegistryBatch batch;
    ScopedRegKey key;
    DWORD disposition = 0;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, OptionsKeyPath, key.receive(), &disposition) ==
        ERROR_SUCCESS) {
        if (disposition == REG_OPENED_EXISTING_KEY) {
            QueryStringValue(key, "Last Directory", kStringBufferSize, Options.LastDirectory);
            std::string custom;
            if (QueryStringValue(key, "Custom Directory", kStringBufferSize, custom) ==
                    ERROR_SUCCESS &&
                !custom.empty())
                Options.CustomDirectory = custom;
            QueryDwordValue(key, "Use Work Thread", Options.UseWorkThread);
            queryLowByte(key, "Start Directory", Options.StartDirectory);
            QueryDwordValue(key, "File Associations", Options.FileAssociations);
            QueryDwordValue(key, "Slide Show Speed", Options.SlideShowSpeed);
            queryLowByte(key, "Slide Method", Options.SlideMethod);
            QueryDwordValue(key, "Slide Stop On Mouse", Options.SlideStopOnMouse);
            QueryDwordValue(key, "Slide Full Screen", Options.SlideFullScreen);
            QueryDwordValue(key, "Slide Show Loop", Options.SlideShowLoop);
            QueryDwordValue(key, "Show Controls", Options.ShowControls);
            QueryDwordValue(key, "Show Buttons", Options.ShowButtons);
            QueryStringValue(key, "Window Placement", kStringBufferSize, Options.WindowPlacement);
            g_firstRun = takeRequest(key, "First Run");
            g_setFileAssociations = takeRequest(key, "Set File Associations");
        }
        key.reset();
    }

    LoadTipSettings(OptionsKeyPath);
    LoadHintSettings(OptionsKeyPath);
    batch.commit();

    if (g_setFileAssociations) {
        InstallAssociations();
        Options.FileAssociations = true;
    }
}

Result<void> SaveOptions(const std::string &currentDirectory)
{
    // One rewrite of the file for all the values, the tip's and the hints' included.
    RegistryBatch batch;
    ScopedRegKey key;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, OptionsKeyPath, key.receive()) == ERROR_SUCCESS) {
        if (!currentDirectory.empty())
            SetStringValue(key, "Last Directory", currentDirectory);
        SetStringValue(key, "Custom Directory", Options.CustomDirectory);
        SetDwordValue(key, "Use Work Thread",
                      static_cast<std::uint32_t>(Options.UseWorkThread.raw()));
        SetDwordValue(key, "Start Directory", static_cast<std::uint8_t>(Options.StartDirectory));
        SetDwordValue(key, "File Associations",
                      static_cast<std::uint32_t>(Options.FileAssociations.raw()));
        SetDwordValue(key, "Slide Show Speed", static_cast<std::uint32_t>(Options.SlideShowSpeed));
        SetDwordValue(key, "Slide Method", static_cast<std::uint8_t>(Options.SlideMethod));
        SetDwordValue(key, "Slide Stop On Mouse",
                      static_cast<std::uint32_t>(Options.SlideStopOnMouse.raw()));
        SetDwordValue(key, "Slide Full Screen",
                      static_cast<std::uint32_t>(Options.SlideFullScreen.raw()));
        SetDwordValue(key, "Slide Show Loop",
                      static_cast<std::uint32_t>(Options.SlideShowLoop.raw()));
        SetDwordValue(key, "Show Controls", static_cast<std::uint32_t>(Options.ShowControls.raw()));
        SetDwordValue(key, "Show Buttons", static_cast<std::uint32_t>(Options.ShowButtons.raw()));
        if (!Options.WindowPlacement.empty())
            SetStringValue(key, "Window Placement", Options.WindowPlacement);
        key.reset();
    }
    SaveTipSettings(OptionsKeyPath);
    SaveHintSettings(OptionsKeyPath);
    if (const LONG rc = batch.commit(); rc != ERROR_SUCCESS)
        return makeError("The settings could not be saved to " + batch.failedFile() + ": " +
                             batch.failureReason() + ".",
                         rc);
    return {};
}

} // namespace oxlume
