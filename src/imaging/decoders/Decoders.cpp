#include "imaging/decoders/Decoders.h"

#include "imaging/decoders/Avif.h"
#include "imaging/decoders/Bmp.h"
#include "imaging/decoders/Heif.h"
#include "imaging/decoders/Jpeg.h"
#include "imaging/decoders/Jxl.h"
#include "imaging/decoders/Pcx.h"
#include "imaging/decoders/Psd.h"
#include "imaging/decoders/QtPlugin.h"
#include "imaging/decoders/Tga.h"
#include "imaging/decoders/Wmf.h"

namespace oxlume::imaging {

namespace {
constexpr DecoderEntry kDecoders[] = {
    {"JPEG", sniffJpeg, readJpegInfo, decodeJpeg},
    {"BMP", sniffBmp, readBmpInfo, decodeBmp},
    {"PSD", sniffPsd, readPsdInfo, decodePsd},
    {"HEIF", sniffHeif, readHeifInfo, decodeHeif},
    {"AVIF", sniffAvif, readAvifInfo, decodeAvif},
    {"JXL", sniffJxl, readJxlInfo, decodeJxl},
    {"WMF", sniffWmf, readWmfInfo, decodeWmf},
    {"PCX", sniffPcx, readPcxInfo, decodePcx},
    {"TGA", sniffTga, readTgaInfo, decodeTga},
    {"Qt", sniffQtPlugin, readQtPluginInfo, decodeQtPlugin},
};
} // namespace

std::span<const DecoderEntry> decoderTable()
{
    return kDecoders;
}

// Where TGA stands in the table, and the first entry whose sniff a TGA header could pass
// (plain WMF and PCX have weak signatures; placeable WMF's never looks like a TGA header).
constexpr size_t kTgaIndex = 8;
constexpr size_t kFirstWeak = 6;

const DecoderEntry *findDecoder(Bytes data, std::string_view fileName)
{
    static_assert(std::string_view(kDecoders[kTgaIndex].name) == "TGA");
    static_assert(std::string_view(kDecoders[kFirstWeak].name) == "WMF");
    for (size_t i = 0; i < std::size(kDecoders); ++i) {
        // TGA has no signature, so its name decides a tie with the weak sniffs before it.
        if (i == kFirstWeak && hasTgaExtension(fileName) && sniffTga(data))
            return &kDecoders[kTgaIndex];
        if (kDecoders[i].sniff(data))
            return &kDecoders[i];
    }
    // Nothing claims a file named as a TGA: its own decoder says what is wrong with it.
    return hasTgaExtension(fileName) && !data.empty() ? &kDecoders[kTgaIndex] : nullptr;
}

} // namespace oxlume::imaging
