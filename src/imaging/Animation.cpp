#include "imaging/Animation.h"

#include "imaging/ColourProfile.h"
#include "imaging/decoders/Failure.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QtEndian>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace oxlume::imaging {

namespace {

// A player holds the canvas, the frame being drawn, the region a frame restores and the
// frame on screen: four images within the bound of one. Larger animations show their
// first frame only, as a still.
constexpr int64_t kMaxCanvasPixels = kMaxImagePixels / 4;

bool canvasFits(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
           width * height <= kMaxCanvasPixels;
}

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// A frame as the viewer shows it: sRGB, 0xAARRGGBB.
QImage toShown(QImage image, const char *format)
{
    const QByteArray profile = qtImageProfile(image);
    image.convertTo(QImage::Format_ARGB32);
    if (!profile.isEmpty() && !image.isNull())
        convertToSrgb(
            image,
            Bytes(reinterpret_cast<const std::byte *>(profile.constData()), size_t(profile.size())),
            PixelModel::Rgb, format);
    return image;
}

// GIF and WebP through Qt's readers, which compose each frame on the canvas themselves.
class QtFrames : public FrameSource {
public:
    explicit QtFrames(const QByteArray &data)
        : m_data(data)
    {
        restart();
    }
    bool valid()
    {
        const QByteArray format = m_reader->format().toLower();
        if (format != "gif" && format != "webp")
            return false;
        m_label = format.toUpper().toStdString();
        const QSize size = m_reader->size();
        m_count = m_reader->supportsAnimation() ? m_reader->imageCount() : 0;
        return m_count > 1 && size.isValid() && canvasFits(size.width(), size.height());
    }

    Result<AnimationFrame> next() override
    {
        if (atEnd())
            return failure(m_label.c_str(), "no frame after the last");
        QImage image = m_reader->read();
        ++m_index;
        if (image.isNull())
            return failure(m_label.c_str(),
                           "frame " + num(m_index) + ": " + m_reader->errorString().toStdString());
        return AnimationFrame{toShown(std::move(image), m_label.c_str()),
                              m_reader->nextImageDelay()};
    }
    bool atEnd() const override { return m_index >= m_count; }
    void rewind() override { restart(); }
    int plays() const override
    {
        const int loops = m_reader->loopCount(); // repeats after the first play; -1: for ever
        return loops < 0 ? 0 : loops + 1;
    }

private:
    void restart()
    {
        m_reader.reset();
        m_buffer = std::make_unique<QBuffer>();
        m_buffer->setData(m_data);
        m_buffer->open(QIODevice::ReadOnly);
        m_reader = std::make_unique<QImageReader>(m_buffer.get());
        m_reader->setDecideFormatFromContent(true);
        // Qt allocates the logical screen, which the first frame's size need not show.
        m_reader->setAllocationLimit(int((kMaxCanvasPixels * 4) >> 20));
        m_index = 0;
    }

    QByteArray m_data;
    std::unique_ptr<QBuffer> m_buffer;
    std::unique_ptr<QImageReader> m_reader;
    std::string m_label;
    int m_count = 0;
    int m_index = 0;
};

// APNG: Debian's libpng knows no frame chunks. Each frame's data (IDAT or fdAT) is put in a
// small PNG of its own, with the file's header chunks, for Qt's reader to decode; the
// frames are then drawn on the canvas as their fcTL chunks say.
class ApngFrames : public FrameSource {
public:
    struct Span {
        size_t at = 0, size = 0;
    };
    struct Frame {
        uint32_t width = 0, height = 0, x = 0, y = 0;
        int delayMs = 0;
        uint8_t dispose = 0, blend = 0;
        std::vector<Span> data;
    };

    explicit ApngFrames(const QByteArray &data)
        : m_data(data)
    {
    }
    // Indexes the chunks; false for a still PNG, a damaged header, or fewer than two frames.
    bool index();

    Result<AnimationFrame> next() override;
    bool atEnd() const override { return m_index >= m_frames.size(); }
    void rewind() override
    {
        m_index = 0;
        m_canvas = QImage();
    }
    int plays() const override { return int(std::min<uint32_t>(m_plays, 1u << 30)); }

private:
    QByteArray chunk(const char *type, const QByteArray &payload) const;
    QByteArray framePng(const Frame &f) const;

    QByteArray m_data;
    uint32_t m_width = 0, m_height = 0, m_plays = 0;
    Span m_ihdr;                // its payload
    std::vector<Span> m_header; // whole chunks between IHDR and the first data (PLTE, tRNS...)
    std::vector<Frame> m_frames;
    size_t m_index = 0;
    QImage m_canvas;
    QImage m_saved; // the region the previous frame restores (dispose 2)
    const Frame *m_previous = nullptr;
};

bool ApngFrames::index()
{
    const Bytes bytes(reinterpret_cast<const std::byte *>(m_data.constData()),
                      size_t(m_data.size()));
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kPngSignature, 8) != 0)
        return false;
    ByteReader r(bytes, 8);
    bool animated = false, seenData = false;
    while (r.remaining() >= 12) {
        const size_t start = r.position();
        const uint32_t length = r.u32be();
        char type[4];
        for (char &c : type)
            c = char(r.u8());
        if (!r.has(uint64_t(length) + 4))
            break; // cut short: the frames so far still play
        ByteReader body(bytes.subspan(r.position(), length));
        const std::string_view name(type, 4);
        if (name == "IHDR") {
            m_ihdr = {r.position(), length};
            m_width = body.u32be();
            m_height = body.u32be();
        } else if (name == "acTL") {
            animated = true;
            body.skip(4); // the frame count: the fcTL chunks are what counts
            m_plays = body.u32be();
        } else if (name == "fcTL") {
            Frame f;
            body.skip(4); // sequence number
            f.width = body.u32be(), f.height = body.u32be();
            f.x = body.u32be(), f.y = body.u32be();
            const uint32_t num = body.u16be(), den = body.u16be();
            f.delayMs = int(num * 1000u / (den == 0 ? 100u : den));
            f.dispose = body.u8(), f.blend = body.u8();
            if (!body.failed())
                m_frames.push_back(std::move(f));
        } else if ((name == "IDAT" || name == "fdAT") && !m_frames.empty()) {
            const size_t skip = name == "fdAT" ? 4 : 0;
            if (length > skip)
                m_frames.back().data.push_back({r.position() + skip, length - skip});
            seenData = true;
        } else if (name == "IDAT") {
            seenData = true; // the default image, not a frame
        } else if (name == "IEND") {
            break;
        } else if (!seenData && name != "acTL" && name != "fcTL") {
            m_header.push_back({start, size_t(length) + 12});
        }
        r.skip(uint64_t(length) + 4);
    }
    while (!m_frames.empty() && m_frames.back().data.empty())
        m_frames.pop_back();
    return animated && m_ihdr.size >= 13 && m_frames.size() >= 2 && canvasFits(m_width, m_height);
}

QByteArray ApngFrames::chunk(const char *type, const QByteArray &payload) const
{
    QByteArray out(4, '\0');
    qToBigEndian(quint32(payload.size()), out.data());
    out += QByteArray(type, 4) + payload;
    uLong crc =
        crc32(0, reinterpret_cast<const Bytef *>(out.constData() + 4), uInt(payload.size() + 4));
    QByteArray tail(4, '\0');
    qToBigEndian(quint32(crc), tail.data());
    return out + tail;
}

QByteArray ApngFrames::framePng(const Frame &f) const
{
    QByteArray ihdr = m_data.mid(qsizetype(m_ihdr.at), qsizetype(m_ihdr.size));
    qToBigEndian(f.width, ihdr.data());
    qToBigEndian(f.height, ihdr.data() + 4);
    QByteArray png(reinterpret_cast<const char *>(kPngSignature), 8);
    png += chunk("IHDR", ihdr);
    for (const Span &s : m_header)
        png += m_data.mid(qsizetype(s.at), qsizetype(s.size));
    QByteArray idat;
    for (const Span &s : f.data)
        idat += m_data.mid(qsizetype(s.at), qsizetype(s.size));
    return png + chunk("IDAT", idat) + chunk("IEND", {});
}

Result<AnimationFrame> ApngFrames::next()
{
    if (atEnd())
        return failure("APNG", "no frame after the last");
    const Frame &f = m_frames[m_index++];
    const std::string which = "frame " + num(m_index) + " ";
    if (f.width == 0 || f.height == 0 || uint64_t(f.x) + f.width > m_width ||
        uint64_t(f.y) + f.height > m_height)
        return failure("APNG", which + "of " + num(f.width) + " x " + num(f.height) + " at " +
                                   num(f.x) + ", " + num(f.y) + " leaves the canvas of " +
                                   num(m_width) + " x " + num(m_height));
    QImage picture = QImage::fromData(framePng(f), "PNG");
    if (picture.isNull() || picture.width() != int(f.width) || picture.height() != int(f.height))
        return failure("APNG", which + "does not decode");
    picture = toShown(std::move(picture), "APNG");

    if (m_canvas.isNull()) {
        m_canvas = QImage(int(m_width), int(m_height), QImage::Format_ARGB32);
        if (m_canvas.isNull())
            return failure("APNG", "out of memory for the canvas");
        m_canvas.fill(Qt::transparent);
        m_previous = nullptr;
    }
    QPainter painter(&m_canvas);
    if (m_previous && m_previous->dispose != 0) {
        const QRect was(int(m_previous->x), int(m_previous->y), int(m_previous->width),
                        int(m_previous->height));
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        if (m_previous->dispose == 2 && !m_saved.isNull())
            painter.drawImage(was.topLeft(), m_saved);
        else
            painter.fillRect(was, Qt::transparent);
    }
    const QRect rect(int(f.x), int(f.y), int(f.width), int(f.height));
    // Restoring before the first frame means clearing, as for dispose 1.
    m_saved = f.dispose == 2 && m_index > 1 ? m_canvas.copy(rect) : QImage();
    painter.setCompositionMode(f.blend == 0 ? QPainter::CompositionMode_Source
                                            : QPainter::CompositionMode_SourceOver);
    painter.drawImage(rect.topLeft(), picture);
    painter.end();
    m_previous = &f;
    return AnimationFrame{m_canvas, f.delayMs};
}

} // namespace

bool FrameSource::mayBeAnimated(Bytes head)
{
    auto starts = [&](const char *text, size_t at = 0) {
        const size_t n = std::strlen(text);
        return head.size() >= at + n && std::memcmp(head.data() + at, text, n) == 0;
    };
    if (starts("GIF8"))
        return true;
    if (starts("RIFF") && starts("WEBPVP8X", 8))
        return head.size() > 20 && (uint8_t(head[20]) & 0x02) != 0; // the animation flag
    if (head.size() < 8 || std::memcmp(head.data(), kPngSignature, 8) != 0)
        return false;
    // acTL must come before the first IDAT.
    ByteReader r(head, 8);
    while (r.remaining() >= 8) {
        const uint32_t length = r.u32be();
        const uint32_t type = r.u32be();
        if (type == 0x6163544Cu) // "acTL"
            return true;
        if (type == 0x49444154u) // "IDAT"
            return false;
        r.skip(uint64_t(length) + 4);
    }
    return false;
}

std::unique_ptr<FrameSource> FrameSource::open(const QByteArray &data)
{
    const Bytes head(reinterpret_cast<const std::byte *>(data.constData()), size_t(data.size()));
    if (!mayBeAnimated(head))
        return nullptr;
    if (head.size() >= 8 && std::memcmp(head.data(), kPngSignature, 8) == 0) {
        auto apng = std::make_unique<ApngFrames>(data);
        return apng->index() ? std::move(apng) : nullptr;
    }
    auto frames = std::make_unique<QtFrames>(data);
    return frames->valid() ? std::move(frames) : nullptr;
}

} // namespace oxlume::imaging
