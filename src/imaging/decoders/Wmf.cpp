#include "imaging/decoders/Wmf.h"

#include "imaging/ImageBuffer.h"
#include "imaging/decoders/Failure.h"
#include "imaging/decoders/WmfPlayer.h"
#include "imaging/decoders/WmfRecords.h"
#include "imaging/decoders/WmfText.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <vector>

namespace oxlume::imaging {

namespace wmf {

namespace {

constexpr size_t kPlaceableSize = 22;
constexpr size_t kMetaHeaderSize = 18;

bool plausibleMetaHeader(ByteReader r)
{
    const uint16_t type = r.u16le();
    const uint16_t headerWords = r.u16le();
    const uint16_t version = r.u16le();
    return !r.failed() && (type == 1 || type == 2) && headerWords == 9 &&
           (version == 0x0100 || version == 0x0300);
}

// Logical units per inch of the metric map modes; 0 for the others.
double unitsPerInch(int mapMode)
{
    switch (mapMode) {
    case kMmLoMetric: return 254.0;
    case kMmHiMetric: return 2540.0;
    case kMmLoEnglish: return 100.0;
    case kMmHiEnglish: return 1000.0;
    case kMmTwips: return 1440.0;
    default: return 0.0;
    }
}

// What a first pass over the records tells about the drawing's extent.
struct Survey {
    std::optional<int> mapMode;
    std::optional<QPointF> windowOrg;
    std::optional<QPointF> windowExt;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool anyPoint = false;
    int64_t records = 0;
    std::string problem;
    // What text needs: the object table (fonts kept, other objects as empty slots), the
    // selected font, the text settings and the current position.
    std::vector<std::optional<Font>> objects;
    std::set<int> freeSlots;
    Font font;
    int textAlign = 0, charExtra = 0;
    QPointF position;

    void add(double x, double y)
    {
        if (!anyPoint) {
            minX = maxX = x;
            minY = maxY = y;
            anyPoint = true;
            return;
        }
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    // n (y, x) pairs as GDI stores single points; or x, y pairs when xFirst.
    void addPoints(ByteReader &r, int64_t n, bool xFirst)
    {
        for (int64_t i = 0; i < n && r.has(4); ++i) {
            const int a = r.i16le(), b = r.i16le();
            xFirst ? add(a, b) : add(b, a);
        }
    }
    // A new object takes the lowest free slot, as in playback.
    void createObject(std::optional<Font> object)
    {
        if (!freeSlots.empty()) {
            objects[size_t(*freeSlots.begin())] = std::move(object);
            freeSlots.erase(freeSlots.begin());
        } else if (objects.size() < size_t(kMaxObjects)) {
            objects.push_back(std::move(object));
        }
    }
    void selectObject(int index)
    {
        if (index >= 0 && size_t(index) < objects.size() && !freeSlots.count(index) &&
            objects[size_t(index)])
            font = *objects[size_t(index)];
    }
    void deleteObject(int index)
    {
        if (index >= 0 && size_t(index) < objects.size() && freeSlots.insert(index).second)
            objects[size_t(index)].reset();
    }
    void addText(const TextRecord &t);
};

// The box the string takes, turned as the font's escapement says, and its reference point.
void Survey::addText(const TextRecord &t)
{
    add(t.ref.x(), t.ref.y());
    if (t.bytes.empty() || !fontsAvailable())
        return;
    // Measured in pixels at the map mode's physical scale, or one pixel a unit without one;
    // the metric modes count y upwards.
    const double upi = unitsPerInch(mapMode.value_or(kMmText));
    const double scale = upi > 0 ? 96.0 / upi : 1.0, ySign = upi > 0 ? -1.0 : 1.0;
    const auto run = layoutText(font, decodeText(t.bytes, font.charset), t.dx, charExtra, textAlign,
                                scale, scale, 65536 * scale);
    if (!run)
        return;
    QPointF ref = t.ref;
    if (textAlign & kTaUpdateCp) {
        ref = position;
        const int h = textAlign & kTaHorizontalMask;
        if (h == kTaRight)
            position.rx() -= run->logicalAdvance(scale);
        else if (h != kTaCenter)
            position.rx() += run->logicalAdvance(scale);
    }
    for (const QPointF &p :
         run->transform(QPointF(0, 0), font.escapement).map(QPolygonF(run->box())))
        add(ref.x() + p.x() / scale, ref.y() + ySign * p.y() / scale);
}

void surveyRecord(Survey &s, const RecordView &rec)
{
    ByteReader r(rec.params);
    switch (rec.function) {
    case kSetMapMode:
        if (!s.mapMode && r.has(2))
            s.mapMode = int(r.u16le());
        break;
    case kSetWindowOrg:
        if (!s.windowOrg && r.has(4)) {
            const int y = r.i16le(), x = r.i16le();
            s.windowOrg = QPointF(x, y);
        }
        break;
    case kSetWindowExt:
        if (!s.windowExt && r.has(4)) {
            const int y = r.i16le(), x = r.i16le();
            if (x != 0 && y != 0)
                s.windowExt = QPointF(x, y);
        }
        break;
    case kMoveTo:
    case kLineTo: {
        const int y = r.i16le(), x = r.i16le();
        if (!r.failed())
            s.add(x, y), s.position = QPointF(x, y);
        break;
    }
    case kSetPixel:
        r.skip(4);
        s.addPoints(r, 1, false);
        break;
    case kRectangle:
    case kEllipse: s.addPoints(r, 2, false); break;
    case kRoundRect:
        r.skip(4);
        s.addPoints(r, 2, false);
        break;
    case kArc:
    case kPie:
    case kChord:
        r.skip(8);
        s.addPoints(r, 2, false);
        break;
    case kPolygon:
    case kPolyline: {
        const int n = r.i16le();
        s.addPoints(r, n, true);
        break;
    }
    case kPolyPolygon: {
        const int polys = r.u16le();
        int64_t total = 0;
        for (int i = 0; i < polys && r.has(2); ++i)
            total += r.u16le();
        s.addPoints(r, total, true);
        break;
    }
    case kTextOut:
    case kExtTextOut:
        if (auto t = rec.function == kTextOut ? readTextOut(r) : readExtTextOut(r))
            s.addText(*t);
        break;
    case kCreateFontIndirect: s.createObject(readFont(r)); break;
    case kCreatePenIndirect:
    case kCreateBrushIndirect:
    case kDibCreatePatternBrush:
    case kCreatePatternBrush:
    case kCreatePalette:
    case kCreateRegion: s.createObject(std::nullopt); break;
    case kSelectObject:
        if (r.has(2))
            s.selectObject(r.u16le());
        break;
    case kDeleteObject:
        if (r.has(2))
            s.deleteObject(r.u16le());
        break;
    case kSetTextAlign:
        if (r.has(2))
            s.textAlign = r.u16le();
        break;
    case kSetTextCharExtra:
        if (r.has(2))
            s.charExtra = r.i16le();
        break;
    default: break;
    }
}

Survey survey(Bytes data, const Header &header)
{
    Survey s;
    RecordWalker walker(data, header.firstRecord);
    RecordView rec;
    RecordWalker::Step step;
    while ((step = walker.next(rec)) == RecordWalker::Step::Record)
        surveyRecord(s, rec);
    s.records = walker.count();
    if (step == RecordWalker::Step::Broken)
        s.problem = walker.problem();
    return s;
}

// Scales (w, h) so that the longer side is at most maxSide, keeping the aspect.
void capSize(double &w, double &h, double maxSide)
{
    const double longer = std::max(w, h);
    if (longer > maxSide) {
        w = w * maxSide / longer;
        h = h * maxSide / longer;
    }
}

Result<Layout> finishLayout(Layout layout, double w, double h)
{
    if (!(w > 0 && h > 0) || !std::isfinite(w) || !std::isfinite(h))
        return makeError("WMF: drawing size " + num(int64_t(w)) + " x " + num(int64_t(h)) +
                         " is empty");
    layout.width = std::max(1, int(std::lround(w)));
    layout.height = std::max(1, int(std::lround(h)));
    return layout;
}

} // namespace

Result<Header> parseHeader(Bytes data)
{
    Header h;
    ByteReader r(data);
    if (ByteReader(data).u32le() == kPlaceableKey) {
        r.skip(6); // the key, and the metafile handle, always 0 in files
        h.left = r.i16le();
        h.top = r.i16le();
        h.right = r.i16le();
        h.bottom = r.i16le();
        h.unitsPerInch = r.u16le();
        r.skip(6); // reserved, checksum: not checked, writers often get the checksum wrong
        if (r.failed())
            return makeError("WMF: placeable header cut short at " + num(int64_t(data.size())) +
                             " of " + num(kPlaceableSize) + " bytes");
        h.placeable = true;
    }
    const size_t metaStart = r.position();
    const uint16_t type = r.u16le();
    const uint16_t headerWords = r.u16le();
    h.version = r.u16le();
    r.skip(4); // file size in words: unreliable, the records themselves decide
    h.objectCount = r.u16le();
    r.skip(6); // largest record, parameter count
    if (r.failed())
        return makeError("WMF: metafile header cut short at " +
                         num(int64_t(data.size() - metaStart)) + " of " + num(kMetaHeaderSize) +
                         " bytes");
    if (type != 1 && type != 2)
        return makeError("WMF: header type " + num(type) + " is neither 1 (memory) nor 2 (disk)");
    if (headerWords != 9)
        return makeError("WMF: header size " + num(headerWords) + " words is not 9");
    h.firstRecord = metaStart + kMetaHeaderSize;
    return h;
}

RecordWalker::Step RecordWalker::next(RecordView &view)
{
    if (m_count >= kMaxRecords)
        return Step::End;
    const uint64_t remaining = m_pos <= m_data.size() ? m_data.size() - m_pos : 0;
    if (remaining == 0)
        return Step::End; // no end-of-file record: play what there is
    if (remaining < 6) {
        m_problem = "WMF: record " + num(m_count + 1) + " at offset " + num(int64_t(m_pos)) +
                    " is cut short (" + num(int64_t(remaining)) + " bytes left)";
        return Step::Broken;
    }
    ByteReader r(m_data, m_pos);
    const uint32_t words = r.u32le();
    const uint16_t function = r.u16le();
    if (words < 3 || uint64_t(words) * 2 > remaining) {
        m_problem = "WMF: record " + num(m_count + 1) + " at offset " + num(int64_t(m_pos)) +
                    " has size " + num(words) + " words; " +
                    (words < 3 ? std::string("the least is 3")
                               : "only " + num(int64_t(remaining / 2)) + " remain");
        return Step::Broken;
    }
    if (function == kEof)
        return Step::End;
    view.offset = m_pos;
    view.function = function;
    view.sizeWords = words;
    view.params = m_data.subspan(m_pos + 6, size_t(words) * 2 - 6);
    m_pos += size_t(words) * 2;
    ++m_count;
    return Step::Record;
}

Result<Layout> computeLayout(Bytes data, const Header &header)
{
    const Survey s = survey(data, header);
    if (s.records == 0 && !s.problem.empty())
        return makeError(s.problem);

    Layout layout;
    layout.recordCount = s.records;

    const double bw = double(header.right) - header.left;
    const double bh = double(header.bottom) - header.top;
    if (header.placeable && header.unitsPerInch > 0 && bw != 0 && bh != 0) {
        layout.frame = QRectF(header.left, header.top, bw, bh);
        layout.originAtStart = layout.frame.topLeft();
        layout.initialMapMode = kMmAnisotropic;
        layout.windowAtStart = true;
        double w = std::abs(bw) * 96.0 / header.unitsPerInch;
        double h = std::abs(bh) * 96.0 / header.unitsPerInch;
        capSize(w, h, kMaxRasterSide);
        return finishLayout(layout, w, h);
    }

    // A plain metafile (or a placeable one with an unusable box): the window the file
    // sets up, else the extent of what it draws.
    const int mode = s.mapMode.value_or(kMmText);
    const double upi = unitsPerInch(mode);
    layout.originAtStart = s.windowOrg.value_or(QPointF(0, 0));
    if (s.windowExt && upi == 0) {
        layout.frame = QRectF(layout.originAtStart, QSizeF(s.windowExt->x(), s.windowExt->y()));
    } else if (s.anyPoint) {
        layout.frame = QRectF(s.minX, s.minY, s.maxX - s.minX, s.maxY - s.minY);
        if (upi > 0) // y grows upwards: the top of the picture is the largest y
            layout.frame = QRectF(s.minX, s.maxY, s.maxX - s.minX, s.minY - s.maxY);
    } else {
        return makeError("WMF: the metafile sets no window extent and draws nothing");
    }
    double w = std::abs(layout.frame.width());
    double h = std::abs(layout.frame.height());
    if (w == 0 || h == 0) // a single line: give it some room
        w = std::max(w, 1.0), h = std::max(h, 1.0);
    if (upi > 0) {
        w = w * 96.0 / upi, h = h * 96.0 / upi;
        capSize(w, h, kMaxRasterSide);
    } else {
        // No physical size: show it at a size a screen can hold, small ones enlarged.
        const double longer = std::max(w, h);
        const double target = std::clamp(longer, 128.0, double(kMaxUnitlessSide));
        w = w * target / longer, h = h * target / longer;
    }
    return finishLayout(layout, w, h);
}

} // namespace wmf

bool sniffWmf(Bytes data)
{
    ByteReader r(data);
    if (r.u32le() == wmf::kPlaceableKey)
        return !r.failed();
    // A plain metafile has no magic number: ask for the exact header words.
    return wmf::plausibleMetaHeader(ByteReader(data));
}

Result<ImageInfo> readWmfInfo(Bytes data)
{
    auto header = wmf::parseHeader(data);
    if (!header)
        return header.error();
    auto layout = wmf::computeLayout(data, header.value());
    if (!layout)
        return layout.error();
    return ImageInfo{"WMF", layout->width, layout->height, 24};
}

Result<QImage> decodeWmf(Bytes data, DecodeObserver &observer)
{
    auto header = wmf::parseHeader(data);
    if (!header)
        return header.error();
    auto layout = wmf::computeLayout(data, header.value());
    if (!layout)
        return layout.error();
    auto image = allocateImage("WMF", layout->width, layout->height, QImage::Format_RGB32);
    if (!image)
        return image.error();
    // Metafiles have no background of their own; a viewer shows them on white.
    image->fill(Qt::white);
    OX_TRY(wmf::play(data, header.value(), layout.value(), image.value(), observer));
    return std::move(image).value();
}

} // namespace oxlume::imaging
