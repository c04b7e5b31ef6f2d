#pragma once
// The process-wide settings record, where it is stored, and the slide-show speed scale.
// Values live under HKEY_CURRENT_USER\SOFTWARE\Kestrune\Marzel; each field is named after
// its registry value.

#include "platform/Errors.h"
#include "platform/RegistryValues.h"
#include "platform/Result.h"

#include <array>
#include <cstdint>
#include <string>

namespace oxlume {

inline constexpr const char *OptionsKeyPath = "SOFTWARE\\Kestrune\\Marzel";

// "Start Directory". Stored values outside the list pass through unchanged; they select no
// folder, which the start-up turns into the desktop.
enum class TStartDirectory : std::uint8_t {
    LastFolder = 0, // "Last Directory"
    Desktop = 1,    // DesktopPath()
    Documents = 2,  // DocumentsPath()
    Custom = 3,     // "Custom Directory"
};

// "Slide Method". Stored values outside the list pass through unchanged.
enum class TSlideMethod : std::uint8_t {
    TopToBottom = 0,
    FromCurrent = 1,
    Random = 2,
};

inline constexpr std::int32_t kMinSlideSpeed = 100;
inline constexpr std::int32_t kMaxSlideSpeed = 124;
inline constexpr std::int32_t kDefaultSlideSpeed = 108; // 4 seconds

struct TOptions {
    LongBool UseWorkThread = true;                             // "Use Work Thread"
    TStartDirectory StartDirectory = TStartDirectory::Desktop; // "Start Directory"
    std::string LastDirectory;                                 // "Last Directory"
    std::string CustomDirectory;                               // "Custom Directory"
    LongBool FileAssociations = false;                         // "File Associations"
    std::int32_t SlideShowSpeed = kDefaultSlideSpeed;          // "Slide Show Speed"
    TSlideMethod SlideMethod = TSlideMethod::FromCurrent;      // "Slide Method"
    LongBool SlideStopOnMouse = false;                         // "Slide Stop On Mouse"
    LongBool SlideFullScreen = false;                          // "Slide Full Screen"
    LongBool SlideShowLoop = false;                            // "Slide Show Loop"
    LongBool ShowControls = false;                             // "Show Controls"
    LongBool ShowButtons = true;                               // "Show Buttons"
    // Our own, beside the values above: the main window's place at the last close,
    // "x,y,width,height,maximised"; empty before the first close.
    std::string WindowPlacement; // "Window Placement"
};

extern TOptions Options;

// The slide-show interval in milliseconds of each speed position 100..124. Indexing with
// a position outside that range raises RangeCheckError.
struct TSlideSpeedIntervals {
    std::array<std::int32_t, kMaxSlideSpeed - kMinSlideSpeed + 1> ms;

    constexpr std::int32_t operator[](std::int32_t position) const
    {
        if (position < kMinSlideSpeed || position > kMaxSlideSpeed)
            throw RangeCheckError();
        return ms[static_cast<std::size_t>(position - kMinSlideSpeed)];
    }
};

inline constexpr TSlideSpeedIntervals SlideSpeedIntervals{{
    100,   250,   333,   500,   750,   1000,  2000,  3000,  4000,  5000,  7500,   10000,  12500,
    15000, 17500, 20000, 25000, 30000, 35000, 40000, 60000, 75000, 90000, 105000, 120000,
}};

// "tenth second", "2 seconds", ...; "Invalid speed" for a position outside 100..124.
std::string SlideSpeedText(std::int32_t position);

// Fills Options with the defaults and then with what is stored, loads the tip and hint
// values, and carries out a pending "Set File Associations" request. Never fails: what
// cannot be read keeps its default.
void LoadOptions();

// Writes Options, "Last Directory" from currentDirectory (left as stored when it is
// empty), and the tip and hint values, in one save of the file. When that save fails the
// file stays as it was and the error says which file and why, for the window to show.
Result<void> SaveOptions(const std::string &currentDirectory);

// Whether the last LoadOptions found the one-shot "First Run" request.
bool FirstRunRequested();

// "Show Tips", kept beside the Tip of the Day's other value and loaded and saved with the
// record. The Options dialog reads and sets it here, as it does the record's fields, so that
// this unit stays the one owner of what the dialog stores.
bool ShowTips();
void SetShowTips(bool show);

} // namespace oxlume
