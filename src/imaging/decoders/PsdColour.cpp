// Colour conversions of the PSD composite's modes, from 8-bit channel rows to QRgb rows.

#include "imaging/ColourProfile.h"
#include "imaging/decoders/PsdInternal.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace oxlume::imaging::psd {

namespace {

inline uint8_t mul255(unsigned a, unsigned b)
{
    return uint8_t((a * b + 127u) / 255u);
}

// CMYK is stored inverted (255 = no ink). Without a colour profile the plain complement
// product is the honest conversion: R = (1 - C)(1 - K), and so on.
void cmykRow(const uint8_t *const *ch, size_t w, int inks, QRgb *line)
{
    for (size_t x = 0; x < w; ++x) {
        const unsigned k = inks == 4 ? ch[3][x] : 255u;
        line[x] = qRgb(mul255(ch[0][x], k), mul255(ch[1][x], k), mul255(ch[2][x], k));
    }
}

// CIELAB (D50, as stored: L 0..255 for 0..100, a and b offset by 128) to sRGB (D65) with
// Bradford adaptation folded into the matrix.
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
    QRgb convert(uint8_t L8, uint8_t a8, uint8_t b8) const
    {
        const double L = L8 * (100.0 / 255.0);
        const double fy = (L + 16.0) / 116.0;
        const double fx = fy + (a8 - 128.0) / 500.0;
        const double fz = fy - (b8 - 128.0) / 200.0;
        const double X = 0.9642 * inverse(fx);
        const double Y = 1.0000 * inverse(fy);
        const double Z = 0.8249 * inverse(fz);
        const double r = 3.1338561 * X - 1.6168667 * Y - 0.4906146 * Z;
        const double g = -0.9787684 * X + 1.9161415 * Y + 0.0334540 * Z;
        const double b = 0.0719453 * X - 0.2289914 * Y + 1.4052427 * Z;
        return qRgb(encode(r), encode(g), encode(b));
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
    std::array<uint8_t, 4096> m_encode{};
};

void labRow(const uint8_t *const *ch, size_t w, QRgb *line)
{
    static const LabConverter converter;
    for (size_t x = 0; x < w; ++x)
        line[x] = converter.convert(ch[0][x], ch[1][x], ch[2][x]);
}

void greyRow(const uint8_t *g, size_t w, QRgb *line)
{
    for (size_t x = 0; x < w; ++x)
        line[x] = qRgb(g[x], g[x], g[x]);
}

void colourRow(const Header &h, const uint8_t *const *ch, const QRgb *palette, QRgb *line)
{
    const size_t w = size_t(h.width);
    switch (h.mode) {
    case ColorMode::Rgb:
        for (size_t x = 0; x < w; ++x)
            line[x] = qRgb(ch[0][x], ch[1][x], ch[2][x]);
        break;
    case ColorMode::Indexed:
        for (size_t x = 0; x < w; ++x)
            line[x] = palette[ch[0][x]];
        break;
    case ColorMode::Cmyk:
        if (h.cmykProfile) {
            // Interleaved into the line itself (four bytes a pixel), then converted in place.
            auto *bytes = reinterpret_cast<uint8_t *>(line);
            for (size_t x = 0; x < w; ++x)
                for (size_t c = 0; c < 4; ++c)
                    bytes[4 * x + c] = ch[c][x];
            h.cmykProfile->convert(bytes, line, int(w));
        } else {
            cmykRow(ch, w, 4, line);
        }
        break;
    case ColorMode::Lab: labRow(ch, w, line); break;
    case ColorMode::Multichannel:
        // Multichannel channels are inks, stored like CMYK; three or four are taken as
        // CMY(K), fewer as a grey.
        if (h.channels >= 3)
            cmykRow(ch, w, std::min(h.channels, 4), line);
        else
            greyRow(ch[0], w, line);
        break;
    case ColorMode::Bitmap:
    case ColorMode::Grayscale:
    case ColorMode::Duotone: // shown as its grey base, as viewers without ink tables do
        greyRow(ch[0], w, line);
        break;
    }
}

} // namespace

bool composeRow(const Header &h, const uint8_t *const *ch, const QRgb *palette, QRgb *line)
{
    colourRow(h, ch, palette, line);
    if (!h.mergedAlpha)
        return false;
    // Photoshop and GIMP matte the composite's colour against white where it is translucent
    // (stored = a * colour + (1 - a) * white), so a stored channel is never below 255 - a;
    // other writers store straight colour, which usually breaks that rule somewhere.
    const uint8_t *a = ch[usedChannels(h) - 1];
    bool matted = true;
    for (size_t x = 0, w = size_t(h.width); x < w; ++x) {
        const QRgb p = (line[x] & 0x00FFFFFFu) | (QRgb(a[x]) << 24);
        const int floor = 255 - int(a[x]) - 1; // one level of rounding
        matted = matted && qRed(p) >= floor && qGreen(p) >= floor && qBlue(p) >= floor;
        line[x] = p;
    }
    return matted;
}

void unmatteRow(QRgb *line, size_t width)
{
    for (size_t x = 0; x < width; ++x) {
        const int alpha = qAlpha(line[x]);
        if (alpha == 255)
            continue;
        if (alpha == 0) {
            line[x] = 0;
            continue;
        }
        const auto unmatte = [alpha](int s) {
            const int v = (s - 255 + alpha) * 255;
            return v <= 0 ? 0 : std::min(255, (v + alpha / 2) / alpha);
        };
        line[x] =
            qRgba(unmatte(qRed(line[x])), unmatte(qGreen(line[x])), unmatte(qBlue(line[x])), alpha);
    }
}

} // namespace oxlume::imaging::psd
