// Fuzzes the colour-profile reading: the input is taken as a JPEG header whose ICC markers
// are collected, and as a profile on its own, applied to a small RGB, grey and CMYK image.

#include "imaging/ColourProfile.h"

#include <QImage>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace oxlume::imaging;
    const Bytes bytes(reinterpret_cast<const std::byte *>(data), size);
    const QByteArray joined = jpegIccProfile(bytes);
    const Bytes fromMarkers(reinterpret_cast<const std::byte *>(joined.constData()),
                            size_t(joined.size()));
    for (Bytes profile : {bytes, fromMarkers}) {
        QImage image(7, 3, QImage::Format_ARGB32);
        image.fill(0x80402010u);
        convertToSrgb(image, profile, PixelModel::Rgb, "fuzz");
        convertToSrgb(image, profile, PixelModel::Grey, "fuzz");
        if (auto cmyk = CmykTransform::create(profile, true, "fuzz")) {
            uint32_t row[5] = {0x01020304u, 0xFFFFFFFFu, 0, 0x80808080u, 0x00FF00FFu};
            cmyk->convert(reinterpret_cast<const uint8_t *>(row), row, 5);
        }
    }
    return 0;
}
