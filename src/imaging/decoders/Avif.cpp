#include "imaging/decoders/Avif.h"

#include "imaging/ColourProfile.h"
#include "imaging/ImageBuffer.h"
#include "imaging/Transforms.h"
#include "imaging/decoders/CodecSupport.h"
#include "platform/Processors.h"

#include <avif/avif.h>

#include <memory>
#include <string>

namespace oxlume::imaging {

namespace {

constexpr char kFormat[] = "AVIF";
constexpr std::array<std::string_view, 2> kBrands = {"avif", "avis"};

struct DecoderFree {
    void operator()(avifDecoder *d) const { avifDecoderDestroy(d); }
};
using DecoderPtr = std::unique_ptr<avifDecoder, DecoderFree>;

Error avifFailure(avifResult result, const avifDecoder *d)
{
    std::string what = avifResultToString(result);
    if (d && d->diag.error[0])
        what += std::string(" (") + d->diag.error + ")";
    return failure(kFormat, what);
}

// The decoder over data with its header parsed and sized against the limits. libavif's own
// bounds stop a hostile header before the AV1 decoder allocates anything.
Result<DecoderPtr> openParsed(Bytes data)
{
    DecoderPtr d(avifDecoderCreate());
    if (!d)
        return failure(kFormat, "out of memory");
    d->maxThreads = platform::usableProcessors();
    d->imageSizeLimit = uint32_t(kMaxImagePixels);
    d->imageDimensionLimit = uint32_t(kMaxImageSide);
    d->ignoreExif = AVIF_TRUE; // orientation comes from the container's irot and imir
    d->ignoreXMP = AVIF_TRUE;
    // Files from common writers break minor rules (a missing pixi box); browsers show them.
    d->strictFlags = AVIF_STRICT_DISABLED;
    avifResult r = avifDecoderSetIOMemory(d.get(), reinterpret_cast<const uint8_t *>(data.data()),
                                          data.size());
    if (r == AVIF_RESULT_OK)
        r = avifDecoderParse(d.get());
    if (r != AVIF_RESULT_OK)
        return avifFailure(r, d.get());
    const avifImage *im = d->image;
    // The AV1 decoder's planes (16-bit past eight bits, alpha included) beside the image.
    OX_TRY(checkWorkingSize(kFormat, im->width, im->height, im->depth > 8 ? 8 : 4));
    return d;
}

// irot turns anticlockwise, then imir mirrors: the order the format prescribes.
Orientation orientationOf(const avifImage *im)
{
    Orientation o;
    if (im->transformFlags & AVIF_TRANSFORM_IROT)
        o = Orientation::rotation(-90 * (im->irot.angle & 3));
    if (im->transformFlags & AVIF_TRANSFORM_IMIR)
        o = o.then(im->imir.mode == 0 ? Orientation::flipTopBottom()
                                      : Orientation::flipLeftRight());
    return o;
}

} // namespace

bool sniffAvif(Bytes data)
{
    return hasFtypBrand(data, kBrands);
}

Result<ImageInfo> readAvifInfo(Bytes data)
{
    auto d = openParsed(data);
    OX_TRY(d);
    const avifImage *im = d->get()->image;
    const bool swaps = orientationOf(im).swapsSides();
    ImageInfo info;
    info.format = kFormat;
    info.width = int(swaps ? im->height : im->width);
    info.height = int(swaps ? im->width : im->height);
    const int channels =
        (im->yuvFormat == AVIF_PIXEL_FORMAT_YUV400 ? 1 : 3) + (d->get()->alphaPresent ? 1 : 0);
    info.bitDepth = int(im->depth) * channels;
    return info;
}

Result<QImage> decodeAvif(Bytes data, DecodeObserver &observer)
{
    auto parsed = openParsed(data);
    OX_TRY(parsed);
    avifDecoder *d = parsed->get();
    observer.progress(0, 1);
    if (observer.cancelled())
        return failure(kFormat, "cancelled");
    const avifResult r = avifDecoderNextImage(d);
    if (r != AVIF_RESULT_OK)
        return avifFailure(r, d);
    if (observer.cancelled())
        return failure(kFormat, "cancelled");
    const avifImage *im = d->image;
    const bool alpha = im->alphaPlane != nullptr;
    auto image = allocateImage(kFormat, im->width, im->height,
                               alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    OX_TRY(image);

    // libavif writes 0xAARRGGBB pixels straight into the image, rounding deeper samples to
    // eight bits; without an alpha plane it fills alpha opaque.
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, im);
    rgb.format = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_ARGB;
    rgb.depth = 8;
    rgb.alphaPremultiplied = AVIF_FALSE;
    rgb.pixels = image->bits();
    rgb.rowBytes = uint32_t(image->bytesPerLine());
    const avifResult converted = avifImageYUVToRGB(im, &rgb);
    if (converted != AVIF_RESULT_OK)
        return avifFailure(converted, d);

    if (im->icc.size > 0 && im->icc.size <= kMaxProfileBytes)
        convertToSrgb(
            image.value(), Bytes(reinterpret_cast<const std::byte *>(im->icc.data), im->icc.size),
            im->yuvFormat == AVIF_PIXEL_FORMAT_YUV400 ? PixelModel::Grey : PixelModel::Rgb,
            kFormat);
    const Orientation o = orientationOf(im);
    parsed->reset(); // the planes go before the turned copy is made
    if (!o.isIdentity())
        applyOrientationAndTone(image.value(), o, nullptr);
    observer.progress(1, 1);
    return image;
}

} // namespace oxlume::imaging
