#include "imaging/decoders/Decoders.h"

#include "imaging/decoders/Bmp.h"
#include "imaging/decoders/Jpeg.h"
#include "imaging/decoders/Pcx.h"
#include "imaging/decoders/Psd.h"
#include "imaging/decoders/QtPlugin.h"
#include "imaging/decoders/Wmf.h"

namespace oxlume::imaging {

namespace {
const DecoderEntry kDecoders[] = {
    {"JPEG", sniffJpeg, readJpegInfo, decodeJpeg},
    {"BMP", sniffBmp, readBmpInfo, decodeBmp},
    {"PSD", sniffPsd, readPsdInfo, decodePsd},
    {"WMF", sniffWmf, readWmfInfo, decodeWmf},
    {"PCX", sniffPcx, readPcxInfo, decodePcx},
    {"Qt", sniffQtPlugin, readQtPluginInfo, decodeQtPlugin},
};
} // namespace

std::span<const DecoderEntry> decoderTable() { return kDecoders; }

const DecoderEntry *findDecoder(Bytes data)
{
    for (const DecoderEntry &d : kDecoders)
        if (d.sniff(data))
            return &d;
    return nullptr;
}

} // namespace oxlume::imaging
