// Metafile playback: a small GDI device context (objects, mapping, clipping, saved states)
// that paints each record through QPainter in raster coordinates.

#include "imaging/decoders/WmfPlayer.h"

#include "imaging/decoders/Bmp.h"
#include "imaging/decoders/WmfRecords.h"
#include "imaging/decoders/WmfText.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <new>
#include <numbers>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

namespace oxlume::imaging::wmf {

namespace {

// COLORREF: 0x00bbggrr. Palette-index forms (high byte 1 or 2) are taken as plain RGB.
QColor colorRef(uint32_t c)
{
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

struct Pen {
    int style = kPsSolid;
    int width = 0; // logical units; 0 = one device pixel
    QColor color = Qt::black;
};

struct Brush {
    int style = kBsSolid;
    QColor color = Qt::white;
    int hatch = 0;
    QImage pattern;
};

struct GdiObject {
    enum class Kind { Free, Pen, Brush, Font, Palette, Region };
    Kind kind = Kind::Free;
    Pen pen;
    Brush brush;
    Font font;
};

struct DcState {
    Pen pen;
    Brush brush;
    Font font;
    QColor textColor = Qt::black;
    QColor bkColor = Qt::white;
    int bkMode = kBkOpaque;
    int polyFillMode = kPolyFillAlternate;
    int rop2 = kR2CopyPen;
    int textAlign = 0;
    int charExtra = 0;
    int mapMode = kMmText;
    QPointF windowOrg{0, 0}, windowExt{1, 1}, viewportOrg{0, 0}, viewportExt{1, 1};
    bool windowExtSet = false;
    QPointF position{0, 0}; // current position, logical
    bool clipped = false;
    QRegion clip; // raster coordinates
};

double metricScale(int mapMode)
{
    switch (mapMode) {
    case kMmLoMetric: return 96.0 / 254.0;
    case kMmHiMetric: return 96.0 / 2540.0;
    case kMmLoEnglish: return 96.0 / 100.0;
    case kMmHiEnglish: return 96.0 / 1000.0;
    case kMmTwips: return 96.0 / 1440.0;
    default: return 0.0;
    }
}

// Where the pixels of a packed DIB come from: its stated height's sign says bottom-up.
bool dibIsBottomUp(Bytes dib)
{
    ByteReader r(dib);
    const uint32_t headerSize = r.u32le();
    if (headerSize == 12) {
        r.skip(2);
        return r.i16le() > 0;
    }
    r.skip(4);
    return r.i32le() > 0;
}

class NullObserver : public DecodeObserver {};

// Antialiased filling slows down with the square of the edges that cross a row, rows off
// the picture included (a hundred edges crossing a few thousand rows take a second, a few
// thousand take minutes); past this estimate a shape is drawn without antialiasing, which
// stays fast. Ordinary shapes cross a row a few times and stay far below it.
constexpr double kMaxAntialiasCost = 4e6;

// Sum over rows of (edges crossing the row)^2, from 256 bands over the shape's height.
double crossingCost(const QPainterPath &path)
{
    const int n = path.elementCount();
    if (n < 2)
        return 0;
    const QRectF bounds = path.controlPointRect();
    if (!(bounds.height() > 0) || !std::isfinite(bounds.height()))
        return 0;
    constexpr int kBands = 256;
    const double bandHeight = bounds.height() / kBands;
    int counts[kBands + 1] = {};
    auto edge = [&](QPointF a, QPointF b) {
        const double lo = std::min(a.y(), b.y()) - bounds.top();
        const double hi = std::max(a.y(), b.y()) - bounds.top();
        const int from = std::clamp(int(lo / bandHeight), 0, kBands - 1);
        const int to = std::clamp(int(hi / bandHeight), 0, kBands - 1);
        ++counts[from], --counts[to + 1];
    };
    QPointF start = path.elementAt(0), last = start;
    for (int i = 1; i < n; ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.isMoveTo()) {
            edge(last, start); // filling closes every sub-path
            start = e;
        } else {
            edge(last, e);
        }
        last = e;
    }
    edge(last, start);
    double cost = 0, k = 0;
    for (int b = 0; b < kBands; ++b) {
        k += counts[b];
        cost += k * k * bandHeight;
    }
    return cost;
}

// The object a creation record describes; pictures that cannot be read become grey.
GdiObject parseObject(uint16_t function, ByteReader &r)
{
    switch (function) {
    case kCreatePenIndirect: {
        GdiObject o{GdiObject::Kind::Pen, {}, {}, {}};
        o.pen.style = r.u16le();
        o.pen.width = r.i16le();
        r.skip(2);
        o.pen.color = colorRef(r.u32le());
        return o;
    }
    case kCreateBrushIndirect: {
        GdiObject o{GdiObject::Kind::Brush, {}, {}, {}};
        o.brush.style = r.u16le();
        o.brush.color = colorRef(r.u32le());
        o.brush.hatch = r.u16le();
        if (o.brush.style != kBsSolid && o.brush.style != kBsNull && o.brush.style != kBsHatched)
            o.brush.style = kBsSolid; // pattern styles need a picture this record lacks
        return o;
    }
    case kDibCreatePatternBrush: {
        GdiObject o{GdiObject::Kind::Brush, {}, {}, {}};
        const int style = r.u16le();
        r.skip(2);
        o.brush.style = kBsSolid;
        o.brush.color = QColor(128, 128, 128); // what a picture we cannot read looks like
        if (style != kBsPattern) {
            ByteReader h(r.rest());
            h.skip(4);
            const int64_t w = h.i32le(), ht = std::abs(int64_t(h.i32le()));
            NullObserver quiet;
            if (!h.failed() && w > 0 && w * ht <= 1 << 20) {
                auto pattern = decodeDib(r.rest(), quiet);
                if (pattern) {
                    o.brush.style = kBsDibPattern;
                    o.brush.pattern = std::move(pattern).value();
                }
            }
        }
        return o;
    }
    case kCreatePatternBrush: {
        GdiObject o{GdiObject::Kind::Brush, {}, {}, {}};
        o.brush.color = QColor(128, 128, 128);
        return o;
    }
    case kCreateFontIndirect: {
        GdiObject o{GdiObject::Kind::Font, {}, {}, {}};
        o.font = readFont(r);
        return o;
    }
    case kCreatePalette: return GdiObject{GdiObject::Kind::Palette, {}, {}, {}};
    default: return GdiObject{GdiObject::Kind::Region, {}, {}, {}}; // regions are placeholders
    }
}

// A single shape whose edges cross the rows more than this (the measure of crossingCost)
// is drawn without antialiasing in one piece no faster than in seconds: a record of many
// such edges is drawn polygon by polygon, and a lone polygon past it is left out.
constexpr double kMaxShapeCost = 2e9;
// Long polylines are drawn in runs of this many points, the budget asked between runs.
constexpr int kRunPoints = 512;

// The time a drawing may take and the wish to stop it, asked after every record and between
// the pieces of long ones (polygons of a record, runs of points, characters).
class DrawBudget {
public:
    enum class State { Going, TimeUp, Cancelled };
    DrawBudget(DecodeObserver *observer, std::atomic<bool> &stop)
        : m_observer(observer)
        , m_stop(stop)
    {
        m_clock.start();
    }
    // True once drawing must end; state() says why. Band 0 asks the observer and tells the
    // other bands through stop.
    bool over()
    {
        if (m_state != State::Going)
            return true;
        if (m_stop.load(std::memory_order_relaxed) || (m_observer && m_observer->cancelled())) {
            m_stop = true;
            m_state = State::Cancelled;
        } else if (m_clock.elapsed() > kPlaybackBudgetMs) {
            // A drawing that takes this long is hostile or broken: show what is there.
            m_state = State::TimeUp;
        }
        return m_state != State::Going;
    }
    State state() const { return m_state; }

private:
    DecodeObserver *m_observer;
    std::atomic<bool> &m_stop;
    QElapsedTimer m_clock;
    State m_state = State::Going;
};

class Player {
public:
    // Paints the rows [top, top + band.height()) of a picture of layout.width x height.
    Player(const Layout &layout, QImage &band, int top, DrawBudget &budget)
        : m_layout(layout)
        , m_width(layout.width)
        , m_height(layout.height)
        , m_top(top)
        , m_painter(&band)
        , m_budget(budget)
    {
        m_canDrawText = fontsAvailable();
        if (layout.windowAtStart) {
            m_dc.mapMode = kMmAnisotropic;
            m_dc.windowOrg = layout.frame.topLeft();
            m_dc.windowExt = QPointF(layout.frame.width(), layout.frame.height());
            m_dc.windowExtSet = true;
        }
        m_painter.setRenderHint(QPainter::Antialiasing, true);
        m_painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        m_painter.setBrushOrigin(0, -m_top); // patterns line up across bands
        updateTransform();
        m_painter.setBackground(m_dc.bkColor);
        m_painter.setBackgroundMode(Qt::OpaqueMode);
    }

    void record(const RecordView &rec);

private:
    // Record handlers, one per group of records; each reads its parameters from r.
    using Handler = void (Player::*)(const RecordView &rec, ByteReader &r);
    struct Entry {
        uint16_t function = 0;
        Handler handler = nullptr;
    };
    static constexpr std::array<Entry, 256> dispatchTable();
    void attributes(const RecordView &rec, ByteReader &r);
    void mapMode(const RecordView &rec, ByteReader &r);
    void origin(const RecordView &rec, ByteReader &r);
    void extent(const RecordView &rec, ByteReader &r);
    void objects(const RecordView &rec, ByteReader &r);
    void states(const RecordView &rec, ByteReader &r);
    void lines(const RecordView &rec, ByteReader &r);
    void shapes(const RecordView &rec, ByteReader &r);
    void texts(const RecordView &rec, ByteReader &r);
    void bitmaps(const RecordView &rec, ByteReader &r);

    // Mapping
    QPointF map(double x, double y) const { return {x * m_sx + m_tx, y * m_sy + m_ty}; }
    QRectF mapRect(double l, double t, double r, double b) const
    {
        return QRectF(map(l, t), map(r, b)).normalized();
    }
    void updateTransform();

    // State and objects
    void createObject(GdiObject object);
    void selectObject(int index);
    void deleteObject(int index);
    void saveDc();
    void restoreDc(int which);
    void applyClip();
    void clipRect(const QRectF &device, bool exclude);

    // Drawing
    bool preparePen(bool withBrush); // false: nothing to draw (R2_NOP)
    QPen makePen() const;
    QBrush makeBrush() const;
    void strokeAndFill(const QPainterPath &path, bool fill);
    void polygon(ByteReader &r, bool closed);
    void polyPolygon(ByteReader &r);
    void rectangle(ByteReader &r, int kind);
    void arc(ByteReader &r, int kind);
    void text(const TextRecord &t);
    void blit(const RecordView &rec);
    void patBlt(const QRectF &device, int rop);
    void drawDib(Bytes dib, QRectF srcRect, QPointF d0, QPointF d1, int rop);

    const Layout &m_layout;
    int m_width, m_height; // the whole picture
    int m_top;             // first row of the band this player paints
    QPainter m_painter;
    DrawBudget &m_budget;
    bool m_canDrawText = false;
    double m_sx = 1, m_sy = 1, m_tx = 0, m_ty = 0;
    DcState m_dc;
    std::vector<DcState> m_saved;
    int m_unsavedDepth = 0; // SAVEDCs past the cap, so that their RESTOREDCs pair up
    std::vector<GdiObject> m_objects;
    std::set<int> m_freeSlots;
};

void Player::updateTransform()
{
    const DcState &dc = m_dc;
    if ((dc.mapMode == kMmAnisotropic || dc.mapMode == kMmIsotropic) && dc.windowExtSet) {
        // The window fills the picture. Viewport records are not applied here: they address
        // the writer's device, whose size the file does not tell.
        double sx = m_width / dc.windowExt.x();
        double sy = m_height / dc.windowExt.y();
        if (dc.mapMode == kMmIsotropic) {
            const double m = std::min(std::abs(sx), std::abs(sy));
            sx = std::copysign(m, sx), sy = std::copysign(m, sy);
        }
        m_sx = sx, m_sy = sy;
        m_tx = -dc.windowOrg.x() * sx;
        m_ty = -dc.windowOrg.y() * sy - m_top;
        return;
    }
    // Fixed-scale modes: device = (p - windowOrg) * k + viewportOrg, and the layout's frame,
    // taken through the same mapping from the starting origin, fills the picture.
    const double k = metricScale(dc.mapMode);
    const double kx = k > 0 ? k : 1.0, ky = k > 0 ? -k : 1.0;
    const QRectF &f = m_layout.frame;
    const QPointF o = m_layout.originAtStart;
    const QRectF frame = QRectF(QPointF((f.left() - o.x()) * kx, (f.top() - o.y()) * ky),
                                QPointF((f.right() - o.x()) * kx, (f.bottom() - o.y()) * ky))
                             .normalized();
    const double fw = frame.width() > 0 ? frame.width() : 1.0;
    const double fh = frame.height() > 0 ? frame.height() : 1.0;
    m_sx = kx * m_width / fw;
    m_sy = ky * m_height / fh;
    m_tx = (-dc.windowOrg.x() * kx + dc.viewportOrg.x() - frame.left()) * m_width / fw;
    m_ty = (-dc.windowOrg.y() * ky + dc.viewportOrg.y() - frame.top()) * m_height / fh - m_top;
}

void Player::createObject(GdiObject object)
{
    // A new object takes the lowest free slot of the table.
    if (!m_freeSlots.empty()) {
        const int slot = *m_freeSlots.begin();
        m_freeSlots.erase(m_freeSlots.begin());
        m_objects[size_t(slot)] = std::move(object);
    } else if (m_objects.size() < size_t(kMaxObjects)) {
        m_objects.push_back(std::move(object));
    }
}

void Player::selectObject(int index)
{
    if (index < 0 || size_t(index) >= m_objects.size())
        return;
    const GdiObject &o = m_objects[size_t(index)];
    switch (o.kind) {
    case GdiObject::Kind::Pen: m_dc.pen = o.pen; break;
    case GdiObject::Kind::Brush: m_dc.brush = o.brush; break;
    case GdiObject::Kind::Font: m_dc.font = o.font; break;
    default: break;
    }
}

void Player::deleteObject(int index)
{
    // The selected copy in the device context stays usable, as GDI keeps a selected object.
    if (index < 0 || size_t(index) >= m_objects.size() ||
        m_objects[size_t(index)].kind == GdiObject::Kind::Free)
        return;
    m_objects[size_t(index)] = GdiObject{};
    m_freeSlots.insert(index);
}

void Player::saveDc()
{
    if (m_saved.size() >= size_t(kMaxSaveDepth) || m_unsavedDepth > 0) {
        ++m_unsavedDepth;
        return;
    }
    m_saved.push_back(m_dc);
}

void Player::restoreDc(int which)
{
    // Negative: that many levels back. Positive: the absolute level (1 = first save).
    const int64_t depth = int64_t(m_saved.size()) + m_unsavedDepth;
    int64_t levels = which < 0 ? -int64_t(which) : depth - which + 1;
    if (which == 0 || levels <= 0 || levels > depth)
        return;
    const int64_t unsaved = std::min<int64_t>(levels, m_unsavedDepth);
    m_unsavedDepth -= int(unsaved);
    levels -= unsaved;
    if (levels == 0 && unsaved > 0) {
        // Restoring a level that was never stored: keep the newest stored one.
        if (!m_saved.empty())
            m_dc = m_saved.back();
    } else if (levels > 0) {
        m_dc = m_saved[m_saved.size() - size_t(levels)];
        m_saved.resize(m_saved.size() - size_t(levels));
    }
    updateTransform();
    applyClip();
    m_painter.setBackground(m_dc.bkColor);
}

void Player::applyClip()
{
    if (m_dc.clipped)
        m_painter.setClipRegion(m_dc.clip);
    else
        m_painter.setClipping(false);
}

void Player::clipRect(const QRectF &device, bool exclude)
{
    const QRect r(QPoint(int(std::lround(std::clamp(device.left(), -1e6, 1e6))),
                         int(std::lround(std::clamp(device.top(), -1e6, 1e6)))),
                  QPoint(int(std::lround(std::clamp(device.right(), -1e6, 1e6))) - 1,
                         int(std::lround(std::clamp(device.bottom(), -1e6, 1e6))) - 1));
    const QRegion base = m_dc.clipped ? m_dc.clip : QRegion(0, -m_top, m_width, m_height);
    m_dc.clip = exclude ? base.subtracted(QRegion(r)) : base.intersected(QRegion(r));
    m_dc.clipped = true;
    applyClip();
}

QPen Player::makePen() const
{
    const Pen &p = m_dc.pen;
    const int style = p.style & kPsStyleMask;
    if (style == kPsNull)
        return QPen(Qt::NoPen);
    // GDI's pen width follows the x scale; below one pixel it draws one pixel.
    const double limit = 4.0 * (m_width + m_height);
    const double w = std::clamp(std::abs(p.width * m_sx), 1.0, limit);
    QPen pen(p.color, w);
    // One-pixel pens go through the raster engine's line drawer instead of the stroker.
    if (w <= 1.0)
        pen.setCosmetic(true);
    // Styled pens wider than a pixel draw solid, as GDI draws them.
    if (w <= 1.5) {
        switch (style) {
        case kPsDash: pen.setStyle(Qt::DashLine); break;
        case kPsDot: pen.setStyle(Qt::DotLine); break;
        case kPsDashDot: pen.setStyle(Qt::DashDotLine); break;
        case kPsDashDotDot: pen.setStyle(Qt::DashDotDotLine); break;
        default: break;
        }
    }
    switch (p.style & kPsEndCapMask) {
    case kPsEndCapSquare: pen.setCapStyle(Qt::SquareCap); break;
    case kPsEndCapFlat: pen.setCapStyle(Qt::FlatCap); break;
    default: pen.setCapStyle(Qt::RoundCap); break;
    }
    switch (p.style & kPsJoinMask) {
    case kPsJoinBevel: pen.setJoinStyle(Qt::BevelJoin); break;
    case kPsJoinMiter: pen.setJoinStyle(Qt::MiterJoin); break;
    default: pen.setJoinStyle(Qt::RoundJoin); break;
    }
    return pen;
}

QBrush Player::makeBrush() const
{
    const Brush &b = m_dc.brush;
    switch (b.style) {
    case kBsNull: return QBrush(Qt::NoBrush);
    case kBsHatched: {
        static const Qt::BrushStyle kHatches[] = {Qt::HorPattern,   Qt::VerPattern,
                                                  Qt::FDiagPattern, Qt::BDiagPattern,
                                                  Qt::CrossPattern, Qt::DiagCrossPattern};
        return QBrush(b.color, b.hatch >= 0 && b.hatch < 6 ? kHatches[b.hatch] : Qt::SolidPattern);
    }
    case kBsDibPattern:
    case kBsDibPatternPt:
        if (!b.pattern.isNull())
            return QBrush(b.pattern);
        return QBrush(b.color);
    default: return QBrush(b.color);
    }
}

bool Player::preparePen(bool withBrush)
{
    QPen pen = makePen();
    QBrush brush = withBrush ? makeBrush() : QBrush(Qt::NoBrush);
    QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver;
    switch (m_dc.rop2) {
    case kR2Nop: return false;
    case kR2Black:
    case kR2White: {
        const QColor c = m_dc.rop2 == kR2Black ? Qt::black : Qt::white;
        if (pen.style() != Qt::NoPen)
            pen.setColor(c);
        if (brush.style() != Qt::NoBrush)
            brush = QBrush(c);
        break;
    }
    case kR2NotMergePen: mode = QPainter::RasterOp_NotSourceAndNotDestination; break;
    case kR2MaskNotPen: mode = QPainter::RasterOp_NotSourceAndDestination; break;
    case kR2NotCopyPen: mode = QPainter::RasterOp_NotSource; break;
    case kR2MaskPenNot: mode = QPainter::RasterOp_SourceAndNotDestination; break;
    case kR2Not: mode = QPainter::RasterOp_NotDestination; break;
    case kR2XorPen: mode = QPainter::RasterOp_SourceXorDestination; break;
    case kR2NotMaskPen: mode = QPainter::RasterOp_NotSourceOrNotDestination; break;
    case kR2MaskPen: mode = QPainter::RasterOp_SourceAndDestination; break;
    case kR2NotXorPen: mode = QPainter::RasterOp_NotSourceXorDestination; break;
    case kR2MergeNotPen: mode = QPainter::RasterOp_NotSourceOrDestination; break;
    case kR2MergePenNot: mode = QPainter::RasterOp_SourceOrNotDestination; break;
    case kR2MergePen: mode = QPainter::RasterOp_SourceOrDestination; break;
    default: break;
    }
    m_painter.setCompositionMode(mode);
    // Raster operations act on whole pixels; blended edges would not invert back.
    m_painter.setRenderHint(QPainter::Antialiasing, mode == QPainter::CompositionMode_SourceOver);
    m_painter.setPen(pen);
    m_painter.setBrush(brush);
    m_painter.setBackgroundMode(m_dc.bkMode == kBkOpaque ? Qt::OpaqueMode : Qt::TransparentMode);
    return true;
}

void Player::strokeAndFill(const QPainterPath &path, bool fill)
{
    if (!preparePen(fill))
        return;
    // A pen outlines both sides of every edge: twice the crossings, four times the cost.
    const double factor = m_painter.pen().style() == Qt::NoPen ? 1.0 : 4.0;
    if (crossingCost(path) * factor > kMaxAntialiasCost)
        m_painter.setRenderHint(QPainter::Antialiasing, false);
    m_painter.drawPath(path);
}

void Player::polygon(ByteReader &r, bool closed)
{
    const int n = r.i16le();
    if (r.failed() || n < 0 || !r.has(uint64_t(n) * 4))
        return;
    QPolygonF points;
    points.reserve(n);
    for (int i = 0; i < n; ++i) {
        const int x = r.i16le(), y = r.i16le();
        points.append(map(x, y));
    }
    if (n < 2)
        return;
    const Qt::FillRule rule =
        m_dc.polyFillMode == kPolyFillWinding ? Qt::WindingFill : Qt::OddEvenFill;
    if (n < 16) { // too few edges to be slow
        if (!preparePen(closed))
            return;
        closed ? m_painter.drawPolygon(points, rule) : m_painter.drawPolyline(points);
        return;
    }
    if (!closed) {
        // Runs that share their end points, so the line stays joined; dashes restart at each.
        for (qsizetype from = 0; from + 1 < points.size(); from += kRunPoints) {
            if (from > 0 && m_budget.over())
                return;
            QPainterPath path;
            path.addPolygon(points.mid(from, kRunPoints + 1));
            strokeAndFill(path, false);
        }
        return;
    }
    QPainterPath path;
    path.setFillRule(rule);
    path.addPolygon(points);
    path.closeSubpath();
    if (crossingCost(path) <= kMaxShapeCost)
        strokeAndFill(path, true);
}

void Player::polyPolygon(ByteReader &r)
{
    const int polys = r.u16le();
    if (r.failed() || !r.has(uint64_t(polys) * 2))
        return;
    std::vector<int> counts(static_cast<size_t>(polys));
    uint64_t total = 0;
    for (int &c : counts) {
        c = r.u16le();
        total += uint64_t(c);
    }
    if (!r.has(total * 4))
        return;
    // One path: the fill mode decides between the polygons, as GDI fills them as one region.
    const Qt::FillRule rule =
        m_dc.polyFillMode == kPolyFillWinding ? Qt::WindingFill : Qt::OddEvenFill;
    QPainterPath path;
    path.setFillRule(rule);
    std::vector<QPainterPath> shapes;
    shapes.reserve(counts.size());
    for (int c : counts) {
        QPolygonF points;
        points.reserve(c);
        for (int i = 0; i < c; ++i) {
            const int x = r.i16le(), y = r.i16le();
            points.append(map(x, y));
        }
        if (c >= 2) {
            shapes.emplace_back().setFillRule(rule);
            shapes.back().addPolygon(points);
            shapes.back().closeSubpath();
            path.addPath(shapes.back());
        }
    }
    if (crossingCost(path) <= kMaxShapeCost) {
        strokeAndFill(path, true);
        return;
    }
    // Too many edges on the same rows to fill at once in bounded time: one polygon at a
    // time, which differs only where they overlap.
    for (const QPainterPath &shape : shapes) {
        if (m_budget.over())
            return;
        if (crossingCost(shape) <= kMaxShapeCost)
            strokeAndFill(shape, true);
    }
}

void Player::rectangle(ByteReader &r, int kind)
{
    int cornerH = 0, cornerW = 0;
    if (kind == kRoundRect)
        cornerH = r.i16le(), cornerW = r.i16le();
    const int bottom = r.i16le(), right = r.i16le(), top = r.i16le(), left = r.i16le();
    if (r.failed())
        return;
    const QRectF rect = mapRect(left, top, right, bottom);
    // A handful of edges: cheap to antialias, and the painter has fast paths for these.
    if (!preparePen(true))
        return;
    if (kind == kEllipse)
        m_painter.drawEllipse(rect);
    else if (kind == kRoundRect)
        m_painter.drawRoundedRect(rect, std::abs(cornerW * m_sx) / 2, std::abs(cornerH * m_sy) / 2);
    else
        m_painter.drawRect(rect);
}

void Player::arc(ByteReader &r, int kind)
{
    const int yEnd = r.i16le(), xEnd = r.i16le(), yStart = r.i16le(), xStart = r.i16le();
    const int bottom = r.i16le(), right = r.i16le(), top = r.i16le(), left = r.i16le();
    if (r.failed())
        return;
    const QRectF rect = mapRect(left, top, right, bottom);
    const double a = rect.width() / 2, b = rect.height() / 2;
    if (a <= 0 || b <= 0)
        return;
    const QPointF c = rect.center();
    // The radials through the given points meet the ellipse at these parametric angles;
    // GDI draws counter-clockwise from the start to the end radial.
    auto angleOf = [&](QPointF p) {
        return std::atan2(-(p.y() - c.y()) / b, (p.x() - c.x()) / a) * 180.0 / std::numbers::pi;
    };
    const double start = angleOf(map(xStart, yStart));
    double sweep = angleOf(map(xEnd, yEnd)) - start;
    while (sweep <= 0)
        sweep += 360.0;
    QPainterPath path;
    if (kind == kPie) {
        path.moveTo(c);
        path.arcTo(rect, start, sweep);
        path.closeSubpath();
    } else {
        path.arcMoveTo(rect, start);
        path.arcTo(rect, start, sweep);
        if (kind == kChord)
            path.closeSubpath();
    }
    strokeAndFill(path, kind != kArc);
}

void Player::text(const TextRecord &t)
{
    m_painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    m_painter.setRenderHint(QPainter::Antialiasing, true);
    std::optional<QRectF> deviceRect;
    if (t.rect)
        deviceRect = mapRect(t.rect->left(), t.rect->top(), t.rect->right(), t.rect->bottom());
    if (deviceRect && (t.options & kEtoOpaque))
        m_painter.fillRect(*deviceRect, m_dc.bkColor);
    if (!m_canDrawText || t.bytes.empty())
        return;

    const Font &f = m_dc.font;
    const double sx = std::abs(m_sx), sy = std::abs(m_sy);
    const auto run = layoutText(f, decodeText(t.bytes, f.charset), t.dx, m_dc.charExtra,
                                m_dc.textAlign, sx, sy, std::max(m_width, m_height));
    if (!run)
        return;
    QPointF ref = t.ref;
    if (m_dc.textAlign & kTaUpdateCp) {
        ref = m_dc.position;
        const double logicalAdvance = run->logicalAdvance(sx) * (m_sx < 0 ? -1 : 1);
        const int h = m_dc.textAlign & kTaHorizontalMask;
        if (h == kTaRight)
            m_dc.position.rx() -= logicalAdvance;
        else if (h != kTaCenter)
            m_dc.position.rx() += logicalAdvance;
    }

    m_painter.save();
    if (deviceRect && (t.options & kEtoClipped))
        m_painter.setClipRect(*deviceRect, m_dc.clipped ? Qt::IntersectClip : Qt::ReplaceClip);
    m_painter.setTransform(run->transform(map(ref.x(), ref.y()), f.escapement));
    m_painter.setFont(run->font);
    if (m_dc.bkMode == kBkOpaque)
        m_painter.fillRect(run->box(), m_dc.bkColor);
    m_painter.setPen(m_dc.textColor);
    m_painter.setBackgroundMode(Qt::TransparentMode);
    if (!run->advances.empty()) {
        double x = run->x0;
        for (qsizetype i = 0; i < run->text.size() && !m_budget.over(); ++i) {
            m_painter.drawText(QPointF(x, run->baseline), QString(run->text[i]));
            x += run->advances[size_t(i)];
        }
    } else {
        m_painter.drawText(QPointF(run->x0, run->baseline), run->text);
    }
    m_painter.restore();
}

void Player::patBlt(const QRectF &device, int rop)
{
    m_painter.setPen(Qt::NoPen);
    m_painter.setRenderHint(QPainter::Antialiasing, false);
    m_painter.setBackgroundMode(m_dc.bkMode == kBkOpaque ? Qt::OpaqueMode : Qt::TransparentMode);
    QBrush brush = makeBrush();
    QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver;
    switch (rop) {
    case kRopBlackness: brush = QBrush(Qt::black); break;
    case kRopWhiteness: brush = QBrush(Qt::white); break;
    case kRopDstInvert: brush = QBrush(Qt::black), mode = QPainter::RasterOp_NotDestination; break;
    case kRopPatInvert: mode = QPainter::RasterOp_SourceXorDestination; break;
    case kRopNop: return;
    default: break; // PATCOPY and the rest: paint the brush
    }
    m_painter.setCompositionMode(mode);
    m_painter.fillRect(device, brush);
}

void Player::drawDib(Bytes dib, QRectF src, QPointF d0, QPointF d1, int rop)
{
    // Pictures inside a metafile are small; refuse absurd claims before decoding.
    ByteReader h(dib);
    const uint32_t headerSize = h.u32le();
    int64_t w = 0, ht = 0;
    if (headerSize == 12)
        w = h.u16le(), ht = h.i16le();
    else
        w = h.i32le(), ht = h.i32le();
    if (h.failed() || w <= 0 || ht == 0 || w * std::abs(ht) > (int64_t(1) << 26))
        return;
    NullObserver quiet;
    auto decoded = decodeDib(dib, quiet);
    if (!decoded)
        return;
    QImage image = std::move(decoded).value();
    if (src.width() <= 0 || src.height() <= 0)
        return;
    if (dibIsBottomUp(dib)) // source rows count from the bottom of such a picture
        src.moveTop(image.height() - src.top() - src.height());
    src = src.intersected(QRectF(image.rect()));
    if (src.isEmpty())
        return;
    image = image.copy(src.toAlignedRect());
    const bool flipX = d1.x() < d0.x(), flipY = d1.y() < d0.y();
    if (flipX || flipY)
        image = image.mirrored(flipX, flipY);
    const QRectF dest = QRectF(d0, d1).normalized();
    if (dest.isEmpty())
        return;

    QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver;
    switch (rop) {
    case kRopNotSrcCopy: image.invertPixels(); break;
    case kRopSrcPaint: mode = QPainter::RasterOp_SourceOrDestination; break;
    case kRopSrcAnd: mode = QPainter::RasterOp_SourceAndDestination; break;
    case kRopSrcInvert: mode = QPainter::RasterOp_SourceXorDestination; break;
    case kRopSrcErase: mode = QPainter::RasterOp_SourceAndNotDestination; break;
    case kRopNotSrcErase: mode = QPainter::RasterOp_NotSourceAndNotDestination; break;
    case kRopMergePaint: mode = QPainter::RasterOp_NotSourceOrDestination; break;
    default: break; // SRCCOPY and approximations of the rest
    }
    if (mode != QPainter::CompositionMode_SourceOver)
        image = image.convertToFormat(QImage::Format_RGB32);
    m_painter.setCompositionMode(mode);
    // Enlarged pictures keep hard pixel edges as GDI stretches them; reduced ones average.
    m_painter.setRenderHint(QPainter::SmoothPixmapTransform,
                            dest.width() < image.width() || dest.height() < image.height());
    m_painter.drawImage(dest, image);
}

void Player::blit(const RecordView &rec)
{
    ByteReader r(rec.params);
    const uint32_t rop32 = r.u32le();
    const int rop = int((rop32 >> 16) & 0xFF);
    // A record with no picture is exactly as long as its parameters, as GDI writes it.
    const bool noBitmap = rec.sizeWords == uint32_t((rec.function >> 8) + 3);
    int srcH = 0, srcW = 0, ySrc = 0, xSrc = 0, destH = 0, destW = 0, yDest = 0, xDest = 0;
    switch (rec.function) {
    case kDibBitBlt:
        ySrc = r.i16le(), xSrc = r.i16le();
        if (noBitmap)
            r.skip(2);
        destH = r.i16le(), destW = r.i16le(), yDest = r.i16le(), xDest = r.i16le();
        srcH = destH, srcW = destW;
        break;
    case kDibStretchBlt:
        srcH = r.i16le(), srcW = r.i16le(), ySrc = r.i16le(), xSrc = r.i16le();
        if (noBitmap)
            r.skip(2);
        destH = r.i16le(), destW = r.i16le(), yDest = r.i16le(), xDest = r.i16le();
        break;
    case kStretchDib:
        r.skip(2); // colour usage: palette-index DIBs are read as RGB
        srcH = r.i16le(), srcW = r.i16le(), ySrc = r.i16le(), xSrc = r.i16le();
        destH = r.i16le(), destW = r.i16le(), yDest = r.i16le(), xDest = r.i16le();
        break;
    default: return;
    }
    if (r.failed())
        return;
    const QPointF d0 = map(xDest, yDest), d1 = map(double(xDest) + destW, double(yDest) + destH);
    if (noBitmap && rec.function != kStretchDib) {
        patBlt(QRectF(d0, d1).normalized(), rop);
        return;
    }
    switch (rop) { // operations that ignore the source
    case kRopBlackness:
    case kRopWhiteness:
    case kRopDstInvert:
    case kRopPatCopy:
    case kRopPatInvert:
    case kRopNop: patBlt(QRectF(d0, d1).normalized(), rop); return;
    default: break;
    }
    m_painter.setRenderHint(QPainter::Antialiasing, false);
    drawDib(r.rest(), QRectF(xSrc, ySrc, srcW, srcH), d0, d1, rop);
}

// Device context attributes that take effect at the next drawing.
void Player::attributes(const RecordView &rec, ByteReader &r)
{
    switch (rec.function) {
    case kSetBkColor:
        m_dc.bkColor = colorRef(r.u32le());
        m_painter.setBackground(m_dc.bkColor);
        return;
    case kSetBkMode: m_dc.bkMode = r.u16le(); return;
    case kSetTextColor: m_dc.textColor = colorRef(r.u32le()); return;
    case kSetTextAlign: m_dc.textAlign = r.u16le(); return;
    case kSetTextCharExtra: m_dc.charExtra = r.i16le(); return;
    case kSetPolyFillMode: m_dc.polyFillMode = r.u16le(); return;
    case kSetRop2: m_dc.rop2 = r.u16le(); return;
    default: return;
    }
}

void Player::mapMode(const RecordView &, ByteReader &r)
{
    const int mode = r.u16le();
    if (r.failed() || mode < kMmText || mode > kMmAnisotropic)
        return;
    m_dc.mapMode = mode;
    updateTransform();
}

// Window and viewport origins, set or moved.
void Player::origin(const RecordView &rec, ByteReader &r)
{
    const int y = r.i16le(), x = r.i16le();
    if (r.failed())
        return;
    const bool window = rec.function == kSetWindowOrg || rec.function == kOffsetWindowOrg;
    QPointF &org = window ? m_dc.windowOrg : m_dc.viewportOrg;
    if (rec.function == kSetWindowOrg || rec.function == kSetViewportOrg)
        org = QPointF(x, y);
    else
        org += QPointF(x, y);
    updateTransform();
}

// Window and viewport extents, set or scaled.
void Player::extent(const RecordView &rec, ByteReader &r)
{
    const bool window = rec.function == kSetWindowExt || rec.function == kScaleWindowExt;
    if (rec.function == kSetWindowExt || rec.function == kSetViewportExt) {
        const int y = r.i16le(), x = r.i16le();
        if (r.failed() || x == 0 || y == 0) // GDI refuses empty extents
            return;
        (window ? m_dc.windowExt : m_dc.viewportExt) = QPointF(x, y);
        m_dc.windowExtSet = m_dc.windowExtSet || window;
    } else {
        const int yDenom = r.i16le(), yNum = r.i16le(), xDenom = r.i16le(), xNum = r.i16le();
        if (r.failed() || yDenom == 0 || xDenom == 0 || yNum == 0 || xNum == 0)
            return;
        QPointF &ext = window ? m_dc.windowExt : m_dc.viewportExt;
        const double ex = std::trunc(ext.x() * xNum / xDenom);
        const double ey = std::trunc(ext.y() * yNum / yDenom);
        if (ex != 0 && ey != 0)
            ext = QPointF(ex, ey);
    }
    updateTransform();
}

void Player::objects(const RecordView &rec, ByteReader &r)
{
    switch (rec.function) {
    case kSelectObject: selectObject(r.u16le()); return;
    case kDeleteObject: deleteObject(r.u16le()); return;
    default: createObject(parseObject(rec.function, r)); return;
    }
}

// Saved states and clipping.
void Player::states(const RecordView &rec, ByteReader &r)
{
    switch (rec.function) {
    case kSaveDc: saveDc(); return;
    case kRestoreDc:
        if (r.has(2))
            restoreDc(r.i16le());
        return;
    case kIntersectClipRect:
    case kExcludeClipRect: {
        const int bottom = r.i16le(), right = r.i16le(), top = r.i16le(), left = r.i16le();
        if (!r.failed())
            clipRect(mapRect(left, top, right, bottom), rec.function == kExcludeClipRect);
        return;
    }
    case kSelectClipRegion: // regions are kept as placeholders: back to no clipping
        m_dc.clipped = false;
        applyClip();
        return;
    case kOffsetClipRgn: {
        const int y = r.i16le(), x = r.i16le();
        if (!r.failed() && m_dc.clipped) {
            m_dc.clip.translate(int(std::lround(std::clamp(x * m_sx, -1e6, 1e6))),
                                int(std::lround(std::clamp(y * m_sy, -1e6, 1e6))));
            applyClip();
        }
        return;
    }
    default: return;
    }
}

// Points, lines and polygons.
void Player::lines(const RecordView &rec, ByteReader &r)
{
    switch (rec.function) {
    case kPolygon: polygon(r, true); return;
    case kPolyline: polygon(r, false); return;
    case kPolyPolygon: polyPolygon(r); return;
    case kSetPixel: {
        const QColor c = colorRef(r.u32le());
        const int y = r.i16le(), x = r.i16le();
        if (r.failed())
            return;
        const QPointF p = map(x, y);
        m_painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        m_painter.fillRect(QRectF(std::floor(p.x()), std::floor(p.y()), 1, 1), c);
        return;
    }
    default: break; // MOVETO and LINETO
    }
    const int y = r.i16le(), x = r.i16le();
    if (r.failed())
        return;
    const QPointF from = m_dc.position;
    m_dc.position = QPointF(x, y);
    if (rec.function == kLineTo && preparePen(false))
        m_painter.drawLine(map(from.x(), from.y()), map(x, y));
}

// Shapes in a bounding rectangle.
void Player::shapes(const RecordView &rec, ByteReader &r)
{
    if (rec.function == kArc || rec.function == kPie || rec.function == kChord)
        arc(r, rec.function);
    else
        rectangle(r, rec.function);
}

void Player::texts(const RecordView &rec, ByteReader &r)
{
    if (auto t = rec.function == kTextOut ? readTextOut(r) : readExtTextOut(r))
        text(*t);
}

void Player::bitmaps(const RecordView &rec, ByteReader &r)
{
    if (rec.function != kPatBlt) {
        blit(rec);
        return;
    }
    const uint32_t rop = r.u32le();
    const int h = r.i16le(), w = r.i16le(), y = r.i16le(), x = r.i16le();
    if (!r.failed())
        patBlt(mapRect(x, y, double(x) + w, double(y) + h), int((rop >> 16) & 0xFF));
}

// Every record type differs from the others in its low byte (the high byte counts its
// parameters), so one indexed look-up finds the handler; the full number is still checked.
constexpr std::array<Player::Entry, 256> Player::dispatchTable()
{
    constexpr Entry kHandlers[] = {
        {kSetBkColor, &Player::attributes},
        {kSetBkMode, &Player::attributes},
        {kSetTextColor, &Player::attributes},
        {kSetTextAlign, &Player::attributes},
        {kSetTextCharExtra, &Player::attributes},
        {kSetPolyFillMode, &Player::attributes},
        {kSetRop2, &Player::attributes},
        {kSetMapMode, &Player::mapMode},
        {kSetWindowOrg, &Player::origin},
        {kSetViewportOrg, &Player::origin},
        {kOffsetWindowOrg, &Player::origin},
        {kOffsetViewportOrg, &Player::origin},
        {kSetWindowExt, &Player::extent},
        {kSetViewportExt, &Player::extent},
        {kScaleWindowExt, &Player::extent},
        {kScaleViewportExt, &Player::extent},
        {kCreatePenIndirect, &Player::objects},
        {kCreateBrushIndirect, &Player::objects},
        {kDibCreatePatternBrush, &Player::objects},
        {kCreatePatternBrush, &Player::objects},
        {kCreateFontIndirect, &Player::objects},
        {kCreatePalette, &Player::objects},
        {kCreateRegion, &Player::objects},
        {kSelectObject, &Player::objects},
        {kDeleteObject, &Player::objects},
        {kSaveDc, &Player::states},
        {kRestoreDc, &Player::states},
        {kIntersectClipRect, &Player::states},
        {kExcludeClipRect, &Player::states},
        {kSelectClipRegion, &Player::states},
        {kOffsetClipRgn, &Player::states},
        {kMoveTo, &Player::lines},
        {kLineTo, &Player::lines},
        {kSetPixel, &Player::lines},
        {kPolygon, &Player::lines},
        {kPolyline, &Player::lines},
        {kPolyPolygon, &Player::lines},
        {kRectangle, &Player::shapes},
        {kRoundRect, &Player::shapes},
        {kEllipse, &Player::shapes},
        {kArc, &Player::shapes},
        {kPie, &Player::shapes},
        {kChord, &Player::shapes},
        {kTextOut, &Player::texts},
        {kExtTextOut, &Player::texts},
        {kPatBlt, &Player::bitmaps},
        {kDibBitBlt, &Player::bitmaps},
        {kDibStretchBlt, &Player::bitmaps},
        {kStretchDib, &Player::bitmaps},
    };
    std::array<Entry, 256> table{};
    for (const Entry &e : kHandlers) {
        Entry &slot = table[e.function & 0xFF];
        if (slot.handler)
            throw "two record types share a low byte"; // stops the compilation
        slot = e;
    }
    return table;
}

void Player::record(const RecordView &rec)
{
    // Escapes, palettes and unknown records have nothing to draw.
    static constexpr std::array<Entry, 256> kTable = dispatchTable();
    const Entry &entry = kTable[rec.function & 0xFF];
    if (entry.function != rec.function || !entry.handler)
        return;
    ByteReader r(rec.params);
    (this->*entry.handler)(rec, r);
}

// Plays every record into one band of the picture. Band 0 reports progress and asks the
// observer; the others follow its verdict through stop.
Result<void> playBand(Bytes data, const Header &header, const Layout &layout, QImage &band, int top,
                      DecodeObserver *observer, std::atomic<bool> &stop)
{
    try {
        DrawBudget budget(observer, stop);
        Player player(layout, band, top, budget);
        RecordWalker walker(data, header.firstRecord);
        NullObserver quiet;
        RowProgress progress(observer ? *observer : quiet,
                             std::max<int64_t>(layout.recordCount, 1));
        RecordView rec;
        RecordWalker::Step step;
        while ((step = walker.next(rec)) == RecordWalker::Step::Record) {
            player.record(rec);
            if (observer && !progress.row(std::min(walker.count(), layout.recordCount)))
                stop = true;
            if (budget.over()) {
                if (budget.state() == DrawBudget::State::Cancelled)
                    return makeError("WMF: cancelled");
                break;
            }
        }
        if (step == RecordWalker::Step::Broken && walker.count() == 0)
            return makeError(walker.problem());
    } catch (const std::bad_alloc &) {
        return makeError("WMF: out of memory while drawing");
    }
    return {};
}

} // namespace

Result<void> play(Bytes data, const Header &header, const Layout &layout, QImage &image,
                  DecodeObserver &observer, int bands)
{
    // One band unless asked: Qt's raster engine already spreads large fills over its own
    // thread pool, and bands painted on top of that measured slower, not faster.
    if (bands <= 0)
        bands = 1;
    bands = std::clamp(bands, 1, std::max(1, image.height()));
    uchar *bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    std::atomic<bool> stop = false;
    std::vector<Result<void>> results(static_cast<size_t>(bands));
    std::vector<std::thread> workers;
    auto run = [&](int i) {
        const int top = int(int64_t(image.height()) * i / bands);
        const int bottom = int(int64_t(image.height()) * (i + 1) / bands);
        QImage band(bits + stride * top, image.width(), bottom - top, stride, image.format());
        results[size_t(i)] =
            playBand(data, header, layout, band, top, i == 0 ? &observer : nullptr, stop);
    };
    try {
        for (int i = 1; i < bands; ++i)
            workers.emplace_back(run, i);
    } catch (const std::system_error &) {
        stop = true; // no threads to be had: paint it all here instead
        for (std::thread &t : workers)
            t.join();
        workers.clear();
        image.fill(Qt::white); // undo what the started bands painted
        stop = false;
        bands = 1;
        results.assign(1, Result<void>());
    }
    run(0);
    for (std::thread &t : workers)
        t.join();
    for (const Result<void> &r : results)
        if (!r.ok())
            return r.error();
    const int64_t total = std::max<int64_t>(layout.recordCount, 1);
    observer.progress(total, total);
    return {};
}

} // namespace oxlume::imaging::wmf
