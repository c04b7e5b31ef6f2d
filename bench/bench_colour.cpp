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
// Then, per profile kind (matrix RGB, table RGB, table CMYK), the decode of an 8192 x 8192
// JPEG with the profile against the same JPEG without one (for CMYK: the same inks without
// a profile), aim <= 1.3x, with the decode's peak memory against the image's size, aim
// <= 1.1x. With the argument "largest" also at 16384 x 16384, the largest image allowed;
// with "busy" a thread spins on the other processor all along, as another program would,
// and every figure, the references too, is measured beside it.

#include "imaging/ColourProfile.h"
#include "imaging/decoders/Jpeg.h"

#include "../tests/common/IccProfiles.h"
#include "../tests/common/JpegFiles.h"
#include "BenchCommon.h"

#include <QColorSpace>

#include <lcms2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace oxlume::imaging;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kRuns = 5;

using oxlume::test::adobeRgbProfile;
using oxlume::test::saveProfile;

// The pixels' four bytes are taken as C, M, Y, K when cmyk is set.
std::vector<unsigned char> compress(const QImage &image, const QByteArray &profile,
                                    bool cmyk = false)
{
    const QByteArray file = oxlume::test::jpegFile(image, {profile, cmyk});
    return {file.begin(), file.end()};
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

// The same JPEG with a profile in APP2 markers right after SOI, as jpeg_write_icc_profile
// would have written it.
std::vector<unsigned char> withProfile(const std::vector<unsigned char> &jpeg,
                                       const QByteArray &profile)
{
    constexpr qsizetype kChunk = 65519;
    const int count = int((profile.size() + kChunk - 1) / kChunk);
    std::vector<unsigned char> out(jpeg.begin(), jpeg.begin() + 2);
    for (int i = 0; i < count; ++i) {
        const QByteArray part = profile.mid(i * kChunk, kChunk);
        const size_t length = size_t(part.size()) + 16;
        out.insert(out.end(), {0xFF, 0xE2, uchar(length >> 8), uchar(length & 0xFF)});
        out.insert(out.end(), "ICC_PROFILE", "ICC_PROFILE" + 12);
        out.insert(out.end(), {uchar(i + 1), uchar(count)});
        out.insert(out.end(), part.begin(), part.end());
    }
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// Resident memory now, and its peak since the last reset (the kernel's high-water mark).
void resetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}
double statusMiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            double kb = 0;
            status >> kb;
            return kb / 1024.0;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Median decode time of each file, and each decode's peak memory above baselineMiB
// (resident before the first decode of this size: the files, not yet any image). Round-robin,
// so that a machine that gets busier or quieter meanwhile moves every figure alike.
struct Decode {
    std::vector<double> ms;
    double peakMiB = 0;
};
std::vector<Decode> measureDecodes(const std::vector<std::vector<unsigned char>> &files, int runs,
                                   double baselineMiB)
{
    std::vector<Decode> d(files.size());
    for (int run = 0; run < runs; ++run)
        for (size_t i = 0; i < files.size(); ++i) {
            resetPeak();
            const double start = bench::nowMs();
            {
                DecodeObserver quiet;
                auto image = decodeJpeg(span(files[i]), quiet);
                if (!image)
                    std::abort();
                d[i].ms.push_back(bench::nowMs() - start);
            }
            d[i].peakMiB = std::max(d[i].peakMiB, statusMiB("VmHWM:") - baselineMiB);
        }
    return d;
}

void profileKinds(int side)
{
    const int runs = side > 8192 ? 3 : 5;
    std::vector<std::vector<unsigned char>> files(2);
    {
        const QImage picture = bench::noisyGradient(side, side, 7);
        files[0] = compress(picture, {});
        files[1] = compress(picture, {}, true);
    }
    const struct {
        const char *name;
        QByteArray profile;
        bool cmyk;
    } kinds[] = {{"matrix RGB", adobeRgbProfile(), false},
                 {"table RGB", oxlume::test::tableRgbProfile(), false},
                 {"table CMYK", oxlume::test::tableCmykProfile(17), true}};
    for (const auto &kind : kinds)
        files.push_back(withProfile(files[kind.cmyk ? 1 : 0], kind.profile));
    const double imageMiB = double(side) * side * 4 / 1048576.0;
    const std::vector<Decode> d = measureDecodes(files, runs, statusMiB("VmRSS:"));
    const double plain = bench::median(d[0].ms), plainCmyk = bench::median(d[1].ms);
    std::printf("\n%d x %d (JPEG %.0f MB RGB, %.0f MB CMYK; image %.0f MiB)\n", side, side,
                double(files[0].size()) / 1e6, double(files[1].size()) / 1e6, imageMiB);
    std::printf("  no profile, RGB:   %8.1f ms (reference)           peak %6.0f MiB  %.3fx\n",
                plain, d[0].peakMiB, d[0].peakMiB / imageMiB);
    std::printf("  no profile, CMYK:  %8.1f ms (reference for CMYK)  peak %6.0f MiB  %.3fx\n",
                plainCmyk, d[1].peakMiB, d[1].peakMiB / imageMiB);
    for (size_t k = 0; k < std::size(kinds); ++k) {
        const double ms = bench::median(d[k + 2].ms);
        const double reference = kinds[k].cmyk ? plainCmyk : plain;
        std::printf(
            "  %-17s %8.1f ms  %.3fx  (aim <= 1.3x)  peak %6.0f MiB  %.3fx  (aim <= 1.1x)\n",
            (std::string(kinds[k].name) + ":").c_str(), ms, ms / reference, d[k + 2].peakMiB,
            d[k + 2].peakMiB / imageMiB);
    }
}
} // namespace

int main(int argc, char **argv)
{
    const auto given = [&](const char *word) {
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == word)
                return true;
        return false;
    };
    std::atomic<bool> done{false};
    std::thread spinner;
    if (given("busy"))
        spinner = std::thread([&done] {
            volatile uint64_t n = 0;
            while (!done.load(std::memory_order_relaxed))
                n = n + 1;
        });
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
    // Table-based profiles: our grid against lcms2's optimised 8-bit transform, one core.
    const QByteArray tableRgb = oxlume::test::tableRgbProfile();
    const QByteArray tableCmyk = oxlume::test::tableCmykProfile(17);
    const double gridRgb = bench::bestMs(
        kRuns, [&] { convertToSrgb(work, span(tableRgb), PixelModel::Rgb, "bench", {1}); },
        [&] { work = decoded.copy(); });
    const auto cmykGrid = CmykTransform::create(span(tableCmyk), false, "bench");
    const double gridCmyk = bench::bestMs(
        kRuns, [&] { cmykGrid->convertInPlace(work, {1}); }, [&] { work = decoded.copy(); });
    const auto lcmsMs = [&](const QByteArray &profile, cmsUInt32Number format) {
        cmsHPROFILE in =
            cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
        cmsHPROFILE out = cmsCreate_sRGBProfile();
        cmsHTRANSFORM t = cmsCreateTransform(in, format, out, TYPE_BGRA_8, INTENT_PERCEPTUAL, 0);
        const double ms = bench::bestMs(
            kRuns,
            [&] {
                for (int y = 0; y < work.height(); ++y)
                    cmsDoTransform(t, work.scanLine(y), work.scanLine(y),
                                   cmsUInt32Number(work.width()));
            },
            [&] { work = decoded.copy(); });
        cmsDeleteTransform(t);
        cmsCloseProfile(in);
        cmsCloseProfile(out);
        return ms;
    };
    const double lcmsRgb = lcmsMs(tableRgb, TYPE_BGRA_8);
    const double lcmsCmyk = lcmsMs(tableCmyk, TYPE_CMYK_8);
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

    std::printf("table RGB, our grid, 1 thread:          %7.1f ms  %.3fx of decode; lcms2 %.1f ms "
                "%.3fx\n",
                gridRgb, gridRgb / decode, lcmsRgb, lcmsRgb / decode);
    std::printf("table CMYK, our grid, 1 thread:         %7.1f ms  %.3fx of decode; lcms2 %.1f ms "
                "%.3fx\n",
                gridCmyk, gridCmyk / decode, lcmsCmyk, lcmsCmyk / decode);

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

    profileKinds(8192);
    if (given("largest"))
        profileKinds(16384);
    done.store(true);
    if (spinner.joinable())
        spinner.join();
    return 0;
}
