// Transforms on a 24 MP image, as ratios against one memcpy of the image in the same run.
// Targets: brightness + contrast in one pass within 3x, each flip within 2x, a quarter
// rotation within 4x.

#include "imaging/Transforms.h"

#include <QImage>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace oxlume::imaging;

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kRuns = 5;

double bestSeconds(const std::function<void()> &prepare, const std::function<void()> &work)
{
    double best = 1e9;
    for (int i = 0; i < kRuns; ++i) {
        prepare();
        const auto t0 = std::chrono::steady_clock::now();
        work();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

QImage photo()
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    uint32_t state = 12345;
    for (int y = 0; y < kHeight; ++y) {
        auto *row = reinterpret_cast<uint32_t *>(image.scanLine(y));
        for (int x = 0; x < kWidth; ++x) {
            state = state * 1664525u + 1013904223u;
            row[x] = 0xff000000u | ((uint32_t(x * 255 / kWidth)) << 16) |
                     ((uint32_t(y * 255 / kHeight)) << 8) | (state >> 24);
        }
    }
    return image;
}

} // namespace

int main()
{
    const QImage source = photo();
    const size_t bytes = size_t(source.sizeInBytes());
    std::vector<unsigned char> copyTarget(bytes, 1); // touched: no page faults in the reference
    const double memcpySec = bestSeconds([] {}, [&] { std::memcpy(copyTarget.data(), source.constBits(), bytes); });
    std::printf("reference: memcpy of %d x %d RGB32 (%.0f MB): %.2f ms\n", kWidth, kHeight,
                double(bytes) / 1e6, memcpySec * 1e3);

    QImage image;
    QImage other;
    struct Case {
        const char *name;
        bool shared; // another holder keeps the pixels: the transform writes a new buffer
        std::function<void()> work;
        double target;
    };
    const std::vector<Case> cases = {
        {"brightness+contrast (one table pass)", false, [&] { ApplyBrightnessContrast(image, 390, -140); }, 3},
        {"brightness+contrast, pixels shared", true, [&] { ApplyBrightnessContrast(image, 390, -140); }, 3},
        {"flip top-bottom", false, [&] { FlipTopBottom(image); }, 2},
        {"flip top-bottom, pixels shared", true, [&] { FlipTopBottom(image); }, 2},
        {"flip left-right", false, [&] { FlipLeftRight(image); }, 2},
        {"flip left-right, pixels shared", true, [&] { FlipLeftRight(image); }, 2},
        {"rotate 90", false, [&] { RotateImage(image, 90); }, 4},
        {"rotate 180", false, [&] { RotateImage(image, 180); }, 4},
        {"rotate 270", false, [&] { RotateImage(image, 270); }, 4},
    };
    bool allMet = true;
    for (const Case &c : cases) {
        const double sec = bestSeconds(
            [&] {
                image = source.copy();
                other = c.shared ? image : QImage();
            },
            c.work);
        const double ratio = sec / memcpySec;
        allMet = allMet && ratio <= c.target;
        std::printf("%-40s %8.2f ms  %5.2fx memcpy  (target %.0fx) %s\n", c.name, sec * 1e3, ratio,
                    c.target, ratio <= c.target ? "ok" : "MISSED");
    }
    return allMet ? 0 : 1;
}
