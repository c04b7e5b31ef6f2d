#include "viewer/SplitterLayout.h"

#include <algorithm>

namespace oxlume {

ToolsLayout LayoutForToolsWidth(int width)
{
    const int w = std::max(width, kToolsLayoutMinWidth);
    ToolsLayout layout{};
    layout.stripLeft = (width - 37) / 2; // the real width: the strips stay centred
    layout.filterWidth = w - 16;
    layout.hideButtonsLeft = w - 13;
    layout.buttonWidth = w / 2 - 4;
    layout.rightColumnLeft = w / 2 + 4;
    layout.hideControlsLeft = std::max(w, 162) - 13;
    return layout;
}

int MinimumWindowHeight(bool listShown, bool controlsShown, bool buttonsShown, int buttonsHeight,
                        int listHeight)
{
    if (!listShown)
        return kWindowMinimumHeight;
    const int tools = (controlsShown ? kControlsPanelHeight : kPanelStripHeight) + listHeight +
                      (buttonsShown ? buttonsHeight : kPanelStripHeight);
    return std::max(kWindowMinimumHeight, tools);
}

} // namespace oxlume
