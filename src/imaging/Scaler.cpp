#include "imaging/Scaler.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace oxlume::imaging {

namespace {

// Weights are fixed point: the weights of one destination pixel add up to exactly kOne.
constexpr int kShift = 16;
constexpr uint32_t kOne = 1u << kShift;

struct Span {
    int first = 0; // first source index
    int count = 0; // number of source indices, each with a weight
    int weights = 0; // offset of this span's weights in Axis::weights
};

struct Axis {
    std::vector<Span> spans;     // one per destination index
    std::vector<uint32_t> weights;
};

// Source pixel i covers [i*dst, (i+1)*dst) and destination pixel d covers
// [d*src, (d+1)*src) on a common axis of src*dst units. Each weight is the overlap, taken
// as the difference of rounded cumulative positions so that every span sums to kOne exactly
// (no drift in brightness from rounding).
Axis makeAxis(int src, int dst)
{
    Axis axis;
    axis.spans.resize(size_t(dst));
    axis.weights.reserve(size_t(dst) * (size_t(src / dst) + 2));
    const int64_t s = src;
    const int64_t n = dst;
    for (int64_t d = 0; d < n; ++d) {
        const int64_t start = d * s;
        const int64_t end = start + s;
        const auto cumulative = [&](int64_t u) { return ((u - start) * kOne + s / 2) / s; };
        Span &span = axis.spans[size_t(d)];
        span.first = int(start / n);
        span.weights = int(axis.weights.size());
        const int64_t last = (end - 1) / n;
        for (int64_t i = span.first; i <= last; ++i) {
            const int64_t a = std::max(start, i * n);
            const int64_t b = std::min(end, (i + 1) * n);
            axis.weights.push_back(uint32_t(cumulative(b) - cumulative(a)));
        }
        span.count = int(last - span.first + 1);
    }
    return axis;
}

// One source row reduced horizontally to 8.8 fixed point per channel (B, G, R, A order).
// Two channels share one 64-bit multiply: each 32-bit lane holds at most 255 * kOne.
void reduceRow(const uint32_t *in, const Axis &axis, uint16_t *out)
{
    const uint32_t *weights = axis.weights.data();
    for (const Span &span : axis.spans) {
        uint64_t lo = 0; // blue, red
        uint64_t hi = 0; // green, alpha
        const uint32_t *p = in + span.first;
        const uint32_t *w = weights + span.weights;
        for (int k = 0; k < span.count; ++k) {
            const uint64_t v = p[k];
            const uint64_t br = (v & 0xffu) | ((v & 0xff0000u) << 16);
            const uint64_t ga = ((v >> 8) & 0xffu) | ((v & 0xff000000u) << 8);
            lo += br * w[k];
            hi += ga * w[k];
        }
        out[0] = uint16_t(((lo & 0xffffffffu) + 128) >> 8);
        out[1] = uint16_t(((hi & 0xffffffffu) + 128) >> 8);
        out[2] = uint16_t(((lo >> 32) + 128) >> 8);
        out[3] = uint16_t(((hi >> 32) + 128) >> 8);
        out += 4;
    }
}

} // namespace

QImage areaAverageScale(const QImage &sourceIn, QSize size)
{
    if (sourceIn.isNull() || size.width() < 1 || size.height() < 1)
        return {};
    QImage source = sourceIn;
    const QImage::Format f = source.format();
    if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 &&
        f != QImage::Format_ARGB32_Premultiplied)
        source.convertTo(QImage::Format_ARGB32_Premultiplied);

    const int dw = size.width();
    const int dh = size.height();
    QImage out(dw, dh, source.format());
    if (out.isNull())
        return {};
    const Axis ax = makeAxis(source.width(), dw);
    const Axis ay = makeAxis(source.height(), dh);

    const size_t n = size_t(dw) * 4;
    std::vector<uint16_t> reduced(n);
    std::vector<uint32_t> acc(n);
    int reducedRow = -1; // the source row held in `reduced`; rows at span edges serve twice
    for (int y = 0; y < dh; ++y) {
        const Span &span = ay.spans[size_t(y)];
        std::fill(acc.begin(), acc.end(), 0u);
        for (int k = 0; k < span.count; ++k) {
            const int row = span.first + k;
            if (row != reducedRow) {
                reduceRow(reinterpret_cast<const uint32_t *>(source.constScanLine(row)), ax,
                          reduced.data());
                reducedRow = row;
            }
            // At most 65280 * kOne in total: fits 32 bits.
            const uint32_t w = ay.weights[size_t(span.weights + k)];
            const uint16_t *r = reduced.data();
            uint32_t *a = acc.data();
            for (size_t i = 0; i < n; ++i)
                a[i] += r[i] * w;
        }
        uint8_t *o = out.scanLine(y);
        for (size_t i = 0; i < n; ++i)
            o[i] = uint8_t((acc[i] + (1u << 23)) >> 24);
    }
    out.setDotsPerMeterX(source.dotsPerMeterX());
    out.setDotsPerMeterY(source.dotsPerMeterY());
    return out;
}

const QImage &ScaledImageCache::scaled(const QImage &source, QSize size)
{
    if (source.isNull()) {
        clear();
        return m_scaled;
    }
    if (source.cacheKey() != m_key || size != m_size || m_scaled.isNull()) {
        // Straight alpha would bleed the colour of transparent pixels into their neighbours.
        m_scaled = source.format() == QImage::Format_ARGB32
                       ? areaAverageScale(source.convertToFormat(QImage::Format_ARGB32_Premultiplied), size)
                       : areaAverageScale(source, size);
        m_key = source.cacheKey();
        m_size = size;
        ++m_scaleCount;
    }
    return m_scaled;
}

void ScaledImageCache::clear()
{
    m_scaled = QImage();
    m_key = 0;
    m_size = QSize();
}

} // namespace oxlume::imaging
