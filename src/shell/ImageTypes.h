#pragma once
// The image-type filters offered below the file list; the rows marked Associate also
// drive the file associations. Fixed at build time.

#include <array>
#include <cstddef>
#include <string_view>

namespace oxlume {

struct FileTypes {
    std::string_view Description; // shown in the filter box
    std::string_view Masks;       // ';'-separated mask list, see MatchesMaskList
    bool Associate;               // the row's extensions take part in file associations
    std::string_view ProgID;      // class name the extensions point to; empty if !Associate
};

inline constexpr std::size_t kImageTypeCount = 7;
inline constexpr int kDefaultImageType = 1; // "Common Image Files", selected at every start

inline constexpr std::array<FileTypes, kImageTypeCount> ImageTypeTable{{
    {"All Files", "*", false, ""},
    {"Common Image Files",
     "*.jpg;*.jpeg;*.jpe;*.jg;*.bmp;*.rle;*.dib;*.pcx;*.psd;*.wmf;*.heif;*.heic;*.avif;*.jxl",
     false, ""},
    {"BMP Files", "*.bmp;*.rle;*.dib", true, "Marzel BMP"},
    {"JPEG Files", "*.jpg;*.jpeg;*.jpe;*.jg", true, "Marzel JPG"},
    {"PCX Files", "*.pcx", true, "Marzel PCX"},
    {"PSD Files", "*.psd", true, "Marzel PSD"},
    {"WMF Files", "*.wmf", true, "Marzel WMF"},
}};

// The row at index; raises RangeCheckError for an index outside 0..6.
const FileTypes &ImageTypeAt(int index);

} // namespace oxlume
