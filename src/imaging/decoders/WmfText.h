#pragma once
// Metafile text: fonts as their creation records describe them, strings in their character
// sets, and where a string's characters go. The player draws text with these, and the layout
// measures it with the same numbers, so that a picture's bounds hold its text.

#include "imaging/ByteReader.h"

#include <QFont>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QTransform>

#include <optional>
#include <vector>

namespace oxlume::imaging::wmf {

struct Font {
    int height = 0; // < 0: character (em) height, > 0: cell height, 0: default
    int width = 0;
    int escapement = 0; // tenths of a degree, counter-clockwise
    int weight = 400;
    bool italic = false, underline = false, strikeOut = false;
    int charset = 0;
    QString face;
};

// The font of a CREATEFONTINDIRECT record.
Font readFont(ByteReader &r);

// A text record's reference point (logical), characters and, for EXTTEXTOUT, its options,
// rectangle and character advances.
struct TextRecord {
    QPointF ref;
    Bytes bytes;
    std::vector<int> dx;
    int options = 0;
    std::optional<QRectF> rect;
};
// Nothing when the record is cut short before its characters or reference point.
std::optional<TextRecord> readTextOut(ByteReader &r);
std::optional<TextRecord> readExtTextOut(ByteReader &r);

// The characters of a text record in the font's character set.
QString decodeText(Bytes bytes, int charset);

// Fonts need a GUI application; without one, text is neither drawn nor measured.
bool fontsAvailable();

// A string laid out for a device whose logical units measure sx by sy pixels. Lengths are in
// the font's local units, which transform() takes to device pixels.
struct TextRun {
    QFont font;
    QString text;
    double k = 1;  // local units to device pixels
    double hx = 1; // horizontal stretch on top of k
    double ascent = 0, descent = 0;
    double x0 = 0;       // start of the run, from the reference point (alignment)
    double baseline = 0; // the baseline, down from the reference point (alignment)
    double total = 0;    // the run's advance
    // One advance per character when the run is drawn character by character (advances
    // given by the record, or extra spacing); empty when it is drawn whole.
    std::vector<double> advances;

    QRectF box() const { return {x0, baseline - ascent, total, ascent + descent}; }
    // Local units to device pixels, the reference point at origin, turned by the escapement.
    QTransform transform(QPointF origin, int escapement) const;
    // The run's advance in logical units, along x.
    double logicalAdvance(double sx) const { return total * hx * k / sx; }
};

// Nothing when the font is too small to show or larger than 16 times maxSide pixels.
std::optional<TextRun> layoutText(const Font &f, const QString &text, const std::vector<int> &dx,
                                  int charExtra, int align, double sx, double sy, double maxSide);

} // namespace oxlume::imaging::wmf
