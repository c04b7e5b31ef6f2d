#include "imaging/decoders/Heif.h"

#include "imaging/ColourProfile.h"
#include "imaging/ImageBuffer.h"
#include "imaging/decoders/CodecSupport.h"
#include "imaging/decoders/HeifSizes.h"

#include <libheif/heif.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

namespace oxlume::imaging {

namespace {

constexpr char kFormat[] = "HEIF";

constexpr std::array<std::string_view, 6> kHevcBrands = {"heic", "heix", "heim",
                                                         "heis", "hevc", "hevx"};
constexpr std::array<std::string_view, 1> kImageBrand = {"mif1"};
constexpr std::array<std::string_view, 2> kAv1Brands = {"avif", "avis"};

struct ContextFree {
    void operator()(heif_context *c) const { heif_context_free(c); }
};
struct HandleFree {
    void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
};
struct ImageFree {
    void operator()(heif_image *i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options *o) const { heif_decoding_options_free(o); }
};

// libheif's message on one line: it ends some with a line break.
Error heifError(const heif_error &e)
{
    std::string what = e.message && *e.message ? e.message : "unreadable data";
    std::replace(what.begin(), what.end(), '\n', ' ');
    while (!what.empty() && what.back() == ' ')
        what.pop_back();
    return failure(kFormat, what);
}

// The primary image of data; the context must outlive the handle.
struct Primary {
    std::unique_ptr<heif_context, ContextFree> context;
    std::unique_ptr<heif_image_handle, HandleFree> handle;
};

Result<Primary> openPrimary(Bytes data)
{
    OX_TRY(checkDeclaredSizes(data));
    Primary p;
    p.context.reset(heif_context_alloc());
    if (!p.context)
        return failure(kFormat, "out of memory");
    // libheif's own bound is a square of this side; ours is checked on the handle's size.
    heif_context_set_maximum_image_size_limit(p.context.get(), int(kMaxImageSide));
    heif_error e = heif_context_read_from_memory_without_copy(p.context.get(), data.data(),
                                                              data.size(), nullptr);
    if (e.code != heif_error_Ok)
        return heifError(e);
    heif_image_handle *handle = nullptr;
    e = heif_context_get_primary_image_handle(p.context.get(), &handle);
    if (e.code != heif_error_Ok)
        return heifError(e);
    p.handle.reset(handle);
    return p;
}

int lumaBits(const heif_image_handle *h)
{
    const int bits = heif_image_handle_get_luma_bits_per_pixel(h);
    return bits > 0 ? bits : 8;
}

// libheif keeps its own RGBA copy (8 bytes a pixel past eight bits) beside the YCbCr planes.
Result<void> checkHandleSize(const heif_image_handle *h)
{
    const int64_t w = heif_image_handle_get_width(h);
    const int64_t hgt = heif_image_handle_get_height(h);
    return checkWorkingSize(kFormat, w, hgt, lumaBits(h) > 8 ? 8 + 3 : 4 + 2);
}

QByteArray iccProfile(const heif_image_handle *h)
{
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(h);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return {};
    const size_t size = heif_image_handle_get_raw_color_profile_size(h);
    if (size == 0 || size > kMaxProfileBytes)
        return {};
    QByteArray profile(qsizetype(size), Qt::Uninitialized);
    if (heif_image_handle_get_raw_color_profile(h, profile.data()).code != heif_error_Ok)
        return {};
    return profile;
}

// libheif's progress callbacks, which must not let an exception through its frames.
struct Progress {
    DecodeObserver *observer = nullptr;
    int total = 0;
    std::exception_ptr thrown;

    void report(int done)
    {
        if (thrown || total <= 0)
            return;
        try {
            observer->progress(done, total);
        } catch (...) {
            thrown = std::current_exception();
        }
    }
    static Progress &of(void *p) { return *static_cast<Progress *>(p); }
    static void start(heif_progress_step, int max, void *p) { of(p).total = max; }
    static void step(heif_progress_step, int done, void *p) { of(p).report(done); }
    static void end(heif_progress_step, void *) {}
};

Result<QImage> toImage(const heif_image *decoded, bool alpha)
{
    const int bits = heif_image_get_bits_per_pixel_range(decoded, heif_channel_interleaved);
    const int w = heif_image_get_width(decoded, heif_channel_interleaved);
    const int h = heif_image_get_height(decoded, heif_channel_interleaved);
    int stride = 0;
    const uint8_t *pixels =
        heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (!pixels || w <= 0 || h <= 0)
        return failure(kFormat, "the decoder returned no pixels");
    auto image = allocateImage(kFormat, w, h, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    OX_TRY(image);
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = pixels + qsizetype(y) * stride;
        auto *out = reinterpret_cast<uint32_t *>(image->scanLine(y));
        if (bits > 8)
            storeRow16(reinterpret_cast<const uint16_t *>(row), channels, w, (1u << bits) - 1, out);
        else
            storeRow8(row, channels, w, out);
        if (!alpha)
            for (int x = 0; x < w; ++x)
                out[x] |= 0xFF000000u;
    }
    return image;
}

} // namespace

bool sniffHeif(Bytes data)
{
    if (hasFtypBrand(data, kHevcBrands))
        return true;
    return hasFtypBrand(data, kImageBrand) && !hasFtypBrand(data, kAv1Brands);
}

Result<ImageInfo> readHeifInfo(Bytes data)
{
    auto primary = openPrimary(data);
    OX_TRY(primary);
    const heif_image_handle *h = primary->handle.get();
    OX_TRY(checkHandleSize(h));
    ImageInfo info;
    info.format = kFormat;
    info.width = heif_image_handle_get_width(h);
    info.height = heif_image_handle_get_height(h);
    info.bitDepth = lumaBits(h) * (heif_image_handle_has_alpha_channel(h) ? 4 : 3);
    return info;
}

Result<QImage> decodeHeif(Bytes data, DecodeObserver &observer)
{
    auto primary = openPrimary(data);
    OX_TRY(primary);
    const heif_image_handle *h = primary->handle.get();
    OX_TRY(checkHandleSize(h));
    observer.progress(0, 1);
    if (observer.cancelled())
        return failure(kFormat, "cancelled");

    const bool alpha = heif_image_handle_has_alpha_channel(h) != 0;
    const heif_chroma chroma =
        lumaBits(h) > 8
            ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
            : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    Progress progress;
    progress.observer = &observer;
    options->start_progress = Progress::start;
    options->on_progress = Progress::step;
    options->end_progress = Progress::end;
    options->progress_user_data = &progress;
    heif_image *raw = nullptr;
    const heif_error e = heif_decode_image(h, &raw, heif_colorspace_RGB, chroma, options.get());
    std::unique_ptr<heif_image, ImageFree> decoded(raw);
    if (progress.thrown)
        std::rethrow_exception(progress.thrown);
    if (e.code != heif_error_Ok)
        return heifError(e);
    if (observer.cancelled())
        return failure(kFormat, "cancelled");
    auto image = toImage(decoded.get(), alpha);
    OX_TRY(image);
    decoded.reset();
    const QByteArray profile = iccProfile(h);
    if (!profile.isEmpty())
        convertToSrgb(
            image.value(),
            Bytes(reinterpret_cast<const std::byte *>(profile.constData()), size_t(profile.size())),
            PixelModel::Rgb, kFormat);
    observer.progress(1, 1);
    return image;
}

} // namespace oxlume::imaging
