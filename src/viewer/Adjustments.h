#pragma once
// Rebuilding the displayed image from its unadjusted copy: brightness, contrast, flips and
// rotation, always in that order and always from the copy, so adjustments never add up.

#include "imaging/control/Imager.h"

#include <cstdint>

namespace oxlume {

// Which rotate button is pressed (at most one of the group).
enum class TRotation : std::uint8_t { None, Rotate90, Rotate180, Rotate270 };

inline constexpr int kNeutralPosition = 25; // track-bar position that changes nothing
inline constexpr int kMaxTrackPosition = 50;

// The image controls' states that shape the displayed image.
struct TAdjustmentState {
    bool panelVisible = false;                 // the image controls panel's own flag
    int brightnessPosition = kNeutralPosition; // 0..50
    int contrastPosition = kNeutralPosition;   // 0..50
    bool flipUD = false;
    bool flipRL = false;
    TRotation rotation = TRotation::None;
};

// The values handed to the imaging control; a position outside 0..50 raises
// RangeCheckError.
std::int16_t BrightnessValue(int position); // (p - 25) * 39
std::int16_t ContrastValue(int position);   // (p - 25) * 14

// With the panel hidden or no image in Imager1, does nothing. Otherwise keeps Imager1's
// image as the unadjusted copy when UnadjustedImager is empty (else restores the copy into
// Imager1), applies the adjustments and repaints Imager1 once, under the busy cursor. An
// error of the imaging control propagates; Imager1 then paints again as usual.
void ApplyImageAdjustments(const TAdjustmentState &state, imaging::TImager &Imager1,
                           imaging::WindowlessImager &UnadjustedImager);

} // namespace oxlume
