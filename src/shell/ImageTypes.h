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

// Every file extension the viewer reads, in the order "Common Image Files" lists them:
// the ten of the associated rows first, then the formats the image plugins and our own
// decoders add. A new format is one line here.
inline constexpr std::string_view ReadableExtensions[] = {
    "jpg",  "jpeg", "jpe",  "jg",   "bmp",  "rle", "dib", "pcx", "psd", "wmf", // associated
    "png",  "gif",  "tif",  "tiff", "webp", "tga", "ico",                      // raster
    "heif", "heic", "avif", "jxl",                                             // phones, web
    "svg",  "svgz",                                                            // vector
    "pbm",  "pgm",  "ppm",  "pnm",  "xpm",  "xbm",                             // X11 and netpbm
};

namespace detail {

// "*.jpg;*.jpeg;...": the mask list of ReadableExtensions, built at compile time so that the
// table below stays constant.
constexpr std::size_t readableMasksLength()
{
    std::size_t length = 0;
    for (std::string_view extension : ReadableExtensions)
        length += extension.size() + 3; // "*." and ';' (the last one gives the array's NUL)
    return length - 1;
}

inline constexpr auto ReadableMasks = [] {
    std::array<char, readableMasksLength() + 1> masks{};
    std::size_t at = 0;
    for (std::string_view extension : ReadableExtensions) {
        if (at > 0)
            masks[at++] = ';';
        masks[at++] = '*';
        masks[at++] = '.';
        for (char c : extension)
            masks[at++] = c;
    }
    return masks;
}();

} // namespace detail

inline constexpr std::size_t kImageTypeCount = 7;
inline constexpr int kDefaultImageType = 1; // "Common Image Files", selected at every start

inline constexpr std::array<FileTypes, kImageTypeCount> ImageTypeTable{{
    {"All Files", "*", false, ""},
    {"Common Image Files",
     std::string_view(detail::ReadableMasks.data(), detail::readableMasksLength()), false, ""},
    {"BMP Files", "*.bmp;*.rle;*.dib", true, "Marzel BMP"},
    {"JPEG Files", "*.jpg;*.jpeg;*.jpe;*.jg", true, "Marzel JPG"},
    {"PCX Files", "*.pcx", true, "Marzel PCX"},
    {"PSD Files", "*.psd", true, "Marzel PSD"},
    {"WMF Files", "*.wmf", true, "Marzel WMF"},
}};

// The row at index; raises RangeCheckError for an index outside 0..6.
const FileTypes &ImageTypeAt(int index);

} // namespace oxlume
