#include "imaging/ImageFile.h"

#include "imaging/Limits.h"
#include "imaging/Scaler.h"
#include "imaging/ViewGeometry.h"
#include "imaging/decoders/Decoders.h"
#include "imaging/decoders/Jpeg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oxlume::imaging {

namespace {

std::string errnoText(int err)
{
    return std::generic_category().message(err);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {
    }
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The bytes of the last file read on this thread. Kept between loads so that stepping
// through a folder of photos reuses pages that are already mapped instead of faulting in
// fresh ones for every file; a buffer grown for an unusually large file is given back.
class ReadBuffer {
public:
    std::byte *data() { return m_data.get(); }
    size_t capacity() const { return m_capacity; }

    // Grows to at least n bytes, keeping the first `keep` bytes. Rounds up with some room,
    // so that a folder of photos of similar sizes settles on one buffer.
    void grow(size_t n, size_t keep)
    {
        if (n <= m_capacity)
            return;
        constexpr size_t kStep = size_t(1) << 20;
        constexpr size_t kMost = size_t(kMaxFileBytes) + 1;
        n = std::max(n, std::min((n + n / 8 + kStep - 1) / kStep * kStep, kMost));
        std::unique_ptr<std::byte[]> bigger(new std::byte[n]); // left uninitialised on purpose
        if (keep > 0)
            std::memcpy(bigger.get(), m_data.get(), keep);
        m_data = std::move(bigger);
        m_capacity = n;
    }

    void trim()
    {
        if (m_capacity > kKeepBytes) {
            m_data.reset();
            m_capacity = 0;
        }
    }

private:
    static constexpr size_t kKeepBytes = size_t(256) << 20;
    std::unique_ptr<std::byte[]> m_data;
    size_t m_capacity = 0;
};

thread_local ReadBuffer t_buffer;

// Gives the buffer back when a load ends, however it ends.
struct TrimOnExit {
    ~TrimOnExit() { t_buffer.trim(); }
};

// Reads the whole file into t_buffer. Opening with O_NONBLOCK means a FIFO or device is
// refused after fstat instead of blocking open() until a writer appears.
Result<Bytes> readWholeFile(const std::string &path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        return makeError("cannot open: " + errnoText(err), err);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        return makeError("cannot read its status: " + errnoText(err), err);
    }
    if (!S_ISREG(st.st_mode))
        return makeError("not a regular file");
    if (st.st_size > kMaxFileBytes)
        return makeError("file of " + std::to_string(st.st_size) + " bytes exceeds the limit of " +
                         std::to_string(kMaxFileBytes) + " bytes");

    // One byte more than the file's size, so that EOF shows without growing the buffer;
    // a file that grows while we read is read on, up to the limit.
    const size_t limit = size_t(kMaxFileBytes);
    size_t used = 0;
    t_buffer.grow(size_t(st.st_size) + 1, 0);
    for (;;) {
        if (used == t_buffer.capacity()) {
            if (used > limit)
                return makeError("file grew past the limit of " + std::to_string(kMaxFileBytes) +
                                 " bytes while loading");
            const size_t wanted = std::min(std::max(used * 2, size_t(64) << 10), limit + 1);
            t_buffer.grow(wanted, used);
        }
        const ssize_t n = ::read(fd.get(), t_buffer.data() + used, t_buffer.capacity() - used);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            return makeError("read failed: " + errnoText(err), err);
        }
        if (n == 0)
            break;
        used += size_t(n);
    }
    if (used > limit)
        return makeError("file grew past the limit of " + std::to_string(kMaxFileBytes) +
                         " bytes while loading");
    if (used == 0)
        return makeError("file is empty");
    return Bytes(t_buffer.data(), used);
}

// Decoders report bad input as a Result, but a broken internal rule or an allocation that
// fails still throws; neither may escape into the viewer's worker.
template<typename T, typename Fn>
Result<T> guarded(Fn &&fn)
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        return makeError("out of memory while decoding");
    } catch (const std::exception &e) {
        return makeError(e.what());
    }
}

Result<QImage> decodeWith(const DecoderEntry &decoder, Bytes data, DecodeObserver &observer)
{
    if (observer.cancelled())
        return makeError("cancelled");
    Result<QImage> decoded =
        guarded<QImage>([&]() -> Result<QImage> { return decoder.decode(data, observer); });
    if (!decoded)
        return decoded;
    QImage image = std::move(decoded).value();
    if (image.isNull())
        return makeError(std::string(decoder.name) + ": decoder returned no image");
    // The viewer relies on these two formats; a decoder that delivers another is converted
    // rather than trusted.
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
        image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    return image;
}

Result<ImageInfo> infoWith(const DecoderEntry &decoder, Bytes data)
{
    return guarded<ImageInfo>([&]() -> Result<ImageInfo> { return decoder.readInfo(data); });
}

// The opening every load shares: read the whole file and pick its decoder by content, then
// hand both to use. The read buffer is trimmed when it returns, however it ends.
template<typename T, typename Use>
Result<T> withDecoder(const std::string &path, Use &&use)
{
    TrimOnExit trim;
    Result<Bytes> data = readWholeFile(path);
    if (!data)
        return data.error();
    Result<const DecoderEntry *> found = guarded<const DecoderEntry *>(
        [&]() -> Result<const DecoderEntry *> { return findDecoder(data.value(), path); });
    if (!found)
        return found.error();
    if (!found.value())
        return makeError("unknown image format");
    return use(*found.value(), data.value());
}

// The reason named by its file, for callers that take one message.
template<typename T>
Result<T> named(const std::string &path, Result<T> result)
{
    if (result)
        return result;
    return makeError(path + ": " + result.error().message, result.error().code);
}

} // namespace

Result<QImage> decodeImageFile(const std::string &path, DecodeObserver &observer)
{
    return withDecoder<QImage>(path, [&](const DecoderEntry &decoder, Bytes data) {
        return decodeWith(decoder, data, observer);
    });
}

Result<QImage> loadImageFile(const std::string &path, DecodeObserver &observer)
{
    return named(path, decodeImageFile(path, observer));
}

Result<QImage> loadReducedJpeg(const std::string &path, int64_t minPixels, int64_t previewPixels,
                               DecodeObserver &observer, QSize *fullSize)
{
    TrimOnExit trim;
    Result<Bytes> data = readWholeFile(path);
    if (!data)
        return named<QImage>(path, data.error());
    Result<ImageInfo> info = sniffJpeg(data.value()) ? readJpegInfo(data.value())
                                                     : Result<ImageInfo>(makeError("no JPEG"));
    const int64_t pixels = info ? int64_t(info->width) * info->height : 0;
    if (pixels < minPixels || pixels <= 0)
        return named<QImage>(path, makeError("no quick preview for this image"));
    if (fullSize) {
        *fullSize = QSize(info->width, info->height);
        if (readJpegOrientation(data.value()) >= 5)
            fullSize->transpose();
    }
    JpegOptions options;
    options.scaleDenom = 8;
    while (options.scaleDenom > 2 &&
           pixels / (int64_t(options.scaleDenom) * options.scaleDenom) < previewPixels)
        options.scaleDenom /= 2;
    return named(path, guarded<QImage>([&]() -> Result<QImage> {
                     return decodeJpegWith(data.value(), observer, options);
                 }));
}

namespace {

int64_t ceilDiv(int64_t a, int64_t b)
{
    return (a + b - 1) / b;
}

// The DCT scale (1, 2, 4 or 8) for a JPEG whose whole is full (upright) shown fitted in area:
// the strongest whose output (libjpeg rounds up) still covers the painted size.
int fittedJpegScale(QSize full, const FitArea &area)
{
    const QSize shown =
        ViewGeometry(full, area.size, area.devicePixelRatio, PaintSizeMode::Fit).targetDeviceSize();
    if (shown.isEmpty() || full.width() < 2 * shown.width() || full.height() < 2 * shown.height())
        return 1;
    int denom = 2;
    while (denom < 8 && ceilDiv(full.width(), denom * 2) >= shown.width() &&
           ceilDiv(full.height(), denom * 2) >= shown.height())
        denom *= 2;
    return denom;
}

// The reduced decode of a JPEG much larger than its fitted size, else nothing.
std::optional<Result<FittedImage>> decodeJpegFitted(Bytes data, const FitArea &area,
                                                    DecodeObserver &observer)
{
    const Result<ImageInfo> info = readJpegInfo(data);
    // Past the pixel limit the whole decode is reduced already; it stays the only one.
    if (!info || int64_t(info->width) * info->height > kMaxImagePixels)
        return std::nullopt;
    QSize full(info->width, info->height);
    if (readJpegOrientation(data) >= 5)
        full.transpose();
    JpegOptions options;
    options.scaleDenom = fittedJpegScale(full, area);
    if (options.scaleDenom == 1)
        return std::nullopt;
    Result<QImage> image = decodeJpegWith(data, observer, options);
    if (!image)
        return image.error();
    return FittedImage{std::move(image).value(), PaintReady{full, QImage()}};
}

} // namespace

QImage reductionForArea(const QImage &image, const FitArea &area, QSize shownSize)
{
    const QSize target = ViewGeometry(shownSize.isEmpty() ? image.size() : shownSize, area.size,
                                      area.devicePixelRatio, PaintSizeMode::Fit)
                             .targetDeviceSize();
    if (target.isEmpty() || target.width() >= image.width() || target.height() >= image.height())
        return QImage();
    return reduceForPainting(image, target);
}

Result<FittedImage> decodeImageFileFitted(const std::string &path, const FitArea &area,
                                          DecodeObserver &observer)
{
    return withDecoder<FittedImage>(path, [&](const DecoderEntry &decoder, Bytes data) {
        return guarded<FittedImage>([&]() -> Result<FittedImage> {
            std::optional<Result<FittedImage>> fitted;
            if (std::string_view(decoder.name) == "JPEG")
                fitted = decodeJpegFitted(data, area, observer);
            if (!fitted) {
                Result<QImage> image = decodeWith(decoder, data, observer);
                if (!image)
                    return image.error();
                fitted = FittedImage{std::move(image).value(), PaintReady{}};
            }
            if (*fitted) {
                try {
                    FittedImage &f = fitted->value();
                    f.ready.reduced = reductionForArea(f.image, area, f.ready.fullSize);
                } catch (const std::bad_alloc &) {
                    // Short of memory: the painting control reduces it later, or samples.
                }
            }
            return std::move(*fitted);
        });
    });
}

Result<ImageInfo> readImageFileInfo(const std::string &path)
{
    return named(path, withDecoder<ImageInfo>(path, infoWith));
}

Result<LoadedImage> loadImageFileWithInfo(const std::string &path, DecodeObserver &observer)
{
    const auto both = [&](const DecoderEntry &decoder, Bytes data) -> Result<LoadedImage> {
        Result<ImageInfo> info = infoWith(decoder, data);
        if (!info)
            return info.error();
        Result<QImage> image = decodeWith(decoder, data, observer);
        if (!image)
            return image.error();
        return LoadedImage{std::move(image).value(), std::move(info).value()};
    };
    return named(path, withDecoder<LoadedImage>(path, both));
}

} // namespace oxlume::imaging
