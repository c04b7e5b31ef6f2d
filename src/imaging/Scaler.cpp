#include "imaging/Scaler.h"

#include "platform/Processors.h"

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace oxlume::imaging {

namespace {

// Weights are fixed point: the weights of one destination pixel add up to exactly kOne.
// 14 bits keep every product and sum within the signed 16 x 16 -> 32 bit multiply-add.
constexpr int kShift = 14;
constexpr int32_t kOne = 1 << kShift;
// Vertical sums are narrowed to 7 fraction bits: at most 255 << 7, a positive int16.
constexpr int kRowFraction = 7;

// Every destination pixel reads the same number of source pixels (`taps`, even), the
// ones outside its area with weight 0. A fixed count keeps the inner loop free of
// unpredictable branches, which cost more than the few extra multiplies.
struct Axis {
    int taps = 0;
    std::vector<int> first;       // first source index per destination index
    std::vector<int16_t> weights; // taps weights per destination index
    std::vector<int32_t> pairs;   // the same, two to a word, for the SIMD multiply-add
    bool inBounds = true;         // first + taps <= source length for every span
};

// Source pixel i covers [i*dst, (i+1)*dst) and destination pixel d covers
// [d*src, (d+1)*src) on a common axis of src*dst units. Each weight is the overlap, taken
// as the difference of rounded cumulative positions so that every span sums to kOne exactly
// (no drift in brightness from rounding).
Axis makeAxis(int src, int dst)
{
    const int64_t s = src;
    const int64_t n = dst;
    int maxCount = 1;
    for (int64_t d = 0; d < n; ++d)
        maxCount = std::max<int>(maxCount, int((d * s + s - 1) / n - d * s / n + 1));
    Axis axis;
    axis.taps = maxCount + (maxCount & 1);
    axis.inBounds = axis.taps <= src;
    axis.first.resize(size_t(dst));
    axis.weights.assign(size_t(dst) * size_t(axis.taps), 0);
    for (int64_t d = 0; d < n; ++d) {
        const int64_t start = d * s;
        const int64_t end = start + s;
        const auto cumulative = [&](int64_t u) { return ((u - start) * kOne + s / 2) / s; };
        const int64_t firstCovered = start / n;
        const int64_t last = (end - 1) / n;
        // Moved back near the end, so that all taps stay inside the row.
        const int64_t first =
            axis.inBounds ? std::min<int64_t>(firstCovered, s - axis.taps) : firstCovered;
        axis.first[size_t(d)] = int(first);
        int16_t *w = axis.weights.data() + d * axis.taps;
        for (int64_t i = firstCovered; i <= last; ++i) {
            const int64_t a = std::max(start, i * n);
            const int64_t b = std::min(end, (i + 1) * n);
            w[i - first] = int16_t(cumulative(b) - cumulative(a));
        }
    }
    axis.pairs.resize(axis.weights.size() / 2);
    for (size_t i = 0; i < axis.pairs.size(); ++i)
        axis.pairs[i] =
            int32_t(uint16_t(axis.weights[2 * i])) | (int32_t(axis.weights[2 * i + 1]) << 16);
    return axis;
}

// Vertical step: acc += a * wa + b * wb over n bytes (two source rows at once, one
// multiply-add per channel pair). Each sum stays below 255 * kOne.
void accumulateRows(int32_t *acc, const uint8_t *a, int16_t wa, const uint8_t *b, int16_t wb,
                    size_t n)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i w = _mm_set1_epi32(int32_t(uint16_t(wa)) | (int32_t(wb) << 16));
    for (; i + 16 <= n; i += 16) {
        const __m128i ra = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
        const __m128i rb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        const __m128i lo = _mm_unpacklo_epi8(ra, rb); // a0 b0 a1 b1 ...
        const __m128i hi = _mm_unpackhi_epi8(ra, rb);
        __m128i *out = reinterpret_cast<__m128i *>(acc + i);
        const __m128i p0 = _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w);
        const __m128i p1 = _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w);
        const __m128i p2 = _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w);
        const __m128i p3 = _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w);
        _mm_storeu_si128(out, _mm_add_epi32(_mm_loadu_si128(out), p0));
        _mm_storeu_si128(out + 1, _mm_add_epi32(_mm_loadu_si128(out + 1), p1));
        _mm_storeu_si128(out + 2, _mm_add_epi32(_mm_loadu_si128(out + 2), p2));
        _mm_storeu_si128(out + 3, _mm_add_epi32(_mm_loadu_si128(out + 3), p3));
    }
#endif
    for (; i < n; ++i)
        acc[i] += int32_t(a[i]) * wa + int32_t(b[i]) * wb;
}

// The vertical sums brought to kRowFraction fraction bits, small enough for 16 bits.
void narrowRow(const int32_t *acc, int16_t *row, size_t n)
{
    constexpr int kDrop = kShift - kRowFraction;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i round = _mm_set1_epi32(1 << (kDrop - 1));
    for (; i + 8 <= n; i += 8) {
        const __m128i a = _mm_srai_epi32(
            _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(acc + i)), round),
            kDrop);
        const __m128i b = _mm_srai_epi32(
            _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(acc + i + 4)), round),
            kDrop);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i), _mm_packs_epi32(a, b));
    }
#endif
    for (; i < n; ++i)
        row[i] = int16_t((acc[i] + (1 << (kDrop - 1))) >> kDrop);
}

// Horizontal step over one vertically reduced row: each destination pixel is the weighted
// sum of its taps, rounded to 8 bits per channel. kTaps is a template argument for the
// common counts so that the compiler unrolls the inner loop; 0 reads it from the axis.
template<int kTaps>
void reduceRow(const int16_t *row, int srcWidth, const Axis &axis, uint32_t *out)
{
    constexpr int kTotal = kShift + kRowFraction;
    const int dw = int(axis.first.size());
    const int taps = kTaps > 0 ? kTaps : axis.taps;
#if defined(__SSE2__)
    if (axis.inBounds) {
        const __m128i round = _mm_set1_epi32(1 << (kTotal - 1));
        const int32_t *w = axis.pairs.data();
        for (int d = 0; d < dw; ++d, w += taps / 2) {
            const int16_t *p = row + 4 * axis.first[size_t(d)];
            __m128i acc = _mm_setzero_si128();
            for (int k = 0; k < taps; k += 2) {
                // Pixels k and k + 1 interleaved per channel, times their two weights.
                const __m128i pk = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 4 * k));
                const __m128i pn =
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 4 * k + 4));
                acc = _mm_add_epi32(
                    acc, _mm_madd_epi16(_mm_unpacklo_epi16(pk, pn), _mm_set1_epi32(w[k / 2])));
            }
            acc = _mm_srai_epi32(_mm_add_epi32(acc, round), kTotal);
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(acc, acc), acc);
            out[d] = uint32_t(_mm_cvtsi128_si32(bytes));
        }
        return;
    }
#endif
    for (int d = 0; d < dw; ++d) {
        const int first = axis.first[size_t(d)];
        const int16_t *w = axis.weights.data() + size_t(d) * size_t(taps);
        int32_t acc[4] = {0, 0, 0, 0};
        for (int k = 0; k < taps && first + k < srcWidth; ++k)
            for (int c = 0; c < 4; ++c)
                acc[c] += int32_t(row[4 * (first + k) + c]) * w[k];
        uint32_t pixel = 0;
        for (int c = 0; c < 4; ++c)
            pixel |= uint32_t(std::clamp((acc[c] + (1 << (kTotal - 1))) >> kTotal, 0, 255))
                     << (8 * c);
        out[d] = pixel;
    }
}

void reduceRow(const int16_t *row, int srcWidth, const Axis &axis, uint32_t *out)
{
    switch (axis.taps) {
    case 2: return reduceRow<2>(row, srcWidth, axis, out);
    case 4: return reduceRow<4>(row, srcWidth, axis, out);
    case 6: return reduceRow<6>(row, srcWidth, axis, out);
    case 8: return reduceRow<8>(row, srcWidth, axis, out);
    default: return reduceRow<0>(row, srcWidth, axis, out);
    }
}

// Destination rows [y0, y1): the covered source rows summed vertically with their
// weights, then the sum reduced horizontally. Vertical first, because that step streams
// through memory with no per-pixel bookkeeping, and the horizontal one then runs once per
// destination row instead of once per source row.
// premultiply: the source has straight alpha, premultiplied here row by row as it is read
// (two rows at a time), so that a huge image needs no premultiplied copy of its own.
void scaleRows(const QImage &source, QImage &out, const Axis &ax, const Axis &ay, int y0, int y1,
               bool premultiply)
{
    const size_t n = size_t(source.width()) * 4;
    std::vector<int32_t> acc(n);
    std::vector<int16_t> row(n);
    std::vector<QRgb> converted[2];
    int turn = 0;
    if (premultiply)
        for (std::vector<QRgb> &c : converted)
            c.resize(size_t(source.width()));
    const auto bytes = [&](int y) {
        const auto *line = reinterpret_cast<const QRgb *>(source.constScanLine(y));
        if (!premultiply)
            return reinterpret_cast<const uint8_t *>(line);
        turn ^= 1;
        std::transform(line, line + source.width(), converted[turn].begin(),
                       [](QRgb p) { return qPremultiply(p); });
        return reinterpret_cast<const uint8_t *>(converted[turn].data());
    };
    for (int y = y0; y < y1; ++y) {
        std::fill(acc.begin(), acc.end(), 0);
        const int16_t *weights = ay.weights.data() + size_t(y) * size_t(ay.taps);
        const int first = ay.first[size_t(y)];
        int pending = -1; // a row waiting for a partner, so that rows go in pairs
        for (int k = 0; k < ay.taps; ++k) {
            if (weights[k] == 0 || first + k >= source.height())
                continue;
            if (pending < 0) {
                pending = k;
                continue;
            }
            accumulateRows(acc.data(), bytes(first + pending), weights[pending], bytes(first + k),
                           weights[k], n);
            pending = -1;
        }
        if (pending >= 0)
            accumulateRows(acc.data(), bytes(first + pending), weights[pending],
                           bytes(first + pending), 0, n);
        narrowRow(acc.data(), row.data(), n);
        reduceRow(row.data(), source.width(), ax, reinterpret_cast<uint32_t *>(out.scanLine(y)));
    }
}

} // namespace

namespace {

QImage scaleImage(const QImage &sourceIn, QSize size, bool premultiply)
{
    if (sourceIn.isNull() || size.width() < 1 || size.height() < 1)
        return {};
    QImage source = sourceIn;
    const QImage::Format f = source.format();
    if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 &&
        f != QImage::Format_ARGB32_Premultiplied)
        source.convertTo(QImage::Format_ARGB32_Premultiplied);
    premultiply = premultiply && source.format() == QImage::Format_ARGB32;

    const int dw = size.width();
    const int dh = size.height();
    QImage out(dw, dh, premultiply ? QImage::Format_ARGB32_Premultiplied : source.format());
    if (out.isNull())
        return {};
    const Axis ax = makeAxis(source.width(), dw);
    const Axis ay = makeAxis(source.height(), dh);

    // Large reductions run on two threads, each on its own band of destination rows.
    const bool split = int64_t(source.width()) * source.height() >= (int64_t(1) << 20) && dh >= 2 &&
                       platform::usableProcessors() > 1;
    if (split) {
        std::thread other([&] { scaleRows(source, out, ax, ay, dh / 2, dh, premultiply); });
        scaleRows(source, out, ax, ay, 0, dh / 2, premultiply);
        other.join();
    } else {
        scaleRows(source, out, ax, ay, 0, dh, premultiply);
    }
    out.setDotsPerMeterX(source.dotsPerMeterX());
    out.setDotsPerMeterY(source.dotsPerMeterY());
    return out;
}

} // namespace

QImage areaAverageScale(const QImage &source, QSize size)
{
    return scaleImage(source, size, false);
}

QImage reduceForPainting(const QImage &source, QSize size)
{
    // Straight alpha would bleed the colour of transparent pixels into their neighbours.
    return scaleImage(source, size, true);
}

QImage sampleForPainting(const QImage &source, QSize size)
{
    const QImage::Format f = source.format();
    if ((f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 &&
         f != QImage::Format_ARGB32_Premultiplied) ||
        size.width() < 1 || size.height() < 1)
        return {};
    const bool straight = f == QImage::Format_ARGB32;
    QImage out(size, straight ? QImage::Format_ARGB32_Premultiplied : f);
    if (out.isNull())
        return {};
    // The source pixel under the centre of each target pixel.
    const auto centre = [](int i, int from, int to) {
        return int((2 * int64_t(i) + 1) * from / (2 * int64_t(to)));
    };
    std::vector<int> columns(size_t(size.width()));
    for (int x = 0; x < size.width(); ++x)
        columns[size_t(x)] = centre(x, source.width(), size.width());
    for (int y = 0; y < size.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(
            source.constScanLine(centre(y, source.height(), size.height())));
        auto *row = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            row[x] = straight ? qPremultiply(in[columns[size_t(x)]]) : in[columns[size_t(x)]];
    }
    return out;
}

const QImage &ScaledImageCache::scaled(const QImage &source, QSize size)
{
    if (source.isNull()) {
        clear();
        return m_scaled;
    }
    if (!find(source, size))
        store(source.cacheKey(), size, reduceForPainting(source, size));
    return m_scaled;
}

const QImage *ScaledImageCache::find(const QImage &source, QSize size) const
{
    if (source.isNull() || m_scaled.isNull() || source.cacheKey() != m_key || size != m_size)
        return nullptr;
    return &m_scaled;
}

void ScaledImageCache::store(qint64 key, QSize size, const QImage &scaled)
{
    ++m_scaleCount;
    if (scaled.isNull()) {
        clear();
        return;
    }
    m_scaled = scaled;
    m_key = key;
    m_size = size;
}

void ScaledImageCache::clear()
{
    m_scaled = QImage();
    m_key = 0;
    m_size = QSize();
}

} // namespace oxlume::imaging
