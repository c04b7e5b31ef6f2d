#include "imaging/Transforms.h"

#include "imaging/ImageBuffer.h"
#include "platform/Errors.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

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

inline int clampByte(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// Division rounding half away from zero, for the small signed values of the tone steps.
inline int roundDiv(int num, int den) { return num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den); }

void toneRow(const uint32_t *in, uint32_t *out, int width, const ToneTable &t,
             const uint16_t *pair)
{
    for (int x = 0; x < width; ++x) {
        const uint32_t p = in[x];
        out[x] = (p & 0xff000000u) | (uint32_t(t[(p >> 16) & 0xff]) << 16) | pair[p & 0xffff];
    }
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
    // Blue and green looked up together: one load for two channels.
    std::vector<uint16_t> pair(65536);
    for (uint32_t i = 0; i < 65536; ++i)
        pair[i] = uint16_t(table[i & 0xff] | (table[i >> 8] << 8));
    const int w = image.width();
    const int h = image.height();
    if (image.isDetached()) {
        for (int y = 0; y < h; ++y) {
            uint32_t *row = dstRow(image, y);
            toneRow(row, row, w, table, pair.data());
        }
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        toneRow(srcRow(image, y), dstRow(out, y), w, table, pair.data());
    image = std::move(out);
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
            std::reverse(dstRow(image, y), dstRow(image, y) + w);
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        std::reverse_copy(srcRow(image, y), srcRow(image, y) + w, dstRow(out, y));
    image = std::move(out);
}

namespace {

// Quarter turns walk the source in square tiles: a tile's source rows and the destination
// rows it writes both stay in cache, where a plain column walk misses on every pixel.
void rotateQuarter(const QImage &src, QImage &dst, bool clockwise)
{
    const int w = src.width();
    const int h = src.height();
    for (int ty = 0; ty < h; ty += kTile) {
        const int yEnd = std::min(h, ty + kTile);
        for (int tx = 0; tx < w; tx += kTile) {
            const int xEnd = std::min(w, tx + kTile);
            for (int x = tx; x < xEnd; ++x) {
                // Clockwise: source column x becomes destination row x, read bottom-up.
                uint32_t *out = dstRow(dst, clockwise ? x : w - 1 - x);
                for (int y = ty; y < yEnd; ++y)
                    out[clockwise ? h - 1 - y : y] = srcRow(src, y)[x];
            }
        }
    }
}

void rotateHalf(QImage &image)
{
    const int w = image.width();
    const int h = image.height();
    if (image.isDetached()) {
        for (int y = 0; y < h / 2; ++y) {
            uint32_t *a = dstRow(image, y);
            uint32_t *b = dstRow(image, h - 1 - y);
            std::swap_ranges(a, a + w, b);
            std::reverse(a, a + w);
            std::reverse(b, b + w);
        }
        if (h % 2 == 1)
            std::reverse(dstRow(image, h / 2), dstRow(image, h / 2) + w);
        return;
    }
    QImage out = newImageLike(image, w, h);
    for (int y = 0; y < h; ++y)
        std::reverse_copy(srcRow(image, y), srcRow(image, y) + w, dstRow(out, h - 1 - y));
    image = std::move(out);
}

} // namespace

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
    rotateQuarter(image, out, quarter == 1);
    image = std::move(out);
}

} // namespace oxlume::imaging
