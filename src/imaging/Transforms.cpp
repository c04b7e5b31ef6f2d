#include "imaging/Transforms.h"

#include "imaging/ImageBuffer.h"
#include "platform/Errors.h"
#include "platform/Processors.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace oxlume::imaging {

namespace {

// Tiles small enough that a tile of source and destination rows stays in L1.
constexpr int kTile = 64;

// Decoders deliver RGB32 or ARGB32; anything else (a premultiplied or indexed image from
// elsewhere) is brought to one of them so the pixel loops only ever see 0xAARRGGBB words.
void normalizeFormat(QImage &image)
{
    const QImage::Format f = image.format();
    if (f == QImage::Format_RGB32 || f == QImage::Format_ARGB32)
        return;
    image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
}

// A buffer for an out-of-place result. Used when the pixels are shared with another holder:
// writing into a fresh buffer costs one pass, detaching and then transforming costs two.
QImage newImageLike(const QImage &image, int width, int height)
{
    Result<QImage> r = allocateImage("Transform", width, height, image.format());
    if (!r)
        throw ProgramError(r.error().message);
    QImage out = std::move(r).value();
    out.setDotsPerMeterX(image.dotsPerMeterX());
    out.setDotsPerMeterY(image.dotsPerMeterY());
    return out;
}

inline const uint32_t *srcRow(const QImage &image, int y)
{
    return reinterpret_cast<const uint32_t *>(image.constScanLine(y));
}

inline uint32_t *dstRow(QImage &image, int y)
{
    return reinterpret_cast<uint32_t *>(image.scanLine(y));
}

inline int clampByte(int v)
{
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

// Division rounding half away from zero, for the small signed values of the tone steps.
inline int roundDiv(int num, int den)
{
    return num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den);
}

// One table per channel, each entry already in its channel's place: three 1 KB tables stay
// in the first-level cache, where one 64 K table of blue-green pairs (128 KB) did not.
// The restrict qualifiers tell the compiler that stores to the pixels never change the
// tables or the input, so it need not reload them after every store.
struct ToneTables {
    uint32_t red[256], green[256], blue[256];
    explicit ToneTables(const ToneTable &t)
    {
        for (uint32_t i = 0; i < 256; ++i) {
            red[i] = uint32_t(t[i]) << 16;
            green[i] = uint32_t(t[i]) << 8;
            blue[i] = t[i];
        }
    }
};

inline uint32_t tonePixel(uint32_t p, const uint32_t *__restrict red,
                          const uint32_t *__restrict green, const uint32_t *__restrict blue)
{
    return (p & 0xff000000u) | red[(p >> 16) & 0xff] | green[(p >> 8) & 0xff] | blue[p & 0xff];
}

inline uint32_t tonePixel(uint32_t p, const ToneTables &t)
{
    return tonePixel(p, t.red, t.green, t.blue);
}

// Brightness and contrast tables are a clamped straight line, rounded half away from
// mid-grey. Where a table is one, the colour channels are worked out eight pixels at a
// time with floating point instead of three table look-ups a pixel, which kept one core
// busy for longer than the memory transfer itself. The line found for a table is checked
// against every entry before use, so the result is always the table's.
struct ToneLine {
    float scale = 0;           // contrast
    float start = 0;           // the distance from grey of a channel at 0, after both steps
    uint8_t low = 0, high = 0; // what the clamping of either step leaves at the ends
};

// The margin added before the rounding: ties of the exact line are whole multiples of
// 1/2000 away from any other value, and float's error for the distances that matter (up to
// 128) stays below 6e-5, so the margin decides ties without moving anything else.
constexpr float kTieMargin = 1e-4f;

#if defined(__x86_64__) && defined(__GNUC__)
#define OXLUME_TONE_AVX2 1

// Eight pixels from in. The colour channels of two pixels at a time go through the line as
// floats; rounding is a truncation of the distance from grey nudged away from it by the
// margin.
__attribute__((target("avx2,fma"))) inline __m256i toneEight(const uint32_t *in,
                                                             const ToneLine &line)
{
    const __m256 scale = _mm256_set1_ps(line.scale);
    const __m256 start = _mm256_set1_ps(line.start);
    const __m256 margin = _mm256_set1_ps(kTieMargin);
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const __m256 grey = _mm256_set1_ps(128.0f);
    __m256i r[4];
    for (int i = 0; i < 4; ++i) {
        const __m256i v =
            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + 2 * i)));
        const __m256 d = _mm256_fmadd_ps(_mm256_cvtepi32_ps(v), scale, start);
        const __m256 away = _mm256_or_ps(_mm256_and_ps(d, sign), margin);
        // Below grey this gives 128 - (whole part + 1) after truncation towards zero, the
        // same as rounding 127.5 + d; values that end up negative saturate to 0 anyway.
        const __m256 nudged = _mm256_add_ps(_mm256_add_ps(d, away), grey);
        r[i] = _mm256_cvttps_epi32(nudged);
    }
    // Packing works within each 128-bit half: the pixels come out as 0 2 4 6 1 3 5 7.
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), _mm256_packs_epi32(r[2], r[3]));
    __m256i toned = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    toned = _mm256_min_epu8(_mm256_max_epu8(toned, _mm256_set1_epi8(char(line.low))),
                            _mm256_set1_epi8(char(line.high)));
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in));
    return _mm256_blendv_epi8(toned, p, _mm256_set1_epi32(int(0xff000000u)));
}

// n pixels, n a multiple of 8; in and out may be the same.
__attribute__((target("avx2,fma"))) void toneLineRow(const uint32_t *in, uint32_t *out, int n,
                                                     const ToneLine &line)
{
    for (int x = 0; x < n; x += 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + x), toneEight(in + x, line));
    }
}

// The same, written back to front from out + n.
__attribute__((target("avx2,fma"))) void toneLineRowReversed(const uint32_t *in, uint32_t *out,
                                                             int n, const ToneLine &line)
{
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    for (int x = 0; x < n; x += 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + n - 8 - x),
                            _mm256_permutevar8x32_epi32(toneEight(in + x, line), reverse));
    }
}
#endif

// The line that gives exactly the table, when there is one and the processor has the
// instructions for it.
std::optional<ToneLine> findToneLine(const ToneTable &table)
{
#if defined(OXLUME_TONE_AVX2)
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
        return std::nullopt;
    for (size_t v = 1; v < 256; ++v)
        if (table[v] < table[v - 1])
            return std::nullopt;
    // Entries from..to are the ones the clamping leaves alone (none in a table of one or two
    // values).
    int from = 0, to = 255;
    while (from < 255 && table[size_t(from)] == table[0])
        ++from;
    while (to > 0 && table[size_t(to)] == table[255])
        --to;
    // The distances from grey that round to an entry: at or above 128 they are positive and
    // the margin is added, below they are negative and it is taken off.
    const auto lowest = [](int t) {
        return t >= 128 ? std::max(t - 128 - double(kTieMargin), 0.0)
                        : t - 128 + double(kTieMargin);
    };
    const auto highest = [](int t) {
        return t >= 128 ? t - 127 - double(kTieMargin)
                        : std::min(t - 127 + double(kTieMargin), 0.0);
    };
    // The slope of the entries gives the contrast to within what their rounding allows; the
    // contrasts around it are tried nearest first, each with the middle of the starts that
    // keep every entry, and the first that gives the table exactly is taken.
    const double slope =
        to > from ? double(table[size_t(to)] - table[size_t(from)]) / (to - from) : 1.0;
    const int estimate = int(std::lround(slope * 1000));
    const int spread = 1000 / std::max(1, to - from) + 2;
    alignas(32) uint32_t probe[256], toned[256];
    for (uint32_t v = 0; v < 256; ++v)
        probe[v] = 0xff000000u | v * 0x010101u;
    for (int i = 0; i <= 2 * spread; ++i) {
        const int contrast = estimate + (i % 2 ? (i + 1) / 2 : -(i / 2));
        if (contrast < 1 || contrast > 2000)
            continue;
        const float scale = float(contrast) / 1000.0f;
        double low = -1e9, high = 1e9;
        for (int v = from; v <= to; ++v) {
            low = std::max(low, lowest(table[size_t(v)]) - v * double(scale));
            high = std::min(high, highest(table[size_t(v)]) - v * double(scale));
        }
        // Just outside, the line must not yet have passed the clamped ends.
        if (from > 0)
            high = std::min(high, highest(table[0]) - (from - 1) * double(scale));
        if (to < 255)
            low = std::max(low, lowest(table[255]) - (to + 1) * double(scale));
        if (!(low < high))
            continue;
        const ToneLine line{scale, float((low + high) / 2), table[0], table[255]};
        toneLineRow(probe, toned, 256, line);
        bool same = true;
        for (uint32_t v = 0; v < 256 && same; ++v)
            same = toned[v] == (0xff000000u | table[v] * 0x010101u);
        if (same)
            return line;
    }
#else
    (void)table;
#endif
    return std::nullopt;
}

void toneRow(const uint32_t *__restrict in, uint32_t *__restrict out, int width,
             const ToneTables &t)
{
    const uint32_t *__restrict red = t.red;
    const uint32_t *__restrict green = t.green;
    const uint32_t *__restrict blue = t.blue;
    for (int x = 0; x < width; ++x)
        out[x] = tonePixel(in[x], red, green, blue);
}

// The same, writing the row back to front.
void toneRowReversed(const uint32_t *__restrict in, uint32_t *__restrict out, int width,
                     const ToneTables &t)
{
    const uint32_t *__restrict red = t.red;
    const uint32_t *__restrict green = t.green;
    const uint32_t *__restrict blue = t.blue;
    for (int x = 0; x < width; ++x)
        out[width - 1 - x] = tonePixel(in[x], red, green, blue);
}

// A table and, where it has one, its line: the line for runs of eight pixels, the table for
// the rest.
class Toner {
public:
    explicit Toner(const ToneTable &table)
        : m_tables(table)
        , m_line(findToneLine(table))
    {
    }
    bool vectorised() const { return m_line.has_value(); }
    const ToneTables &tables() const { return m_tables; }

    // n pixels from in to out, different rows.
    void row(const uint32_t *in, uint32_t *out, int n) const
    {
#if defined(OXLUME_TONE_AVX2)
        if (m_line) {
            const int done = n & ~7;
            toneLineRow(in, out, done, *m_line);
            for (int x = done; x < n; ++x)
                out[x] = tonePixel(in[x], m_tables);
            return;
        }
#endif
        toneRow(in, out, n, m_tables);
    }

    void inPlace(uint32_t *row, int n) const
    {
        int done = 0;
#if defined(OXLUME_TONE_AVX2)
        if (m_line) {
            done = n & ~7;
            toneLineRow(row, row, done, *m_line);
        }
#endif
        for (int x = done; x < n; ++x)
            row[x] = tonePixel(row[x], m_tables);
    }

    // n pixels from in to out written back to front; in and out are different rows.
    void rowReversed(const uint32_t *in, uint32_t *out, int n) const
    {
#if defined(OXLUME_TONE_AVX2)
        if (m_line) {
            const int done = n & ~7;
            toneLineRowReversed(in, out + (n - done), done, *m_line);
            for (int x = done; x < n; ++x)
                out[n - 1 - x] = tonePixel(in[x], m_tables);
            return;
        }
#endif
        toneRowReversed(in, out, n, m_tables);
    }

private:
    ToneTables m_tables;
    std::optional<ToneLine> m_line;
};

// A row back to front, four pixels to a register. in and out may be the same row: the
// ends are read before either is written.
void reverseRow(const uint32_t *in, uint32_t *out, int width)
{
    int lo = 0, hi = width;
#if defined(__SSE2__)
    for (; hi - lo >= 8; lo += 4, hi -= 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + lo));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + hi - 4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + lo),
                         _mm_shuffle_epi32(b, _MM_SHUFFLE(0, 1, 2, 3)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + hi - 4),
                         _mm_shuffle_epi32(a, _MM_SHUFFLE(0, 1, 2, 3)));
    }
#endif
    for (; hi - lo >= 2; ++lo, --hi) {
        const uint32_t a = in[lo], b = in[hi - 1];
        out[lo] = b;
        out[hi - 1] = a;
    }
    if (hi - lo == 1)
        out[lo] = in[lo];
}

} // namespace

ToneTable brightnessContrastTable(int brightness, int contrast)
{
    brightness = std::clamp(brightness, -1000, 1000);
    contrast = std::clamp(contrast, -1000, 1000);
    const int delta = roundDiv(brightness * 255, 1000);
    ToneTable table{};
    for (int v = 0; v < 256; ++v) {
        const int b = clampByte(v + delta);
        const double c = 127.5 + (b - 127.5) * (1000 + contrast) / 1000.0;
        // Halves round away from mid-grey, so that the table stays symmetric around it.
        const long r = c >= 127.5 ? std::lround(c) : long(std::ceil(c - 0.5));
        table[size_t(v)] = uint8_t(clampByte(int(r)));
    }
    return table;
}

void applyToneTable(QImage &image, const ToneTable &table)
{
    if (image.isNull())
        return;
    normalizeFormat(image);
    const Toner toner(table);
    const int w = image.width();
    const int h = image.height();
    if (image.isDetached()) {
        if (toner.vectorised()) {
            for (int y = 0; y < h; ++y)
                toner.inPlace(dstRow(image, y), w);
            return;
        }
        // Through a copy of the row that stays in L1: reading and writing the same lines
        // directly measured at half the speed of writing elsewhere.
        std::vector<uint32_t> rowCopy(static_cast<size_t>(w));
        for (int y = 0; y < h; ++y) {
            uint32_t *row = dstRow(image, y);
            std::memcpy(rowCopy.data(), row, size_t(w) * 4);
            toner.row(rowCopy.data(), row, w);
        }
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        toner.row(srcRow(image, y), dstRow(out, y), w);
    image = std::move(out);
}

bool toneTableVectorised(const ToneTable &table)
{
    return findToneLine(table).has_value();
}

void ChangeBrightness(QImage &image, int value)
{
    if (value != 0)
        applyToneTable(image, brightnessContrastTable(value, 0));
}

void ChangeContrast(QImage &image, int value)
{
    if (value != 0)
        applyToneTable(image, brightnessContrastTable(0, value));
}

void ApplyBrightnessContrast(QImage &image, int brightness, int contrast)
{
    if (brightness != 0 || contrast != 0)
        applyToneTable(image, brightnessContrastTable(brightness, contrast));
}

void FlipTopBottom(QImage &image)
{
    if (image.isNull())
        return;
    normalizeFormat(image);
    const int w = image.width();
    const int h = image.height();
    if (image.isDetached()) {
        for (int y = 0; y < h / 2; ++y)
            std::swap_ranges(dstRow(image, y), dstRow(image, y) + w, dstRow(image, h - 1 - y));
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        std::memcpy(dstRow(out, y), srcRow(image, h - 1 - y), size_t(w) * 4);
    image = std::move(out);
}

void FlipLeftRight(QImage &image)
{
    if (image.isNull())
        return;
    normalizeFormat(image);
    const int w = image.width();
    const int h = image.height();
    if (image.isDetached()) {
        for (int y = 0; y < h; ++y)
            reverseRow(dstRow(image, y), dstRow(image, y), w);
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        reverseRow(srcRow(image, y), dstRow(out, y), w);
    image = std::move(out);
}

namespace {

#if defined(__SSE2__)
// 4 x 4 pixels transposed in registers: rows a, b, c, d become columns.
inline void transpose4(__m128i &a, __m128i &b, __m128i &c, __m128i &d)
{
    const __m128i ab01 = _mm_unpacklo_epi32(a, b);
    const __m128i cd01 = _mm_unpacklo_epi32(c, d);
    const __m128i ab23 = _mm_unpackhi_epi32(a, b);
    const __m128i cd23 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab01, cd01);
    b = _mm_unpackhi_epi64(ab01, cd01);
    c = _mm_unpacklo_epi64(ab23, cd23);
    d = _mm_unpackhi_epi64(ab23, cd23);
}
#endif

void rotateHalf(QImage &image)
{
    const int w = image.width();
    const int h = image.height();
    if (image.isDetached()) {
        std::vector<uint32_t> spare(static_cast<size_t>(w));
        for (int y = 0; y < h / 2; ++y) {
            uint32_t *a = dstRow(image, y);
            uint32_t *b = dstRow(image, h - 1 - y);
            std::memcpy(spare.data(), a, size_t(w) * 4);
            reverseRow(b, a, w);
            reverseRow(spare.data(), b, w);
        }
        if (h % 2 == 1)
            reverseRow(dstRow(image, h / 2), dstRow(image, h / 2), w);
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        reverseRow(srcRow(image, y), dstRow(out, h - 1 - y), w);
    image = std::move(out);
}

// The four orientations that swap the sides: source column x becomes destination row x (or
// w - 1 - x), source row y destination column y (or h - 1 - y). Source columns x0..x1, in
// square tiles as for the quarter turns.
void transposeColumns(const uchar *srcBits, qsizetype srcStride, int x0, int x1, int w, int h,
                      uchar *dstBits, qsizetype dstStride, Orientation o, const Toner *tone,
                      bool stream)
{
    const bool reverseRows = o.c < 0;
    const bool reverseColumns = o.b < 0;
    const auto in = [&](int x, int y) {
        return reinterpret_cast<const uint32_t *>(srcBits + y * srcStride) + x;
    };
    const auto out = [&](int x, int y) {
        return reinterpret_cast<uint32_t *>(dstBits + (reverseRows ? w - 1 - x : x) * dstStride) +
               (reverseColumns ? h - 1 - y : y);
    };
    for (int ty = 0; ty < h; ty += kTile) {
        const int yEnd = std::min(h, ty + kTile);
        for (int tx = x0; tx < x1; tx += kTile) {
            const int xEnd = std::min(x1, tx + kTile);
            const int x4End = tx + ((xEnd - tx) & ~3);
            const int y4End = ty + ((yEnd - ty) & ~3);
            // Up to sixteen source rows at a time: each destination row then gets a run of
            // sixteen pixels, a whole cache line, that can be streamed out without the line
            // being read first.
            for (int y = ty; y < y4End; y += 16) {
                const int blocks = std::min(4, (y4End - y) / 4);
                const int run = 4 * blocks;
                // A tile's source rows lie a whole image row apart, too far apart for the
                // hardware prefetcher: ask for the next tile's rows while this one is worked
                // on, or every row starts with a wait for memory.
                const int aheadBytes = std::min(kTile, x1 - xEnd) * 4;
                for (int j = 0; j < run; ++j)
                    for (int line = 0; line < aheadBytes; line += 64)
                        __builtin_prefetch(reinterpret_cast<const char *>(in(xEnd, y + j)) + line);
                for (int x = tx; x < x4End; x += 4) {
                    alignas(64) uint32_t runs[4][16]; // the runs of destination rows x .. x + 3
#if defined(__SSE2__)
                    for (int k = 0; k < blocks; ++k) {
                        __m128i r[4];
                        for (int j = 0; j < 4; ++j)
                            r[j] = _mm_loadu_si128(
                                reinterpret_cast<const __m128i *>(in(x, y + 4 * k + j)));
                        transpose4(r[0], r[1], r[2], r[3]); // r[i]: (x + i, y + 4k .. + 3)
                        for (int i = 0; i < 4; ++i)
                            _mm_store_si128(reinterpret_cast<__m128i *>(
                                                &runs[i][reverseColumns ? run - 4 - 4 * k : 4 * k]),
                                            reverseColumns
                                                ? _mm_shuffle_epi32(r[i], _MM_SHUFFLE(0, 1, 2, 3))
                                                : r[i]);
                    }
#else
                    for (int j = 0; j < run; ++j)
                        for (int i = 0; i < 4; ++i)
                            runs[i][reverseColumns ? run - 1 - j : j] = *in(x + i, y + j);
#endif
                    // Toned here, before the store, rather than in another pass.
                    if (tone && run == 16)
                        tone->inPlace(&runs[0][0], 64);
                    else if (tone)
                        for (int i = 0; i < 4; ++i)
                            tone->inPlace(runs[i], run);
                    for (int i = 0; i < 4; ++i) {
                        uint32_t *to = out(x + i, reverseColumns ? y + run - 1 : y);
#if defined(__SSE2__)
                        if (stream && run == 16 && (reinterpret_cast<uintptr_t>(to) & 63) == 0) {
                            for (int k = 0; k < 4; ++k)
                                _mm_stream_si128(reinterpret_cast<__m128i *>(to + 4 * k),
                                                 _mm_load_si128(reinterpret_cast<const __m128i *>(
                                                     &runs[i][4 * k])));
                            continue;
                        }
#endif
                        std::memcpy(to, runs[i], size_t(run) * 4);
                    }
                }
            }
            for (int y = ty; y < yEnd; ++y)
                for (int x = (y < y4End ? x4End : tx); x < xEnd; ++x)
                    *out(x, y) = tone ? tonePixel(*in(x, y), tone->tables()) : *in(x, y);
        }
    }
#if defined(__SSE2__)
    if (stream)
        _mm_sfence(); // streamed stores are seen by other threads only after a fence
#endif
}

// Results larger than this would leave the last-level cache of a desktop processor before
// anyone reads them, so their lines are written without being fetched first.
constexpr int64_t kStreamFromBytes = int64_t(32) << 20;

// Large images are shared out between threads: one core's loads in flight cannot keep the
// memory busy, and toning is work for the processor besides.
constexpr int64_t kParallelFromPixels = 1 << 20;
constexpr int kMaxThreads = 4;

// Runs work(begin, end) over 0..count in chunks of `chunk`, each taken by whichever thread is
// free next: a helper that the scheduler starves (another program busy on its core) holds up
// the result by one chunk at most, never by a fixed half of the image. Only large images get
// helpers, only as many as there are usable processors; none start where one is usable.
// Chunks whose helper cannot be started run here.
void inChunks(int64_t pixels, int count, int chunk, const std::function<void(int, int)> &work)
{
    const int chunks = (count + chunk - 1) / chunk;
    const int threads = pixels < kParallelFromPixels
                            ? 1
                            : std::min({platform::usableProcessors(), kMaxThreads, chunks});
    if (threads <= 1) {
        work(0, count); // alone, in one piece: no chunk edge interrupts the prefetching
        return;
    }
    std::atomic<int> next{0};
    const auto drain = [&] {
        for (int i = next.fetch_add(1); i < chunks; i = next.fetch_add(1))
            work(i * chunk, std::min(count, (i + 1) * chunk));
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < threads; ++t)
            helpers.emplace_back(drain);
    } catch (const std::system_error &) {
    }
    drain();
    for (std::thread &t : helpers)
        t.join();
}

// The orientation and tone of src into out (sides already swapped where o swaps them).
void orientInto(const QImage &src, QImage &out, Orientation o, const Toner *t)
{
    const int w = src.width();
    const int h = src.height();
    // Taken here: bits() on the same QImage from several threads would race on its detach.
    uchar *outBits = out.bits();
    const qsizetype outStride = out.bytesPerLine();
    const uchar *srcBits = src.constBits();
    const qsizetype srcStride = src.bytesPerLine();
    if (o.swapsSides()) {
        const bool stream = int64_t(out.sizeInBytes()) > kStreamFromBytes;
        // Chunks of source columns, whole tiles wide: each writes its own destination rows.
        inChunks(int64_t(w) * h, w, kTile * 8, [&](int x0, int x1) {
            transposeColumns(srcBits, srcStride, x0, x1, w, h, outBits, outStride, o, t, stream);
        });
        return;
    }
    inChunks(int64_t(w) * h, h, 32, [&](int v0, int v1) {
        for (int v = v0; v < v1; ++v) {
            const auto *in =
                reinterpret_cast<const uint32_t *>(srcBits + (o.d < 0 ? h - 1 - v : v) * srcStride);
            auto *row = reinterpret_cast<uint32_t *>(outBits + v * outStride);
            if (t && o.a < 0)
                t->rowReversed(in, row, w);
            else if (t)
                t->row(in, row, w);
            else if (o.a < 0)
                reverseRow(in, row, w);
            else
                std::memcpy(row, in, size_t(w) * 4);
        }
    });
}

} // namespace

Orientation Orientation::rotation(int degrees)
{
    if (degrees % 90 != 0)
        throw ProgramError("RotateImage: angle " + std::to_string(degrees) +
                           " is not a multiple of 90 degrees");
    switch (((degrees / 90) % 4 + 4) % 4) {
    case 1: return {0, -1, 1, 0};
    case 2: return {-1, 0, 0, -1};
    case 3: return {0, 1, -1, 0};
    default: return {};
    }
}

void applyOrientationAndTone(QImage &image, Orientation o, const ToneTable *tone)
{
    if (image.isNull())
        return;
    if (o.isIdentity()) {
        if (tone)
            applyToneTable(image, *tone);
        return;
    }
    // Everything that can fail comes before the result replaces the image.
    QImage src = image;
    normalizeFormat(src);
    const int w = src.width();
    const int h = src.height();
    std::optional<Toner> tables;
    if (tone)
        tables.emplace(*tone);
    QImage out = o.swapsSides() ? newImageLike(src, h, w) : newImageLike(src, w, h);
    orientInto(src, out, o, tables ? &*tables : nullptr);
    image = std::move(out);
}

void RotateImage(QImage &image, int degrees)
{
    if (degrees % 90 != 0)
        throw ProgramError("RotateImage: angle " + std::to_string(degrees) +
                           " is not a multiple of 90 degrees");
    const int quarter = ((degrees / 90) % 4 + 4) % 4;
    if (image.isNull() || quarter == 0)
        return;
    normalizeFormat(image);
    if (quarter == 2) {
        rotateHalf(image);
        return;
    }
    QImage out = newImageLike(image, image.height(), image.width());
    orientInto(image, out, Orientation::rotation(quarter * 90), nullptr);
    image = std::move(out);
}

} // namespace oxlume::imaging
