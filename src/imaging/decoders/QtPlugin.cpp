#include "imaging/decoders/QtPlugin.h"

#include "imaging/Limits.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include <algorithm>
#include <optional>
#include <string>

namespace oxlume::imaging {

namespace {

// Formats we decode ourselves; Qt's readers for them must never win the sniff.
bool isOwnFormat(const QByteArray &format)
{
    static const char *const kOwn[] = {"jpeg", "jpg", "bmp", "dib", "pcx", "psd", "psb", "wmf"};
    return std::any_of(std::begin(kOwn), std::end(kOwn),
                       [&](const char *own) { return format == own; });
}

QByteArray wrap(Bytes data)
{
    // No copy: the reader only ever reads through the buffer.
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data.data()),
                                   qsizetype(data.size()));
}

// A reader over data with the format picked from the content alone. Holds the buffer the
// reader reads from, so the two live and die together.
class ContentReader {
public:
    explicit ContentReader(Bytes data) : m_bytes(wrap(data)), m_buffer(&m_bytes)
    {
        m_buffer.open(QIODevice::ReadOnly);
        m_reader.setDevice(&m_buffer);
        m_reader.setDecideFormatFromContent(true);
        m_reader.setAutoTransform(true);
        m_reader.setAllocationLimit(int(kMaxImageBytes >> 20));
    }
    QImageReader &reader() { return m_reader; }

private:
    QByteArray m_bytes;
    QBuffer m_buffer;
    QImageReader m_reader;
};

// The SVG reader claims anything that looks like XML or gzip. Accept it only for data that
// really holds an <svg element near the start (or is compressed, as .svgz is).
bool plausibleSvg(Bytes data)
{
    if (data.size() >= 2 && data[0] == std::byte{0x1f} && data[1] == std::byte{0x8b})
        return true;
    const size_t n = std::min<size_t>(data.size(), 4096);
    const std::string_view head(reinterpret_cast<const char *>(data.data()), n);
    return head.find("<svg") != std::string_view::npos;
}

// The reader's format name for data, or nothing when no installed reader (other than the
// ones for our own formats) claims it.
std::optional<QByteArray> detectFormat(ContentReader &content, Bytes data)
{
    if (data.empty() || !content.reader().canRead())
        return std::nullopt;
    const QByteArray format = content.reader().format().toLower();
    if (format.isEmpty() || isOwnFormat(format))
        return std::nullopt;
    if ((format == "svg" || format == "svgz") && !plausibleSvg(data))
        return std::nullopt;
    return format;
}

// Bits per pixel as the file stores them, as far as the reader tells: Qt widens 24-bit RGB
// to RGB32, so that one is reported as 24.
int storedBitDepth(QImage::Format format)
{
    switch (format) {
    case QImage::Format_Invalid:
        return 0;
    case QImage::Format_RGB32:
        return 24;
    case QImage::Format_RGBX64:
        return 48;
    default:
        return QImage::toPixelFormat(format).bitsPerPixel();
    }
}

std::string formatLabel(const QByteArray &format) { return format.toUpper().toStdString(); }

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
    ContentReader content(data);
    return detectFormat(content, data).has_value();
}

Result<ImageInfo> readQtPluginInfo(Bytes data)
{
    ContentReader content(data);
    const std::optional<QByteArray> format = detectFormat(content, data);
    if (!format)
        return makeError("Qt: no installed image reader recognises the data");
    const std::string label = formatLabel(*format);
    QImageReader &reader = content.reader();
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
    info.bitDepth = storedBitDepth(reader.imageFormat());
    return info;
}

Result<QImage> decodeQtPlugin(Bytes data, DecodeObserver &observer)
{
    ContentReader content(data);
    const std::optional<QByteArray> format = detectFormat(content, data);
    if (!format)
        return makeError("Qt: no installed image reader recognises the data");
    const std::string label = formatLabel(*format);
    QImageReader &reader = content.reader();
    OX_TRY(checkSize(label, reader.size()));

    // Qt's readers decode in one call with no progress of their own: report the start and
    // the end, and honour a cancel made before the work starts.
    observer.progress(0, 1);
    if (observer.cancelled())
        return makeError(label + ": cancelled");
    QImage image = reader.read(); // the first frame of an animation or multi-page file
    if (image.isNull())
        return makeError(label + ": " + reader.errorString().toStdString());
    OX_TRY(checkSize(label, image.size()));
    image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return makeError(label + ": out of memory converting the image");
    observer.progress(1, 1);
    return image;
}

} // namespace oxlume::imaging
