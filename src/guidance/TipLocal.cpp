#include "guidance/TipLocal.h"

#include "platform/Errors.h"

#include <array>
#include <string_view>

namespace oxlume {

namespace {

constexpr std::array<std::string_view, TipCount> kTips{{
    "You can right-click anywhere on the main window to see a popup menu.",
    "You can hide the list of files by double-clicking on the image area. To show the list, "
    "double-click on the window again.",
    "You can change the brightness and contrast of images you are viewing. To see the "
    "controls, right-click on the main window and select 'Show Controls'.",
    "You can control what directory the program loads on startup. To see the choices, "
    "right-click on the main window and select 'Options'",
    "Most functions of the program have keyboard shortcuts. Right-click on the main window "
    "to see a popup menu which lists the shortcuts.",
    "You can see the property sheet of a file by right-clicking the file name and "
    "selecting Properties.",
    "You can run a slide show of the images by pressing Ctrl-S.",
    "You can configure the slide show. Press Ctrl-O at the main window to see the options.",
    "You can double-click any of the folder icons in the file list to change to that folder. "
    "If you double-click the folder titled '..', with the arrow pointing up, you will move to "
    "the current folder's parent.",
    "Oxlume runs with one execution thread controlling the interface and a second thread "
    "decoding images. That means the interface remains responsive even when the program is "
    "working. If you want, you can disable the second thread from the options window.",
    "If the files in the current directory have changed, you can press F5 to refresh the "
    "list.",
}};

} // namespace

std::string GetTip(std::int32_t index)
{
    return std::string(checkedAt(kTips, index));
}

std::int32_t ValidTipIndex(std::int32_t index)
{
    return (index >= 0 && index < TipCount) ? index : 0;
}

} // namespace oxlume
