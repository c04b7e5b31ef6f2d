#include "imaging/decoders/WmfText.h"

#include "imaging/decoders/WmfRecords.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>

namespace oxlume::imaging::wmf {

namespace {

// Windows-1252 for 0x80..0x9F; the rest of the ANSI code page is Latin-1.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

const char *codePageOf(int charset)
{
    switch (charset) {
    case 128: return "Shift_JIS";
    case 129: return "windows-949";
    case 134: return "GBK";
    case 136: return "Big5";
    case 161: return "windows-1253";
    case 162: return "windows-1254";
    case 163: return "windows-1258";
    case 177: return "windows-1255";
    case 178: return "windows-1256";
    case 186: return "windows-1257";
    case 204: return "windows-1251";
    case 222: return "windows-874";
    case 238: return "windows-1250";
    default: return nullptr;
    }
}

} // namespace

Font readFont(ByteReader &r)
{
    Font f;
    f.height = r.i16le();
    f.width = r.i16le();
    f.escapement = r.i16le();
    r.skip(2); // orientation: GDI draws with the escapement
    f.weight = r.i16le();
    f.italic = r.u8() != 0;
    f.underline = r.u8() != 0;
    f.strikeOut = r.u8() != 0;
    f.charset = r.u8();
    r.skip(4); // precisions, quality, pitch and family
    QByteArray face;
    while (r.has(1) && face.size() < 32) {
        const uint8_t c = r.u8();
        if (c == 0)
            break;
        face.append(char(c));
    }
    f.face = QString::fromLatin1(face);
    return f;
}

std::optional<TextRecord> readTextOut(ByteReader &r)
{
    const int n = r.i16le();
    if (r.failed() || n <= 0 || !r.has(uint64_t(n)))
        return std::nullopt;
    TextRecord t;
    t.bytes = r.take(uint64_t(n));
    r.skip(uint64_t(n & 1));
    const int y = r.i16le(), x = r.i16le();
    if (r.failed())
        return std::nullopt;
    t.ref = QPointF(x, y);
    return t;
}

std::optional<TextRecord> readExtTextOut(ByteReader &r)
{
    TextRecord t;
    const int y = r.i16le(), x = r.i16le();
    const int n = r.i16le();
    t.options = r.u16le();
    if (r.failed() || n < 0)
        return std::nullopt;
    t.ref = QPointF(x, y);
    // The rectangle is there when the options ask for it; some writers add it regardless,
    // which shows as the record being 8 bytes longer than the text needs.
    const uint64_t textBytes = uint64_t(n + (n & 1));
    const uint64_t avail = r.remaining();
    if ((t.options & (kEtoOpaque | kEtoClipped)) || avail == textBytes + 8 + uint64_t(n) * 2 ||
        (avail == textBytes + 8 && n != 4)) {
        const int left = r.i16le(), top = r.i16le(), right = r.i16le(), bottom = r.i16le();
        if (r.failed())
            return std::nullopt;
        t.rect = QRectF(QPointF(left, top), QPointF(right, bottom));
    }
    if (!r.has(uint64_t(n)))
        return std::nullopt;
    t.bytes = r.take(uint64_t(n));
    r.skip(uint64_t(n & 1));
    if (n > 0 && r.has(uint64_t(n) * 2)) {
        t.dx.resize(size_t(n));
        for (int &d : t.dx)
            d = r.i16le();
    }
    return t;
}

QString decodeText(Bytes bytes, int charset)
{
    const QByteArray raw(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
    if (const char *cp = codePageOf(charset)) {
        QStringDecoder decoder(cp);
        if (decoder.isValid())
            return decoder.decode(raw);
    }
    QString s;
    s.reserve(raw.size());
    for (char c : raw) {
        const auto b = uint8_t(c);
        s.append(b >= 0x80 && b < 0xA0 ? QChar(kCp1252High[b - 0x80]) : QChar(char16_t(b)));
    }
    return s;
}

bool fontsAvailable()
{
    return qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
}

QTransform TextRun::transform(QPointF origin, int escapement) const
{
    QTransform t;
    t.translate(origin.x(), origin.y());
    t.rotate(-escapement / 10.0);
    t.scale(hx * k, k);
    return t;
}

std::optional<TextRun> layoutText(const Font &f, const QString &text, const std::vector<int> &dx,
                                  int charExtra, int align, double sx, double sy, double maxSide)
{
    TextRun run;
    run.font = QFont(f.face.isEmpty() ? QStringLiteral("Sans Serif") : f.face);
    QFont &font = run.font;
    font.setWeight(QFont::Weight(std::clamp(f.weight <= 0 ? 400 : f.weight, 1, 1000)));
    font.setItalic(f.italic);
    font.setUnderline(f.underline);
    font.setStrikeOut(f.strikeOut);
    font.setStyleStrategy(QFont::PreferAntialias);
    constexpr int kReference = 100;
    font.setPixelSize(kReference);
    const QFontMetricsF reference(font);
    double em = 13.0; // GDI's default height when the font names none
    if (f.height < 0)
        em = -double(f.height) * sy;
    else if (f.height > 0)
        em = f.height * sy * kReference / std::max(1.0, reference.ascent() + reference.descent());
    if (!(em > 0.05) || em > 16 * maxSide)
        return std::nullopt;
    const int pixelSize = std::clamp(int(std::lround(em)), 1, 512);
    font.setPixelSize(pixelSize);
    run.k = em / pixelSize;
    const QFontMetricsF fm(font);
    run.hx = sy > 0 ? sx / sy : 1.0; // anisotropic mappings stretch text too
    if (f.width > 0 && fm.averageCharWidth() > 0)
        run.hx = f.width * sx / (fm.averageCharWidth() * run.k);
    run.hx = std::clamp(run.hx, 0.01, 100.0);
    run.ascent = fm.ascent();
    run.descent = fm.descent();

    run.text = text;
    const double toLocal = sx / (run.hx * run.k); // logical x length -> local font units
    if (!dx.empty() && dx.size() == size_t(text.size())) {
        for (int d : dx)
            run.advances.push_back(d * toLocal), run.total += d * toLocal;
    } else {
        run.total = fm.horizontalAdvance(text) + double(charExtra) * toLocal * double(text.size());
        if (charExtra != 0)
            for (QChar c : text)
                run.advances.push_back(fm.horizontalAdvance(c) + charExtra * toLocal);
    }

    switch (align & kTaHorizontalMask) {
    case kTaRight: run.x0 = -run.total; break;
    case kTaCenter: run.x0 = -run.total / 2; break;
    default: break;
    }
    run.baseline = run.ascent; // TA_TOP
    switch (align & kTaVerticalMask) {
    case kTaBaseline: run.baseline = 0; break;
    case kTaBottom: run.baseline = -run.descent; break;
    default: break;
    }
    return run;
}

} // namespace oxlume::imaging::wmf
