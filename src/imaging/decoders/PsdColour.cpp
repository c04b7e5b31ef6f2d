// Colour conversions of the PSD composite's modes, from channel rows to QRgb rows: 8-bit
// samples as stored, or 16- and 32-bit ones as floats 0..1 so that nothing is cut to 8 bits
// before the colours are mapped.

#include "imaging/ColourProfile.h"
#include "imaging/decoders/PsdInternal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

namespace oxlume::imaging::psd {

namespace {

// Samples of both kinds on one scale: top is white (or no ink).
template<typename T>
struct Scale;
template<>
struct Scale<uint8_t> {
    static constexpr float top = 255.0f;
    static uint8_t level(uint8_t v) { return v; }
};
template<>
struct Scale<float> {
    static constexpr float top = 1.0f;
    static uint8_t level(float v) { return uint8_t(v * 255.0f + 0.5f); } // v is within 0..1
};

// Lab's a and b are (sample * labUnits - 128); 16-bit files have 32768 for neutral.
template<typename T>
float labUnits(const Header &h)
{
    return std::is_same_v<T, uint8_t> ? 1.0f : h.depth == 16 ? 65535.0f / 256.0f : 255.0f;
}

template<typename T>
inline float unit(T v)
{
    return float(v) / Scale<T>::top;
}

inline uint8_t toLevel(float v)
{
    return uint8_t(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
}

// CIELAB (D50) to sRGB (D65) with Bradford adaptation folded into the matrix.
class LabConverter {
public:
    LabConverter()
    {
        for (size_t i = 0; i < m_encode.size(); ++i) {
            const double v = double(i) / double(m_encode.size() - 1);
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
            m_encode[i] = uint8_t(std::lround(s * 255.0));
        }
    }
    // L 0..100, a and b about -128..127.
    QRgb convert(float L, float a, float b) const
    {
        const double fy = (L + 16.0) / 116.0;
        const double fx = fy + a / 500.0;
        const double fz = fy - b / 200.0;
        const double X = 0.9642 * inverse(fx);
        const double Y = 1.0000 * inverse(fy);
        const double Z = 0.8249 * inverse(fz);
        const double r = 3.1338561 * X - 1.6168667 * Y - 0.4906146 * Z;
        const double g = -0.9787684 * X + 1.9161415 * Y + 0.0334540 * Z;
        const double bl = 0.0719453 * X - 0.2289914 * Y + 1.4052427 * Z;
        return qRgb(encode(r), encode(g), encode(bl));
    }

private:
    static double inverse(double f)
    {
        constexpr double kEpsilon = 6.0 / 29.0;
        return f > kEpsilon ? f * f * f : 3.0 * kEpsilon * kEpsilon * (f - 4.0 / 29.0);
    }
    uint8_t encode(double linear) const
    {
        const double clamped = std::clamp(linear, 0.0, 1.0);
        return m_encode[size_t(std::lround(clamped * double(m_encode.size() - 1)))];
    }
    // Steps fine enough for 16-bit input: the dark end of sRGB is steep.
    std::array<uint8_t, 1 << 16> m_encode{};
};

const LabConverter &labConverter()
{
    static const LabConverter converter;
    return converter;
}

// CMYK and multichannel inks are stored inverted (top = no ink). Without a colour profile the
// plain complement product is the honest conversion: R = (1 - C)(1 - K), and so on.
template<typename T>
void cmykRow(const T *const *ch, size_t w, int inks, QRgb *line)
{
    if constexpr (std::is_same_v<T, uint8_t>) {
        const auto mul = [](unsigned a, unsigned b) { return (a * b + 127u) / 255u; };
        for (size_t x = 0; x < w; ++x) {
            const unsigned k = inks == 4 ? ch[3][x] : 255u;
            line[x] = qRgb(int(mul(ch[0][x], k)), int(mul(ch[1][x], k)), int(mul(ch[2][x], k)));
        }
        return;
    }
    for (size_t x = 0; x < w; ++x) {
        const float k = inks == 4 ? unit(ch[3][x]) : 1.0f;
        line[x] = qRgb(toLevel(unit(ch[0][x]) * k), toLevel(unit(ch[1][x]) * k),
                       toLevel(unit(ch[2][x]) * k));
    }
}

// Spot inks laid over white one after another, each taking away what it absorbs in
// proportion to its coverage.
template<typename T>
void inkRow(const std::vector<Ink> &inks, const T *const *ch, size_t w, QRgb *line)
{
    for (size_t x = 0; x < w; ++x) {
        float rgb[3] = {1.0f, 1.0f, 1.0f};
        for (size_t i = 0; i < inks.size(); ++i) {
            if (!inks[i].shown)
                continue;
            const float coverage = 1.0f - unit(ch[i][x]);
            for (int c = 0; c < 3; ++c)
                rgb[c] *= 1.0f - coverage * (1.0f - inks[i].rgb[c]);
        }
        line[x] = qRgb(toLevel(rgb[0]), toLevel(rgb[1]), toLevel(rgb[2]));
    }
}

template<typename T>
void colourRow(const Header &h, const T *const *ch, const QRgb *palette, QRgb *line)
{
    using S = Scale<T>;
    const size_t w = size_t(h.width);
    if constexpr (std::is_same_v<T, float>) {
        if (h.preciseProfile) {
            // The used channels' rows lie one after another, as the transform's planes.
            h.preciseProfile->convert(ch[0], line, int(w));
            return;
        }
    }
    switch (h.mode) {
    case ColorMode::Rgb:
        for (size_t x = 0; x < w; ++x)
            line[x] = qRgb(S::level(ch[0][x]), S::level(ch[1][x]), S::level(ch[2][x]));
        break;
    case ColorMode::Indexed:
        for (size_t x = 0; x < w; ++x)
            line[x] = palette[S::level(ch[0][x])];
        break;
    case ColorMode::Cmyk:
        if constexpr (std::is_same_v<T, uint8_t>) {
            if (h.cmykProfile) {
                // Interleaved into the line itself (four bytes a pixel), then converted in place.
                auto *bytes = reinterpret_cast<uint8_t *>(line);
                for (size_t x = 0; x < w; ++x)
                    for (size_t c = 0; c < 4; ++c)
                        bytes[4 * x + c] = ch[c][x];
                h.cmykProfile->convert(bytes, line, int(w));
                break;
            }
        }
        cmykRow(ch, w, 4, line);
        break;
    case ColorMode::Lab: {
        const float units = labUnits<T>(h);
        for (size_t x = 0; x < w; ++x)
            line[x] =
                labConverter().convert(unit(ch[0][x]) * 100.0f, float(ch[1][x]) * units - 128.0f,
                                       float(ch[2][x]) * units - 128.0f);
        break;
    }
    case ColorMode::Multichannel:
        // Shown with the document's inks when it names them; otherwise three or four
        // channels are taken as CMY(K), fewer as a grey.
        if (!h.inks.empty())
            inkRow(h.inks, ch, w, line);
        else if (h.channels >= 3)
            cmykRow(ch, w, std::min(h.channels, 4), line);
        else
            for (size_t x = 0; x < w; ++x)
                line[x] = qRgb(S::level(ch[0][x]), S::level(ch[0][x]), S::level(ch[0][x]));
        break;
    case ColorMode::Bitmap:
    case ColorMode::Grayscale:
    case ColorMode::Duotone: // shown as its grey base, as viewers without ink tables do
        for (size_t x = 0; x < w; ++x)
            line[x] = qRgb(S::level(ch[0][x]), S::level(ch[0][x]), S::level(ch[0][x]));
        break;
    }
}

// What a colour channel holds where nothing was painted: white, no ink, or Lab's neutral.
template<typename T>
float matteOf(const Header &h, int c)
{
    return h.mode == ColorMode::Lab && c > 0 ? 128.0f / labUnits<T>(h) : Scale<T>::top;
}

// An Lab colour in a display-information colour record: L 0..10000, a and b signed hundredths.
std::array<float, 3> labInk(const uint16_t *v)
{
    const QRgb p = labConverter().convert(float(v[0]) / 100.0f, float(int16_t(v[1])) / 100.0f,
                                          float(int16_t(v[2])) / 100.0f);
    return {float(qRed(p)) / 255.0f, float(qGreen(p)) / 255.0f, float(qBlue(p)) / 255.0f};
}

std::array<float, 3> hsbInk(const uint16_t *v)
{
    const float hue = float(v[0]) / 65535.0f * 6.0f, s = float(v[1]) / 65535.0f,
                b = float(v[2]) / 65535.0f;
    const auto channel = [&](float n) {
        const float k = std::fmod(n + hue, 6.0f);
        return b - b * s * std::clamp(std::min(k, 4.0f - k), 0.0f, 1.0f);
    };
    return {channel(5.0f), channel(3.0f), channel(1.0f)};
}

} // namespace

std::vector<Ink> readInks(Bytes displayInfo, bool versioned, int channels)
{
    ByteReader r(displayInfo);
    if (versioned && r.u32be() != 1)
        return {};
    std::vector<Ink> inks;
    bool anyShown = false;
    // Each record: colour space, four components, opacity, kind (2: a spot ink), and in the
    // older resource a padding byte.
    while (int(inks.size()) < std::min(channels, kMaxInks) && r.remaining() >= 13) {
        const uint16_t space = r.u16be();
        uint16_t v[4];
        for (uint16_t &c : v)
            c = r.u16be();
        r.skip(2);
        const bool spot = r.u8() == 2;
        if (!versioned)
            r.skip(std::min<uint64_t>(1, r.remaining()));
        Ink ink;
        std::array<float, 3> rgb{};
        ink.shown = spot;
        switch (space) {
        case 0: rgb = {v[0] / 65535.0f, v[1] / 65535.0f, v[2] / 65535.0f}; break;
        case 1: rgb = hsbInk(v); break;
        case 2: // components count down: 65535 is no ink
            for (int c = 0; c < 3; ++c)
                rgb[size_t(c)] = float(v[c]) / 65535.0f * float(v[3]) / 65535.0f;
            break;
        case 7: rgb = labInk(v); break;
        case 8: rgb.fill(1.0f - std::min(1.0f, float(v[0]) / 10000.0f)); break;
        default: ink.shown = false;
        }
        std::copy(rgb.begin(), rgb.end(), ink.rgb);
        anyShown = anyShown || ink.shown;
        inks.push_back(ink);
    }
    while (!inks.empty() && !inks.back().shown)
        inks.pop_back();
    // One channel is a grey, as other readers show it.
    if (!anyShown || channels < 2)
        return {};
    return inks;
}

template<typename T>
bool mattedRow(const Header &h, const T *const *ch)
{
    // Photoshop and GIMP matte the composite's colour against white where it is translucent,
    // in the document's own colour space (stored = a * colour + (1 - a) * white). A stored
    // channel is then never further from white than a allows; other writers store straight
    // colour, which usually breaks that rule somewhere.
    const int colour = usedChannels(h) - 1;
    const T *a = ch[colour];
    constexpr float top = Scale<T>::top, slack = top / 255.0f; // one level of rounding
    for (int c = 0; c < colour; ++c) {
        const float white = matteOf<T>(h, c), reach = std::max(white, top - white) / top;
        for (size_t x = 0, w = size_t(h.width); x < w; ++x)
            if (std::abs(float(ch[c][x]) - white) > float(a[x]) * reach + slack)
                return false;
    }
    return true;
}

template<typename T>
void unmatteRows(const Header &h, const T *const *in, T *const *out)
{
    const int colour = usedChannels(h) - 1;
    const T *a = in[colour];
    const size_t w = size_t(h.width);
    constexpr float top = Scale<T>::top;
    for (int c = 0; c < colour; ++c) {
        const float white = matteOf<T>(h, c);
        for (size_t x = 0; x < w; ++x) {
            const float alpha = unit(a[x]);
            const float v = alpha > 0 ? (float(in[c][x]) - (1 - alpha) * white) / alpha : white;
            out[c][x] = std::is_same_v<T, float> ? T(std::clamp(v, 0.0f, top))
                                                 : T(std::lround(std::clamp(v, 0.0f, top)));
        }
    }
    std::copy(a, a + w, out[colour]);
}

template<typename T>
void composeRow(const Header &h, const T *const *ch, const QRgb *palette, QRgb *line, bool matted)
{
    colourRow(h, ch, palette, line);
    if (!h.mergedAlpha)
        return;
    const T *a = ch[usedChannels(h) - 1];
    for (size_t x = 0, w = size_t(h.width); x < w; ++x) {
        const uint8_t alpha = Scale<T>::level(a[x]);
        line[x] = matted && alpha == 0 ? 0 : (line[x] & 0x00FFFFFFu) | (QRgb(alpha) << 24);
    }
}

template bool mattedRow(const Header &, const uint8_t *const *);
template bool mattedRow(const Header &, const float *const *);
template void unmatteRows(const Header &, const uint8_t *const *, uint8_t *const *);
template void unmatteRows(const Header &, const float *const *, float *const *);
template void composeRow(const Header &, const uint8_t *const *, const QRgb *, QRgb *, bool);
template void composeRow(const Header &, const float *const *, const QRgb *, QRgb *, bool);

} // namespace oxlume::imaging::psd
