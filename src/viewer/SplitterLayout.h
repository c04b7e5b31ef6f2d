#pragma once
// Where the left side's fixed-position controls go when the user drags the splitter to a
// new width. The filter box and the command buttons never shrink below what a width of
// 150 gives them; the two show-strips stay centred on the real width.

namespace oxlume {

struct ToolsLayout {
    int stripLeft;        // imgShowControls, imgShowButtons
    int filterWidth;      // cmbImageTypes
    int hideButtonsLeft;  // btnHideButtons
    int buttonWidth;      // the six command buttons
    int rightColumnLeft;  // btnOptions, btnAbout, btnHideList
    int hideControlsLeft; // btnHideControls, never left of 149
};

inline constexpr int kToolsLayoutMinWidth = 150;
inline constexpr int kToolsDesignWidth = 169; // the left side as the window is built

// The layout for a left side of the given width in pixels.
ToolsLayout LayoutForToolsWidth(int width);

// Heights of the left side's parts, top to bottom: the image controls or the strip standing
// in for them, the list, the filter and buttons or their strip.
inline constexpr int kControlsPanelHeight = 117;
inline constexpr int kButtonsPanelHeight = 112;
inline constexpr int kPanelStripHeight = 8;
inline constexpr int kListMinimumHeight = 40; // about three rows
inline constexpr int kWindowMinimumWidth = 400;
inline constexpr int kWindowMinimumHeight = 240;

// The least window height at which every visible part of the left side fits: the list
// gives way first, down to its minimum, and the fixed panels never overlap it.
// buttonsHeight and listHeight: the buttons panel's height and the list's least height as
// laid out for the font.
int MinimumWindowHeight(bool listShown, bool controlsShown, bool buttonsShown,
                        int buttonsHeight = kButtonsPanelHeight,
                        int listHeight = kListMinimumHeight);

} // namespace oxlume
