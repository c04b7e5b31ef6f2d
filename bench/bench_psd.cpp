// PSD decode speed: a 6000 x 4000 RGB file with PackBits rows, decoded by our decoder, by a
// straightforward decoder written here (read the file, unpack every plane, interleave; no
// checks) and by ImageMagick's convert. Prints ratios measured in this run.

#include "imaging/decoders/Psd.h"

#include "BenchCommon.h"

#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

using namespace oxlume;
using namespace oxlume::imaging;

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
const char *const kPath = "/tmp/oxlume_bench_psd.psd";

void putBe(std::vector<uint8_t> &out, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(uint8_t(v >> (8 * i)));
}

void packRow(const uint8_t *row, int n, std::vector<uint8_t> &out)
{
    int i = 0;
    while (i < n) {
        int run = 1;
        while (i + run < n && run < 128 && row[i + run] == row[i])
            ++run;
        if (run >= 3) {
            out.push_back(uint8_t(257 - run));
            out.push_back(row[i]);
            i += run;
            continue;
        }
        int lit = 0;
        while (i + lit < n && lit < 128 &&
               !(i + lit + 2 < n && row[i + lit] == row[i + lit + 1] &&
                 row[i + lit] == row[i + lit + 2]))
            ++lit;
        out.push_back(uint8_t(lit - 1));
        out.insert(out.end(), row + i, row + i + lit);
        i += lit;
    }
}

// Photo-like noise on the left half (mostly literals), flat bands on the right (runs).
void writeTestFile()
{
    std::mt19937 rng(7);
    std::vector<uint8_t> counts, data, row(kWidth);
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x)
                row[size_t(x)] = x < kWidth / 2
                                     ? uint8_t(unsigned((x + y * (c + 1)) / 7) + (rng() & 15))
                                     : uint8_t(x / 64 * 9 + y / 50 + c * 40);
            const size_t before = data.size();
            packRow(row.data(), kWidth, data);
            putBe(counts, data.size() - before, 2);
        }
    std::vector<uint8_t> file = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
    putBe(file, 3, 2);
    putBe(file, kHeight, 4);
    putBe(file, kWidth, 4);
    putBe(file, 8, 2);
    putBe(file, 3, 2);
    putBe(file, 0, 4); // colour mode data
    putBe(file, 0, 4); // image resources
    putBe(file, 0, 4); // layers
    putBe(file, 1, 2); // PackBits
    file.insert(file.end(), counts.begin(), counts.end());
    file.insert(file.end(), data.begin(), data.end());
    bench::writeFile(kPath, file);
}

// The straightforward decoder: whole file in, planes unpacked, interleaved into a buffer.
// Both buffers are kept from run to run, so the reference pays no page faults for fresh
// memory, as ours (decoding into the image pool) does not.
void referenceDecodeInto(std::vector<uint8_t> &planes, std::vector<uint32_t> &image)
{
    const std::vector<uint8_t> f = bench::readFile(kPath);
    auto be = [&f](size_t at, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | f[at + size_t(i)];
        return v;
    };
    const size_t channels = be(12, 2), h = be(14, 4), w = be(18, 4);
    size_t at = 26;
    at += 4 + be(at, 4);
    at += 4 + be(at, 4);
    at += 4 + be(at, 4);
    at += 2;
    const size_t table = at;
    size_t src = table + channels * h * 2;
    planes.resize(channels * w * h);
    for (size_t r = 0; r < channels * h; ++r) {
        const size_t end = src + be(table + 2 * r, 2);
        uint8_t *out = planes.data() + r * w;
        while (src < end) {
            const int n = int8_t(f[src++]);
            if (n >= 0) {
                std::memcpy(out, &f[src], size_t(n) + 1);
                out += n + 1;
                src += size_t(n) + 1;
            } else if (n != -128) {
                std::memset(out, f[src++], size_t(1 - n));
                out += 1 - n;
            }
        }
    }
    image.resize(w * h);
    for (size_t i = 0; i < w * h; ++i)
        image[i] = 0xFF000000u | uint32_t(planes[i]) << 16 | uint32_t(planes[w * h + i]) << 8 |
                   planes[2 * w * h + i];
}

std::vector<uint32_t> &referenceDecode()
{
    static std::vector<uint8_t> planes;
    static std::vector<uint32_t> image;
    referenceDecodeInto(planes, image);
    return image;
}

// As the reference was measured before: fresh buffers each run, page faults included.
void referenceDecodeFresh()
{
    std::vector<uint8_t> planes;
    std::vector<uint32_t> image;
    referenceDecodeInto(planes, image);
}

QImage ourDecode()
{
    QFile file(QString::fromUtf8(kPath));
    file.open(QIODevice::ReadOnly);
    const QByteArray data = file.readAll();
    DecodeObserver observer;
    auto image =
        decodePsd(Bytes(reinterpret_cast<const std::byte *>(data.constData()), size_t(data.size())),
                  observer);
    return image.ok() ? image.value() : QImage();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // runs without a display too
    QGuiApplication app(argc, argv);
    writeTestFile();

    const QImage ours = ourDecode();
    const std::vector<uint32_t> ref = referenceDecode();
    if (ours.isNull() || std::memcmp(ours.constBits(), ref.data(), ref.size() * 4) != 0) {
        std::printf("ours and the reference decoder disagree\n");
        return 1;
    }
    (void)ourDecode(); // both warm before timing
    const double oursMs = bench::bestMs(5, [] { (void)ourDecode(); });
    const double refMs = bench::bestMs(5, [] { (void)referenceDecode(); });
    const double freshMs = bench::bestMs(5, [] { referenceDecodeFresh(); });
    std::printf(
        "PSD RGB RLE %dx%d: ours %.1f ms, straightforward %.1f ms, ratio ours/straightforward %.2f"
        " (fresh-buffer straightforward %.1f ms, ours/that %.2f)\n",
        kWidth, kHeight, oursMs, refMs, oursMs / refMs, freshMs, oursMs / freshMs);

    const double magickMs = bench::imageMagickMs(kPath);
    if (magickMs > 0)
        std::printf("ImageMagick convert %.1f ms: ours is %.1fx faster\n", magickMs,
                    magickMs / oursMs);
    else
        std::printf("ImageMagick not available\n");
    QFile::remove(QString::fromUtf8(kPath));
    return 0;
}
