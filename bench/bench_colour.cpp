// Colour conversion of a 6000 x 4000 JPEG that carries an Adobe RGB (1998) profile, against
// the decode time of the same JPEG without a profile, measured in the same run:
//   decode       - our JPEG decode with no profile (the reference; the aim is convert <= 0.3x)
//   sRGB profile - the same decode with an embedded sRGB profile (aim: within 2 % of decode)
//   convert      - our conversion of the decoded pixels: as decoding does it (Qt's for the
//                  RGB profiles it reads), and our table path on one core and on all
//   lcms2        - lcms2's general 8-bit transform of the same pixels, one core
//   QColorSpace  - Qt's own conversion of the same pixels, for the choice of library
// and the fidelity of both conversions against lcms2's unoptimised floating-point transform
// over every 4th level of R, G and B.

#include "imaging/ColourProfile.h"
#include "imaging/decoders/Jpeg.h"

#include "BenchCommon.h"

#include <QColorSpace>

#include <lcms2.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <jpeglib.h>

using namespace oxlume::imaging;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kRuns = 5;

QByteArray saveProfile(cmsHPROFILE p)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    QByteArray bytes(qsizetype(size), 0);
    cmsSaveProfileToMem(p, bytes.data(), &size);
    cmsCloseProfile(p);
    return bytes;
}

// Adobe RGB (1998): its primaries, D65 white and a 2.2 gamma (563/256).
QByteArray adobeRgbProfile()
{
    const cmsCIExyY white = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve *curves[3] = {gamma, gamma, gamma};
    QByteArray bytes = saveProfile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(gamma);
    return bytes;
}

std::vector<unsigned char> compress(const QImage &image, const QByteArray &profile)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(image.width());
    c.image_height = JDIMENSION(image.height());
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    if (!profile.isEmpty())
        jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET *>(profile.constData()),
                               unsigned(profile.size()));
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.constScanLine(int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<unsigned char> bytes(out, out + size);
    free(out);
    return bytes;
}

Bytes span(const std::vector<unsigned char> &v)
{
    return {reinterpret_cast<const std::byte *>(v.data()), v.size()};
}
Bytes span(const QByteArray &a)
{
    return {reinterpret_cast<const std::byte *>(a.constData()), size_t(a.size())};
}

double decodeMs(const std::vector<unsigned char> &file)
{
    return bench::medianMs(kRuns, [&] {
        DecodeObserver quiet;
        auto image = decodeJpeg(span(file), quiet);
        if (!image)
            std::abort();
    });
}

// Every 4th level of each channel, and what an exact transform makes of them.
struct Fidelity {
    double maxDiff = 0, meanDiff = 0;
};
QImage testColours()
{
    QImage image(64 * 64, 64, QImage::Format_RGB32);
    for (int r = 0; r < 64; ++r)
        for (int g = 0; g < 64; ++g)
            for (int b = 0; b < 64; ++b)
                image.setPixel(r * 64 + g, b, qRgb(r * 4 + r / 16, g * 4 + g / 16, b * 4 + b / 16));
    return image;
}
QImage exactConversion(const QImage &in, const QByteArray &profile)
{
    cmsHPROFILE from = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_DBL, to, TYPE_RGB_DBL, INTENT_PERCEPTUAL,
                                         cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
    QImage out = in;
    for (int y = 0; y < in.height(); ++y)
        for (int x = 0; x < in.width(); ++x) {
            const QRgb p = in.pixel(x, y);
            double rgb[3] = {qRed(p) / 255.0, qGreen(p) / 255.0, qBlue(p) / 255.0}, res[3];
            cmsDoTransform(t, rgb, res, 1);
            auto level = [](double v) { return std::clamp(int(v * 255.0 + 0.5), 0, 255); };
            out.setPixel(x, y, qRgb(level(res[0]), level(res[1]), level(res[2])));
        }
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    return out;
}
Fidelity compare(const QImage &a, const QImage &b)
{
    Fidelity f;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) {
                f.maxDiff = std::max(f.maxDiff, double(std::abs(d)));
                sum += std::abs(d);
            }
        }
    f.meanDiff = sum / (3.0 * a.width() * a.height());
    return f;
}

} // namespace

int main()
{
    const QImage picture = bench::noisyGradient(kW, kH, 7);
    const QByteArray adobe = adobeRgbProfile();
    const QByteArray srgb = saveProfile(cmsCreate_sRGBProfile());
    const auto plain = compress(picture, {});
    const auto withSrgb = compress(picture, srgb);
    const auto withAdobe = compress(picture, adobe);

    const double decode = decodeMs(plain);
    const double decodeSrgb = decodeMs(withSrgb);
    const double decodeAdobe = decodeMs(withAdobe);

    DecodeObserver quiet;
    const QImage decoded = decodeJpegWith(span(plain), quiet, {}).value();
    QImage work;
    const int cores = int(std::thread::hardware_concurrency());
    auto convertMs = [&](int threads) {
        return bench::bestMs(
            kRuns, [&] { convertToSrgb(work, span(adobe), PixelModel::Rgb, "bench", {threads}); },
            [&] { work = decoded.copy(); });
    };
    const double asDecoding = convertMs(0);
    const double oneCore = convertMs(1);
    const double allCores = convertMs(cores);
    cmsHPROFILE from = cmsOpenProfileFromMem(adobe.constData(), cmsUInt32Number(adobe.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM general = cmsCreateTransform(from, TYPE_BGRA_8, to, TYPE_BGRA_8,
                                               INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
    const double lcms = bench::bestMs(
        kRuns,
        [&] {
            for (int y = 0; y < work.height(); ++y)
                cmsDoTransform(general, work.scanLine(y), work.scanLine(y),
                               cmsUInt32Number(work.width()));
        },
        [&] { work = decoded.copy(); });
    cmsDeleteTransform(general);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    const QColorSpace adobeSpace = QColorSpace::fromIccProfile(adobe);
    const double qt = bench::bestMs(
        kRuns, [&] { work.convertToColorSpace(QColorSpace::SRgb); },
        [&] {
            work = decoded.copy();
            work.setColorSpace(adobeSpace);
        });

    std::printf("JPEG %d x %d decode, no profile:        %7.1f ms (reference)\n", kW, kH, decode);
    std::printf("  with an sRGB profile:                 %7.1f ms  %.3fx  (aim <= 1.02x)\n",
                decodeSrgb, decodeSrgb / decode);
    std::printf("  with an Adobe RGB profile, converted: %7.1f ms  %.3fx\n", decodeAdobe,
                decodeAdobe / decode);
    std::printf(
        "conversion alone, as decoding does it:  %7.1f ms  %.3fx of decode  (aim <= 0.3x)\n",
        asDecoding, asDecoding / decode);
    std::printf("conversion alone, table path, 1 thread: %7.1f ms  %.3fx of decode\n", oneCore,
                oneCore / decode);
    std::printf("conversion alone, table path, %d threads:%7.1f ms  %.3fx of decode\n", cores,
                allCores, allCores / decode);
    std::printf("conversion alone, lcms2 general:        %7.1f ms  %.3fx of decode\n", lcms,
                lcms / decode);
    std::printf("conversion alone, QColorSpace:          %7.1f ms  %.3fx of decode\n", qt,
                qt / decode);

    const QImage colours = testColours();
    const QImage exact = exactConversion(colours, adobe);
    QImage viaLcms = colours.copy();
    convertToSrgb(viaLcms, span(adobe), PixelModel::Rgb, "bench", {1}); // the table path
    QImage viaQt = colours.copy();
    viaQt.setColorSpace(adobeSpace);
    viaQt.convertToColorSpace(QColorSpace::SRgb);
    const Fidelity fl = compare(viaLcms, exact), fq = compare(viaQt, exact);
    std::printf("fidelity against an exact transform (levels): table path max %.0f mean %.3f; "
                "QColorSpace max %.0f mean %.3f\n",
                fl.maxDiff, fl.meanDiff, fq.maxDiff, fq.meanDiff);
    return 0;
}
