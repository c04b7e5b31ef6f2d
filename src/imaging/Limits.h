#pragma once
// Limits every decoder checks before it allocates. A header that asks for more is refused
// with a message that names the format, the field and the values.

#include <cstdint>

namespace oxlume::imaging {

inline constexpr int64_t kMaxImageSide = 65535;              // pixels, either side
inline constexpr int64_t kMaxImagePixels = int64_t(1) << 28; // 268 M pixels, 1 GiB at 32 bpp
inline constexpr int64_t kMaxImageBytes = int64_t(1) << 30;  // one decoded image
inline constexpr int64_t kMaxFileBytes = int64_t(1) << 31;   // one input file
inline constexpr int kMaxPaletteEntries = 256;
// The decoded images a viewer holds at once: one of the largest size and a tenth more. The
// next image is read ahead only when it fits beside the one shown, and the one shown goes
// before the next is decoded when both would not fit.
inline constexpr int64_t kImageBudgetBytes = kMaxImageBytes + kMaxImageBytes / 10;

} // namespace oxlume::imaging
