#pragma once
// The inner parts of the metafile decoder: header, record walking, layout and playback.
// Wmf.cpp strings them together behind the common decoder interface.

#include "imaging/decoders/Decoder.h"

#include <QImage>
#include <QPointF>
#include <QRectF>

#include <cstdint>
#include <string>

namespace oxlume::imaging::wmf {

inline constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
inline constexpr int64_t kMaxRecords = 1000000;
inline constexpr int kMaxSaveDepth = 1024;
inline constexpr int kMaxObjects = 65535;
inline constexpr int kMaxRasterSide = 4096;    // longer side of a metafile with a physical size
inline constexpr int kMaxUnitlessSide = 1024;  // longer side when the file gives no physical size
inline constexpr int kPlaybackBudgetMs = 3000; // hostile drawings stop here, shown as far as drawn

struct Header {
    bool placeable = false;
    // Placeable files: bounding box in logical units and logical units per inch.
    int left = 0, top = 0, right = 0, bottom = 0;
    int unitsPerInch = 0;
    int version = 0;
    int objectCount = 0;
    size_t firstRecord = 0; // byte offset of the first record
};

// Fails when either header is cut short or malformed; the error names the field.
Result<Header> parseHeader(Bytes data);

struct RecordView {
    size_t offset = 0;
    uint16_t function = 0;
    uint32_t sizeWords = 0;
    Bytes params; // the record after its 6-byte size and function
};

// Walks records one by one. Every step advances at least 6 bytes, so walking always ends.
class RecordWalker {
public:
    enum class Step { Record, End, Broken };
    RecordWalker(Bytes data, size_t firstRecord)
        : m_data(data)
        , m_pos(firstRecord)
    {
    }
    // Record: view filled. End: EOF record, end of data or record limit. Broken: a record
    // whose size is below 3 words or runs past the data; problem() says which.
    Step next(RecordView &view);
    int64_t count() const { return m_count; }
    const std::string &problem() const { return m_problem; }

private:
    Bytes m_data;
    size_t m_pos;
    int64_t m_count = 0;
    std::string m_problem;
};

// Where the drawing lies and how big the raster is.
struct Layout {
    // Logical rectangle that fills the raster (width or height may be negative: flipped).
    QRectF frame;
    // Window origin the frame is relative to when the file starts in a non-scaling mode.
    QPointF originAtStart;
    int initialMapMode = 1;
    bool windowAtStart = false; // placeable: the bounding box acts as the starting window
    int width = 0, height = 0;
    int64_t recordCount = 0;
};

// Computes the raster size: the placeable bounding box at 96 dpi, or for plain files the
// window extent (physical for metric map modes) or the drawing's bounding box; capped.
Result<Layout> computeLayout(Bytes data, const Header &header);

// Paints every record onto image (already filled with the background), optionally split
// into bands painted in parallel (bands <= 0: one). Fails only when nothing at all could be
// played or the observer cancelled.
Result<void> play(Bytes data, const Header &header, const Layout &layout, QImage &image,
                  DecodeObserver &observer, int bands = 0);

} // namespace oxlume::imaging::wmf
