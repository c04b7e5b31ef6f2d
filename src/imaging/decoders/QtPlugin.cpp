#include "imaging/decoders/QtPlugin.h"

#include "imaging/ColourProfile.h"
#include "imaging/Limits.h"
#include "imaging/decoders/Inflate.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImageReader>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace oxlume::imaging {

namespace {

Q_LOGGING_CATEGORY(lcQtReaders, "oxlume.imaging.qtreaders", QtWarningMsg)

// Qt's readers print warnings of their own while they probe and decode (the TGA reader's
// canRead() does so for every file it is asked about). Those are not the user's business:
// while a Quiet is alive on a thread, messages from that thread go to the debug category
// instead (QT_LOGGING_RULES="oxlume.imaging.qtreaders.debug=true" shows them). Messages of
// other threads pass unchanged to whatever handler was there before.
thread_local int t_quiet = 0;
QtMessageHandler g_previousHandler = nullptr;

void quietFilter(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (t_quiet > 0 && type != QtFatalMsg) {
        const int depth = std::exchange(t_quiet, 0); // the debug line itself must pass
        qCDebug(lcQtReaders, "%s", qUtf8Printable(message));
        t_quiet = depth;
        return;
    }
    if (g_previousHandler) {
        g_previousHandler(type, context, message);
        return;
    }
    std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, message)));
}

class Quiet {
public:
    Quiet()
    {
        static std::once_flag installed;
        std::call_once(installed, [] { g_previousHandler = qInstallMessageHandler(quietFilter); });
        ++t_quiet;
    }
    ~Quiet() { --t_quiet; }
    Quiet(const Quiet &) = delete;
    Quiet &operator=(const Quiet &) = delete;
};

// Formats we decode ourselves; Qt's readers for them must never win the sniff.
bool isOwnFormat(const QByteArray &format)
{
    static const char *const kOwn[] = {"jpeg", "jpg", "bmp",  "dib",  "pcx",  "psd", "psb",
                                       "wmf",  "tga", "heif", "heic", "avif", "jxl"};
    return std::any_of(std::begin(kOwn), std::end(kOwn),
                       [&](const char *own) { return format == own; });
}

QByteArray wrap(Bytes data)
{
    // No copy: the reader only ever reads through the buffer.
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data.data()),
                                   qsizetype(data.size()));
}

// A reader over data, for the given format or, with none, the format picked from the
// content. Holds the buffer the reader reads from, so the two live and die together.
class ContentReader {
public:
    explicit ContentReader(Bytes data, const QByteArray &format = {})
        : m_bytes(wrap(data))
        , m_buffer(&m_bytes)
    {
        m_buffer.open(QIODevice::ReadOnly);
        m_reader.setDevice(&m_buffer);
        if (!format.isEmpty()) {
            m_reader.setFormat(format);
            m_reader.setDecideFormatFromContent(false);
        } else {
            m_reader.setDecideFormatFromContent(true);
        }
        m_reader.setAutoTransform(true);
        m_reader.setAllocationLimit(int(kMaxImageBytes >> 20));
    }
    QImageReader &reader() { return m_reader; }

private:
    QByteArray m_bytes;
    QBuffer m_buffer;
    QImageReader m_reader;
};

std::string_view head(Bytes data, size_t n)
{
    return {reinterpret_cast<const char *>(data.data()), std::min(data.size(), n)};
}

// The SVG reader claims anything that looks like XML or gzip. Accept it only for data that
// really holds an <svg element near the start. Compressed SVG never reaches the reader: Qt
// would inflate any gzip stream up to 2 GB, so we inflate it first (see inflateSvgz).
bool plausibleSvg(Bytes data)
{
    return head(data, 4096).find("<svg") != std::string_view::npos;
}

// The text of a compressed SVG: the parsed document takes several times its size, so the
// bound is a fraction of the image limit.
constexpr size_t kMaxSvgBytes = size_t(kMaxImageBytes / 32);

Bytes bytesOf(const QByteArray &b)
{
    return Bytes(reinterpret_cast<const std::byte *>(b.constData()), size_t(b.size()));
}

// When data is a gzip stream, points it at its inflated text (kept in store) for the plain
// SVG reader to take; fails when the text runs past the bound or the stream is damaged.
Result<void> inflateSvgz(Bytes &data, QByteArray &store)
{
    if (!isGzip(data))
        return {};
    auto inflated = inflateAtMost(data, Wrapping::Gzip, kMaxSvgBytes + 1);
    if (!inflated)
        return makeError("SVGZ: " + inflated.error().message);
    if (size_t(inflated->bytes.size()) > kMaxSvgBytes)
        return makeError("SVGZ: the drawing inflates past the limit of " +
                         std::to_string(kMaxSvgBytes) + " bytes");
    store = std::move(inflated->bytes);
    data = bytesOf(store);
    return {};
}

// The ICO reader claims anything that starts with 00 00 01 00 or 00 00 02 00, which
// includes many TGA headers. Ask for a directory whose entries all lie inside the data and
// whose first image is a PNG or a BITMAPINFOHEADER.
bool plausibleIco(Bytes data)
{
    ByteReader r(data);
    const uint16_t reserved = r.u16le(), type = r.u16le(), count = r.u16le();
    if (r.failed() || reserved != 0 || (type != 1 && type != 2) || count == 0)
        return false;
    const uint64_t directoryEnd = 6 + uint64_t(count) * 16;
    uint32_t firstOffset = 0;
    for (int i = 0; i < count; ++i) {
        r.skip(8);
        const uint32_t size = r.u32le(), offset = r.u32le();
        if (r.failed() || size == 0 || offset < directoryEnd ||
            uint64_t(offset) + size > data.size())
            return false;
        if (i == 0)
            firstOffset = offset;
    }
    ByteReader image(data, firstOffset);
    const uint32_t magic = image.u32be();
    if (magic == 0x89504e47u) // PNG signature
        return true;
    const uint32_t headerSize =
        (magic >> 24) | ((magic >> 8) & 0xff00u) | ((magic << 8) & 0xff0000u) | (magic << 24);
    return headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 108 ||
           headerSize == 124; // the BITMAPINFOHEADER family
}

bool plausible(const QByteArray &format, Bytes data)
{
    if (format == "svg" || format == "svgz")
        return plausibleSvg(data);
    if (format == "ico" || format == "cur")
        return plausibleIco(data);
    return true;
}

bool claims(Bytes data, const QByteArray &format)
{
    ContentReader content(data, format);
    return content.reader().canRead() && plausible(format, data);
}

// The reader format for data, or nothing when no installed reader (other than the ones for
// our own formats) claims it. Qt's own pick comes first; when that pick is implausible,
// every other installed reader gets its turn, so a TGA is not lost to the ICO reader.
std::optional<QByteArray> detectFormat(Bytes data)
{
    if (data.empty())
        return std::nullopt;
    ContentReader content(data);
    QByteArray picked;
    if (content.reader().canRead()) {
        picked = content.reader().format().toLower();
        if (isOwnFormat(picked))
            return std::nullopt; // ours, but our decoder did not take it: not Qt's to read
        if (!picked.isEmpty() && plausible(picked, data))
            return picked;
    }
    for (const QByteArray &format : QImageReader::supportedImageFormats()) {
        if (format == picked || isOwnFormat(format))
            continue;
        if (claims(data, format))
            return format;
    }
    return std::nullopt;
}

// Bits per pixel as the file stores them, as far as the reader tells: Qt widens 24-bit RGB
// to RGB32, so that one is reported as 24.
int storedBitDepth(QImage::Format format)
{
    switch (format) {
    case QImage::Format_Invalid: return 0;
    case QImage::Format_RGB32: return 24;
    case QImage::Format_RGBX64: return 48;
    default: return QImage::toPixelFormat(format).bitsPerPixel();
    }
}

// GIF readers report no pixel format before decoding; the global colour table's size is
// the stored depth.
int gifBitDepth(Bytes data)
{
    ByteReader r(data, 10);
    const uint8_t flags = r.u8();
    return r.failed() ? 0 : (flags & 0x80) ? (flags & 7) + 1 : 8;
}

bool hasSizeVariants(const QByteArray &format)
{
    return format == "ico" || format == "cur" || format == "icns";
}

// Icon files hold one picture at several sizes: show the largest (the deepest among equals),
// as a viewer should, rather than whichever comes first. Leaves the reader on that image.
void jumpToBestVariant(QImageReader &reader, const QByteArray &format)
{
    if (!hasSizeVariants(format))
        return;
    const int count = std::min(reader.imageCount(), 256);
    int best = -1;
    int64_t bestArea = -1;
    int bestDepth = -1;
    for (int i = 0; i < count; ++i) {
        if (!reader.jumpToImage(i))
            break;
        const QSize size = reader.size();
        const int64_t area = size.isValid() ? int64_t(size.width()) * size.height() : 0;
        const int depth = storedBitDepth(reader.imageFormat());
        if (area > bestArea || (area == bestArea && depth > bestDepth)) {
            best = i;
            bestArea = area;
            bestDepth = depth;
        }
    }
    if (best >= 0)
        reader.jumpToImage(best);
}

std::string formatLabel(const QByteArray &format)
{
    return format.toUpper().toStdString();
}

Result<void> checkSize(const std::string &label, QSize size)
{
    if (!size.isValid())
        return {}; // some readers know their size only after reading; the allocation limit holds
    const int64_t w = size.width(), h = size.height();
    if (w <= 0 || h <= 0)
        return makeError(label + ": image size " + std::to_string(w) + " x " + std::to_string(h) +
                         " is empty");
    if (w > kMaxImageSide || h > kMaxImageSide || w * h > kMaxImagePixels)
        return makeError(label + ": image of " + std::to_string(w) + " x " + std::to_string(h) +
                         " pixels exceeds the limit of " + std::to_string(kMaxImagePixels) +
                         " pixels");
    return {};
}

} // namespace

bool sniffQtPlugin(Bytes data)
{
    Quiet quiet;
    if (isGzip(data)) { // compressed SVG: enough of the text to find the <svg element
        auto head = inflateAtMost(data, Wrapping::Gzip, 4096);
        return head.ok() && detectFormat(bytesOf(head->bytes)) == QByteArray("svg");
    }
    return detectFormat(data).has_value();
}

Result<ImageInfo> readQtPluginInfo(Bytes data)
{
    QByteArray inflated;
    OX_TRY(inflateSvgz(data, inflated));
    Quiet quiet;
    const std::optional<QByteArray> format = detectFormat(data);
    if (!format)
        return makeError("Qt: no installed image reader recognises the data");
    const std::string label = formatLabel(*format);
    ContentReader content(data, *format);
    QImageReader &reader = content.reader();
    jumpToBestVariant(reader, *format);
    const QSize size = reader.size();
    if (!size.isValid())
        return makeError(label + ": the header gives no image size");
    OX_TRY(checkSize(label, size));
    ImageInfo info;
    info.format = label;
    // With auto-transform on, a rotated image reports its stored size; report what is shown.
    const bool swaps = reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
    info.width = swaps ? size.height() : size.width();
    info.height = swaps ? size.width() : size.height();
    info.bitDepth = *format == "gif" ? gifBitDepth(data) : storedBitDepth(reader.imageFormat());
    return info;
}

Result<QImage> decodeQtPlugin(Bytes data, DecodeObserver &observer)
{
    QByteArray inflated;
    OX_TRY(inflateSvgz(data, inflated));
    const std::optional<QByteArray> format = [&] {
        Quiet quiet;
        return detectFormat(data);
    }();
    if (!format)
        return makeError("Qt: no installed image reader recognises the data");
    const std::string label = formatLabel(*format);
    ContentReader content(data, *format);
    QImageReader &reader = content.reader();
    QSize size;
    {
        Quiet quiet;
        jumpToBestVariant(reader, *format);
        size = reader.size();
    }
    OX_TRY(checkSize(label, size));

    // Qt's readers decode in one call with no progress of their own: report the start and
    // the end, and honour a cancel made before the work starts.
    observer.progress(0, 1);
    if (observer.cancelled())
        return makeError(label + ": cancelled");
    QImage image;
    {
        Quiet quiet;
        image = reader.read(); // the first frame of an animation or multi-page file
    }
    if (image.isNull())
        return makeError(label + ": " + reader.errorString().toStdString());
    OX_TRY(checkSize(label, image.size()));
    // The reader attaches the file's profile (or PNG's gamma and chromaticities) to the image.
    const QByteArray profile = qtImageProfile(image);
    image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return makeError(label + ": out of memory converting the image");
    if (!profile.isEmpty()) {
        convertToSrgb(
            image,
            Bytes(reinterpret_cast<const std::byte *>(profile.constData()), size_t(profile.size())),
            PixelModel::Rgb, label);
        image.setColorSpace(QColorSpace(QColorSpace::SRgb));
    }
    observer.progress(1, 1);
    return image;
}

} // namespace oxlume::imaging
