#pragma once
// Windows metafile record numbers and the GDI constants their parameters use. Names follow
// the public metafile documentation (META_* record types, MM_*, PS_*, BS_*, TA_*, ...).

#include <cstdint>

namespace oxlume::imaging::wmf {

enum Record : uint16_t {
    kEof = 0x0000,
    kRealizePalette = 0x0035,
    kSetPalEntries = 0x0037,
    kSetBkMode = 0x0102,
    kSetMapMode = 0x0103,
    kSetRop2 = 0x0104,
    kSetRelAbs = 0x0105,
    kSetPolyFillMode = 0x0106,
    kSetStretchBltMode = 0x0107,
    kSetTextCharExtra = 0x0108,
    kRestoreDc = 0x0127,
    kSelectClipRegion = 0x012C,
    kSelectObject = 0x012D,
    kSetTextAlign = 0x012E,
    kDeleteObject = 0x01F0,
    kCreatePatternBrush = 0x01F9,
    kDibCreatePatternBrush = 0x0142,
    kSetBkColor = 0x0201,
    kSetTextColor = 0x0209,
    kSetWindowOrg = 0x020B,
    kSetWindowExt = 0x020C,
    kSetViewportOrg = 0x020D,
    kSetViewportExt = 0x020E,
    kOffsetWindowOrg = 0x020F,
    kOffsetViewportOrg = 0x0211,
    kLineTo = 0x0213,
    kMoveTo = 0x0214,
    kOffsetClipRgn = 0x0220,
    kSelectPalette = 0x0234,
    kCreatePenIndirect = 0x02FA,
    kCreateFontIndirect = 0x02FB,
    kCreateBrushIndirect = 0x02FC,
    kPolygon = 0x0324,
    kPolyline = 0x0325,
    kScaleWindowExt = 0x0410,
    kScaleViewportExt = 0x0412,
    kExcludeClipRect = 0x0415,
    kIntersectClipRect = 0x0416,
    kEllipse = 0x0418,
    kRectangle = 0x041B,
    kSetPixel = 0x041F,
    kTextOut = 0x0521,
    kPolyPolygon = 0x0538,
    kRoundRect = 0x061C,
    kPatBlt = 0x061D,
    kEscape = 0x0626,
    kCreateRegion = 0x06FF,
    kArc = 0x0817,
    kPie = 0x081A,
    kChord = 0x0830,
    kDibBitBlt = 0x0940,
    kExtTextOut = 0x0A32,
    kDibStretchBlt = 0x0B41,
    kSetDibToDev = 0x0D33,
    kStretchDib = 0x0F43,
    kSaveDc = 0x001E,
    kCreatePalette = 0x00F7,
};

enum MapMode : int {
    kMmText = 1,
    kMmLoMetric = 2,
    kMmHiMetric = 3,
    kMmLoEnglish = 4,
    kMmHiEnglish = 5,
    kMmTwips = 6,
    kMmIsotropic = 7,
    kMmAnisotropic = 8,
};

// Pen styles (low nibble), end caps and joins.
inline constexpr int kPsSolid = 0, kPsDash = 1, kPsDot = 2, kPsDashDot = 3, kPsDashDotDot = 4,
                     kPsNull = 5, kPsInsideFrame = 6;
inline constexpr int kPsStyleMask = 0x000F, kPsEndCapMask = 0x0F00, kPsJoinMask = 0xF000;
inline constexpr int kPsEndCapSquare = 0x0100, kPsEndCapFlat = 0x0200;
inline constexpr int kPsJoinBevel = 0x1000, kPsJoinMiter = 0x2000;

// Brush styles and hatches.
inline constexpr int kBsSolid = 0, kBsNull = 1, kBsHatched = 2, kBsPattern = 3, kBsDibPattern = 5,
                     kBsDibPatternPt = 6;
inline constexpr int kHsHorizontal = 0, kHsVertical = 1, kHsFDiagonal = 2, kHsBDiagonal = 3,
                     kHsCross = 4, kHsDiagCross = 5;

// Text alignment bits.
inline constexpr int kTaUpdateCp = 0x0001;
inline constexpr int kTaHorizontalMask = 0x0006, kTaRight = 0x0002, kTaCenter = 0x0006;
inline constexpr int kTaVerticalMask = 0x0018, kTaBottom = 0x0008, kTaBaseline = 0x0018;

// ExtTextOut options.
inline constexpr int kEtoOpaque = 0x0002, kEtoClipped = 0x0004;

inline constexpr int kBkTransparent = 1, kBkOpaque = 2;
inline constexpr int kPolyFillAlternate = 1, kPolyFillWinding = 2;

// Binary raster operations (SETROP2).
enum Rop2 : int {
    kR2Black = 1,
    kR2NotMergePen = 2,
    kR2MaskNotPen = 3,
    kR2NotCopyPen = 4,
    kR2MaskPenNot = 5,
    kR2Not = 6,
    kR2XorPen = 7,
    kR2NotMaskPen = 8,
    kR2MaskPen = 9,
    kR2NotXorPen = 10,
    kR2Nop = 11,
    kR2MergeNotPen = 12,
    kR2CopyPen = 13,
    kR2MergePenNot = 14,
    kR2MergePen = 15,
    kR2White = 16,
};

// Ternary raster operations, by their index byte (bits 16..23 of the 32-bit code).
enum Rop3 : int {
    kRopBlackness = 0x00,
    kRopNotSrcErase = 0x11,
    kRopNotSrcCopy = 0x33,
    kRopSrcErase = 0x44,
    kRopDstInvert = 0x55,
    kRopPatInvert = 0x5A,
    kRopSrcInvert = 0x66,
    kRopSrcAnd = 0x88,
    kRopNop = 0xAA,
    kRopMergePaint = 0xBB,
    kRopMergeCopy = 0xC0,
    kRopSrcCopy = 0xCC,
    kRopSrcPaint = 0xEE,
    kRopPatCopy = 0xF0,
    kRopPatPaint = 0xFB,
    kRopWhiteness = 0xFF,
};

} // namespace oxlume::imaging::wmf
