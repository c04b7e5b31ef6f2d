#pragma once
// ICC profiles made with lcms2 for tests and benchmarks: matrix-and-curve RGB ones, and the
// table-based (CLUT) RGB and CMYK kinds that printers' and scanners' profiles are.

#include <QByteArray>

#include <lcms2.h>

#include <algorithm>

namespace oxlume::test {

inline QByteArray saveProfile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(qsizetype(size), 0);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// D65 white, the given primaries (x, y of red, green, blue) and one gamma for all channels.
inline cmsHPROFILE matrixProfile(const cmsCIExyYTRIPLE &primaries, double gamma)
{
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsToneCurve *curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return profile;
}

inline const cmsCIExyYTRIPLE kSrgbPrimaries = {
    {0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
inline const cmsCIExyYTRIPLE kAdobePrimaries = {
    {0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};

// sRGB's primaries with linear curves: only the curves tell it from sRGB.
inline QByteArray linearSrgbProfile()
{
    return saveProfile(matrixProfile(kSrgbPrimaries, 1.0));
}

// Adobe RGB (1998): its primaries, D65 white and a 2.2 gamma (563/256).
inline QByteArray adobeRgbProfile()
{
    return saveProfile(matrixProfile(kAdobePrimaries, 563.0 / 256.0));
}

namespace detail {

// A version 2 profile whose only conversion is a table of `points` a side from `channels`
// inputs to Lab, filled by sample(inputs, lab).
template<typename Sample>
QByteArray tableProfile(cmsColorSpaceSignature space, int channels, int points,
                        const Sample &sample)
{
    cmsStage *table = cmsStageAllocCLut16bit(nullptr, cmsUInt32Number(points),
                                             cmsUInt32Number(channels), 3, nullptr);
    struct Context {
        const Sample *sample;
    } context{&sample};
    cmsStageSampleCLut16bit(
        table,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void *cargo) -> cmsInt32Number {
            (*static_cast<Context *>(cargo)->sample)(in, out);
            return TRUE;
        },
        &context, 0);
    cmsPipeline *lut = cmsPipelineAlloc(nullptr, cmsUInt32Number(channels), 3);
    cmsPipelineInsertStage(lut, cmsAT_BEGIN, table);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 2.1);
    cmsSetDeviceClass(profile, channels == 4 ? cmsSigOutputClass : cmsSigInputClass);
    cmsSetColorSpace(profile, space);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsPipelineFree(lut);
    return saveProfile(profile);
}

// RGB (0..1) to version 2 Lab, through sRGB or the given profile.
class ToLab {
public:
    explicit ToLab(cmsHPROFILE from)
    {
        cmsHPROFILE lab = cmsCreateLab2Profile(nullptr);
        m_t = cmsCreateTransform(from, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL,
                                 cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
        cmsCloseProfile(lab);
        cmsCloseProfile(from);
    }
    ~ToLab() { cmsDeleteTransform(m_t); }
    ToLab(const ToLab &) = delete;
    ToLab &operator=(const ToLab &) = delete;
    void operator()(const cmsUInt16Number *rgb, cmsUInt16Number *lab) const
    {
        cmsDoTransform(m_t, rgb, lab, 1);
    }

private:
    cmsHTRANSFORM m_t;
};

} // namespace detail

// Adobe RGB as a table of `points` a side instead of its matrix and curves; at 120 points
// the profile is about 10 MB.
inline QByteArray tableRgbProfile(int points = 17)
{
    const detail::ToLab toLab(matrixProfile(kAdobePrimaries, 563.0 / 256.0));
    return detail::tableProfile(
        cmsSigRgbData, 3, points,
        [&](const cmsUInt16Number *in, cmsUInt16Number *out) { toLab(in, out); });
}

// Inks that mix simply (each takes away its complement, black takes away all), softened so
// that full ink is not black: a table of `points` a side, as press profiles are.
inline QByteArray tableCmykProfile(int points = 9)
{
    const detail::ToLab toLab(cmsCreate_sRGBProfile());
    return detail::tableProfile(
        cmsSigCmykData, 4, points, [&](const cmsUInt16Number *in, cmsUInt16Number *out) {
            const double k = 1.0 - 0.85 * in[3] / 65535.0;
            cmsUInt16Number rgb[3];
            for (int c = 0; c < 3; ++c) {
                const double v = (1.0 - 0.9 * in[c] / 65535.0) * k;
                rgb[c] = cmsUInt16Number(std::clamp(v, 0.0, 1.0) * 65535.0 + 0.5);
            }
            toLab(rgb, out);
        });
}

} // namespace oxlume::test
