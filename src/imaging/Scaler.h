#pragma once
// Area-averaged (box filter) scaling for painting. Every destination pixel is the average
// of the source area it covers, weighted by overlap, so a strong reduction keeps fine
// detail as an average instead of the moire that sampling filters give.

#include <QImage>
#include <QSize>

namespace oxlume::imaging {

// source scaled to size (both sides >= 1) by area averaging, in source's 32-bit format
// (other formats are converted to ARGB32_Premultiplied first). Channels are averaged
// independently, so give it premultiplied pixels when alpha matters. Made for reduction;
// an enlargement works but is a blocky box filter. A null image or an empty size gives a
// null image.
QImage areaAverageScale(const QImage &source, QSize size);

// The reduction a painted image gets: areaAverageScale, with straight alpha premultiplied
// first. Pure, so it may run on any thread on its own copy of the handle.
QImage reduceForPainting(const QImage &source, QSize size);
// The quick picture of a 32-bit image (RGB32, ARGB32, premultiplied or not) at size: nearest
// sampling, straight alpha premultiplied, at the cost of the target's pixels only. Drawn
// scaled by QPainter instead, the largest images cost hundreds of MB of copies first.
// Null for other formats.
QImage sampleForPainting(const QImage &source, QSize size);

// One scaled copy of one image, kept until the image or the size changes: repaints at the
// same size cost nothing. Not thread-safe; belongs to the painting thread.
class ScaledImageCache {
public:
    // The image scaled to size, from the cache when the same image (same cacheKey) was
    // last asked for at the same size.
    const QImage &scaled(const QImage &source, QSize size);
    // The cached copy when it is source at size, else nullptr; computes nothing.
    const QImage *find(const QImage &source, QSize size) const;
    // Keeps scaled, made elsewhere (on a worker) from the image with cacheKey key, as the
    // copy for size; counts as one scaling run. A null scaled is not kept.
    void store(qint64 key, QSize size, const QImage &scaled);
    void clear();
    // Number of scaling runs so far; lets tests and benchmarks see cache hits.
    int scaleCount() const { return m_scaleCount; }

private:
    qint64 m_key = 0;
    QSize m_size;
    QImage m_scaled;
    int m_scaleCount = 0;
};

} // namespace oxlume::imaging
