// Transforms on a 24 MP image, as ratios against one memcpy of the image in the same run.
// Targets: brightness + contrast in one pass within 3x, each flip within 2x, a quarter
// rotation within 4x. The memcpy is timed again right before each case, so that a machine
// whose load changes during the run still gives fair ratios.

#include "imaging/ImageBuffer.h"
#include "imaging/Transforms.h"

#include "BenchCommon.h"

#include <QImage>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace oxlume::imaging;

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kRuns = 5;

} // namespace

int main()
{
    const QImage source = bench::noisyGradient(kWidth, kHeight, 12345);
    bench::memcpyReferenceMs(source, kRuns);

    QImage image;
    QImage other;
    const ToneTable tone = brightnessContrastTable(390, -140);
    struct Case {
        const char *name;
        bool shared; // another holder keeps the pixels: the transform writes a new buffer
        std::function<void()> work;
        double target;
    };
    const std::vector<Case> cases = {
        {"brightness+contrast (one table pass)", false,
         [&] { ApplyBrightnessContrast(image, 390, -140); }, 3},
        {"brightness+contrast, pixels shared", true,
         [&] { ApplyBrightnessContrast(image, 390, -140); }, 3},
        {"flip top-bottom", false, [&] { FlipTopBottom(image); }, 2},
        {"flip top-bottom, pixels shared", true, [&] { FlipTopBottom(image); }, 2},
        {"flip left-right", false, [&] { FlipLeftRight(image); }, 2},
        {"flip left-right, pixels shared", true, [&] { FlipLeftRight(image); }, 2},
        {"rotate 90", false, [&] { RotateImage(image, 90); }, 4},
        {"rotate 180", false, [&] { RotateImage(image, 180); }, 4},
        {"rotate 270", false, [&] { RotateImage(image, 270); }, 4},
        // The image controls' rebuild as the control applies it: one pass into one buffer.
        {"flip + rotate 90, one pass", true,
         [&] {
             applyOrientationAndTone(
                 image, Orientation::flipLeftRight().then(Orientation::rotation(90)), nullptr);
         },
         4},
        {"tone + flip + rotate 90, one pass", true,
         [&] {
             applyOrientationAndTone(
                 image, Orientation::flipLeftRight().then(Orientation::rotation(90)), &tone);
         },
         4},
        {"tone + flip top-bottom, one pass", true,
         [&] { applyOrientationAndTone(image, Orientation::flipTopBottom(), &tone); }, 3},
    };
    bool allMet = true;
    std::vector<unsigned char> target(size_t(source.sizeInBytes()), 1);
    for (const Case &c : cases) {
        const double refMs = bench::bestMs(
            kRuns, [&] { std::memcpy(target.data(), source.constBits(), target.size()); });
        const double ms = bench::bestMs(kRuns, c.work, [&] {
            image = bench::pooledCopy(source);
            other = c.shared ? image : QImage();
        });
        const double ratio = ms / refMs;
        allMet = allMet && ratio <= c.target;
        std::printf("%-40s %8.2f ms  %5.2fx memcpy  (target %.0fx) %s\n", c.name, ms, ratio,
                    c.target, ratio <= c.target ? "ok" : "MISSED");
    }
    return allMet ? 0 : 1;
}
