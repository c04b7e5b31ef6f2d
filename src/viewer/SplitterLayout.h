#pragma once
// Where the left side's fixed-position controls go when the user drags the splitter to a
// new width. The filter box and the command buttons never shrink below what a width of
// 150 gives them; the two show-strips stay centred on the real width.

namespace oxlume {

struct ToolsLayout {
    int stripLeft;           // imgShowControls, imgShowButtons
    int filterWidth;         // cmbImageTypes
    int hideButtonsLeft;     // btnHideButtons
    int buttonWidth;         // the six command buttons
    int rightColumnLeft;     // btnOptions, btnAbout, btnHideList
    int hideControlsLeft;    // btnHideControls, never left of 149
};

inline constexpr int kToolsLayoutMinWidth = 150;

// The layout for a left side of the given width in pixels.
ToolsLayout LayoutForToolsWidth(int width);

} // namespace oxlume
