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

} // namespace oxlume::imaging
