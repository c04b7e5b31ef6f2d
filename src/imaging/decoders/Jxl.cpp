#include "imaging/decoders/Jxl.h"

#include "imaging/ColourProfile.h"
#include "imaging/ImageBuffer.h"
#include "imaging/decoders/CodecSupport.h"
#include "platform/Processors.h"

#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace oxlume::imaging {

namespace {

constexpr char kFormat[] = "JXL";
// Input goes to the decoder in about this many slices, none smaller than kMinSlice.
constexpr size_t kSlices = 50;
constexpr size_t kMinSlice = size_t(256) << 10;
// What libjxl holds per pixel beside the image while it decodes a frame, measured on
// 12-megapixel photographs: about 13 bytes without alpha, 43 with it.
constexpr int64_t kWorkingBytesPerPixel = 16;
constexpr int64_t kWorkingBytesPerPixelWithAlpha = 48;

struct DecoderFree {
    void operator()(JxlDecoder *d) const { JxlDecoderDestroy(d); }
};
struct RunnerFree {
    void operator()(void *r) const { JxlThreadParallelRunnerDestroy(r); }
};

// The header fields the decode needs, read from the basic info.
struct Header {
    int width = 0; // as shown, after orientation
    int height = 0;
    int bits = 8;
    bool grey = false;
    bool alpha = false;
};

Result<Header> readHeader(JxlDecoder *d)
{
    JxlBasicInfo info;
    if (JxlDecoderGetBasicInfo(d, &info) != JXL_DEC_SUCCESS)
        return failure(kFormat, "unreadable header");
    const bool swaps = info.orientation >= JXL_ORIENT_TRANSPOSE;
    Header h;
    const int64_t w = swaps ? info.ysize : info.xsize;
    const int64_t hgt = swaps ? info.xsize : info.ysize;
    OX_TRY(checkWorkingSize(kFormat, w, hgt,
                            info.alpha_bits > 0 ? kWorkingBytesPerPixelWithAlpha
                                                : kWorkingBytesPerPixel));
    h.width = int(w);
    h.height = int(hgt);
    h.bits = int(std::clamp<uint32_t>(info.bits_per_sample, 1, 32));
    h.grey = info.num_color_channels == 1;
    h.alpha = info.alpha_bits > 0;
    return h;
}

// Feeds data to the decoder slice by slice until it reports an event that wants an answer.
class Feeder {
public:
    Feeder(JxlDecoder *d, Bytes data)
        : m_d(d)
        , m_data(data)
        , m_slice(std::max(kMinSlice, data.size() / kSlices))
    {
    }
    // The next event other than a request for input; JXL_DEC_NEED_MORE_INPUT when the data
    // ran out. progress is called after every slice; it returns false to stop.
    template<typename Progress>
    JxlDecoderStatus next(Progress &&progress)
    {
        for (;;) {
            const JxlDecoderStatus s = JxlDecoderProcessInput(m_d);
            if (s != JXL_DEC_NEED_MORE_INPUT)
                return s;
            const size_t unread = JxlDecoderReleaseInput(m_d);
            if (m_fed == m_data.size())
                return s;
            if (!progress(m_fed, m_data.size()))
                return JXL_DEC_ERROR;
            const size_t from = m_fed - unread;
            m_fed = std::min(m_data.size(), m_fed + m_slice);
            JxlDecoderSetInput(m_d, reinterpret_cast<const uint8_t *>(m_data.data()) + from,
                               m_fed - from);
            if (m_fed == m_data.size())
                JxlDecoderCloseInput(m_d);
        }
    }

private:
    JxlDecoder *m_d;
    Bytes m_data;
    size_t m_slice;
    size_t m_fed = 0;
};

// Where the decoder's rows go: straight into the image, as 0xAARRGGBB pixels.
struct Output {
    QImage *image = nullptr;
    int channels = 4;
    bool wide = false;

    static void row(void *opaque, size_t x, size_t y, size_t count, const void *pixels)
    {
        const Output &o = *static_cast<const Output *>(opaque);
        auto *out = reinterpret_cast<uint32_t *>(o.image->scanLine(int(y))) + x;
        if (o.wide)
            storeRow16(static_cast<const uint16_t *>(pixels), o.channels, int(count), 65535, out);
        else
            storeRow8(static_cast<const uint8_t *>(pixels), o.channels, int(count), out);
    }
};

QByteArray dataProfile(JxlDecoder *d)
{
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0 || size > kMaxProfileBytes)
        return {};
    QByteArray profile(qsizetype(size), Qt::Uninitialized);
    if (JxlDecoderGetColorAsICCProfile(d, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t *>(profile.data()),
                                       size) != JXL_DEC_SUCCESS)
        return {};
    return profile;
}

} // namespace

bool sniffJxl(Bytes data)
{
    static const unsigned char kContainer[12] = {0,   0,   0,    0x0C, 'J',  'X',
                                                 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    if (data.size() >= 2 && data[0] == std::byte{0xFF} && data[1] == std::byte{0x0A})
        return true;
    return data.size() >= 12 && std::memcmp(data.data(), kContainer, 12) == 0;
}

Result<ImageInfo> readJxlInfo(Bytes data)
{
    std::unique_ptr<JxlDecoder, DecoderFree> d(JxlDecoderCreate(nullptr));
    if (!d || JxlDecoderSubscribeEvents(d.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS)
        return failure(kFormat, "out of memory");
    JxlDecoderSetInput(d.get(), reinterpret_cast<const uint8_t *>(data.data()), data.size());
    JxlDecoderCloseInput(d.get());
    const JxlDecoderStatus s = JxlDecoderProcessInput(d.get());
    if (s == JXL_DEC_NEED_MORE_INPUT)
        return failure(kFormat, "the header is cut short");
    if (s != JXL_DEC_BASIC_INFO)
        return failure(kFormat, "unreadable header");
    auto h = readHeader(d.get());
    OX_TRY(h);
    ImageInfo info;
    info.format = kFormat;
    info.width = h->width;
    info.height = h->height;
    info.bitDepth = h->bits * ((h->grey ? 1 : 3) + (h->alpha ? 1 : 0));
    return info;
}

Result<QImage> decodeJxl(Bytes data, DecodeObserver &observer)
{
    std::unique_ptr<JxlDecoder, DecoderFree> d(JxlDecoderCreate(nullptr));
    std::unique_ptr<void, RunnerFree> runner(
        JxlThreadParallelRunnerCreate(nullptr, size_t(platform::usableProcessors())));
    if (!d || !runner ||
        JxlDecoderSetParallelRunner(d.get(), JxlThreadParallelRunner, runner.get()) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSubscribeEvents(d.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                               JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS)
        return failure(kFormat, "out of memory");
    JxlDecoderSetUnpremultiplyAlpha(d.get(), JXL_TRUE);

    Feeder feeder(d.get(), data);
    bool cancelled = false;
    auto progress = [&](size_t done, size_t total) {
        observer.progress(int64_t(done), int64_t(total));
        cancelled = observer.cancelled();
        return !cancelled;
    };
    Header header;
    QImage image;
    QByteArray profile;
    Output output;
    JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        const JxlDecoderStatus s = feeder.next(progress);
        if (cancelled)
            return failure(kFormat, "cancelled");
        switch (s) {
        case JXL_DEC_BASIC_INFO: {
            auto h = readHeader(d.get());
            OX_TRY(h);
            header = h.value();
            format.num_channels = header.grey ? 2 : 4;
            format.data_type = header.bits > 8 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8;
            break;
        }
        case JXL_DEC_COLOR_ENCODING: profile = dataProfile(d.get()); break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            auto allocated =
                allocateImage(kFormat, header.width, header.height,
                              header.alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
            OX_TRY(allocated);
            image = std::move(allocated.value());
            output = Output{&image, int(format.num_channels), header.bits > 8};
            if (JxlDecoderSetImageOutCallback(d.get(), &format, Output::row, &output) !=
                JXL_DEC_SUCCESS)
                return failure(kFormat, "the decoder refused the pixel format");
            break;
        }
        case JXL_DEC_FULL_IMAGE: // the first frame is the picture
        case JXL_DEC_SUCCESS:
            if (image.isNull())
                return failure(kFormat, "the file holds no image");
            d.reset();
            if (!profile.isEmpty())
                convertToSrgb(image,
                              Bytes(reinterpret_cast<const std::byte *>(profile.constData()),
                                    size_t(profile.size())),
                              header.grey ? PixelModel::Grey : PixelModel::Rgb, kFormat);
            observer.progress(1, 1);
            return image;
        case JXL_DEC_NEED_MORE_INPUT: return failure(kFormat, "the file is cut short");
        default: return failure(kFormat, "damaged or unsupported data");
        }
    }
}

} // namespace oxlume::imaging
