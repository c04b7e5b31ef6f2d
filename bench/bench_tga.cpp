// TGA decode speed on 6000 x 4000 24-bit images, raw and run-length encoded, against a
// straightforward decoder in the same run: no checks beyond the data's end, writing into a
// buffer allocated once and reused (warm), as a lower bound of what decoding must cost.

#include "imaging/decoders/Tga.h"

#include "BenchCommon.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace oxlume::imaging;
using Buf = std::vector<unsigned char>;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kRuns = 5;

Buf header(int type)
{
    Buf b(18, 0);
    b[2] = uint8_t(type);
    b[12] = kW & 0xFF, b[13] = kW >> 8, b[14] = kH & 0xFF, b[15] = kH >> 8;
    b[16] = 24;
    b[17] = 0x20; // top-left
    return b;
}

// Photo-like rows (gradient and noise) with a flat band, so RLE has both literals and runs.
Buf pixels()
{
    const QImage image = bench::noisyGradient(kW, kH, 3);
    Buf out;
    out.reserve(size_t(kW) * kH * 3);
    for (int y = 0; y < kH; ++y) {
        const auto *row = reinterpret_cast<const uint32_t *>(image.constScanLine(y));
        for (int x = 0; x < kW; ++x) {
            const uint32_t p = (y / 100) % 3 == 0 ? 0xFF336699u : row[x];
            out.push_back(uint8_t(p)), out.push_back(uint8_t(p >> 8)),
                out.push_back(uint8_t(p >> 16));
        }
    }
    return out;
}

Buf rle(const Buf &raw)
{
    Buf out;
    const size_t n = raw.size() / 3;
    auto same = [&](size_t a, size_t b) { return std::memcmp(&raw[a * 3], &raw[b * 3], 3) == 0; };
    for (size_t i = 0; i < n;) {
        const size_t rowEnd = (i / kW + 1) * kW;
        size_t run = 1;
        while (i + run < rowEnd && run < 128 && same(i, i + run))
            ++run;
        if (run > 1) {
            out.push_back(uint8_t(0x80 | (run - 1)));
            out.insert(out.end(), &raw[i * 3], &raw[i * 3 + 3]);
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < rowEnd && lit < 128 &&
               !(i + lit + 1 < rowEnd && same(i + lit, i + lit + 1)))
            ++lit;
        out.push_back(uint8_t(lit - 1));
        out.insert(out.end(), &raw[i * 3], &raw[(i + lit) * 3]);
        i += lit;
    }
    return out;
}

// The straightforward decoders: one loop over the pixels, a bounds check per packet.
void plainRaw(const Buf &file, uint32_t *out)
{
    const unsigned char *p = file.data() + 18;
    for (size_t i = 0, n = size_t(kW) * kH; i < n; ++i, p += 3)
        out[i] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

void plainRle(const Buf &file, uint32_t *out)
{
    size_t at = 18, i = 0;
    const size_t n = size_t(kW) * kH;
    while (i < n && at < file.size()) {
        const unsigned h = file[at++];
        const size_t count = std::min<size_t>((h & 0x7F) + 1, n - i);
        if (h & 0x80) {
            const unsigned char *p = &file[at];
            const uint32_t v = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
            for (size_t k = 0; k < count; ++k)
                out[i++] = v;
            at += 3;
        } else {
            for (size_t k = 0; k < count; ++k, at += 3)
                out[i++] = 0xFF000000u | uint32_t(file[at + 2]) << 16 |
                           uint32_t(file[at + 1]) << 8 | file[at];
        }
    }
}

void report(const char *name, const Buf &file, void (*plain)(const Buf &, uint32_t *))
{
    std::vector<uint32_t> warm(size_t(kW) * kH, 1);
    const double reference = bench::bestMs(kRuns, [&] { plain(file, warm.data()); });
    const double ours = bench::bestMs(kRuns, [&] {
        DecodeObserver quiet;
        const auto image =
            decodeTga({reinterpret_cast<const std::byte *>(file.data()), file.size()}, quiet);
        if (!image || image->pixel(0, 0) != warm[0])
            std::abort();
    });
    std::printf(
        "%-22s %6.1f MB: ours %7.1f ms, straightforward %7.1f ms, ratio %.2f (aim <= 1.00)\n", name,
        double(file.size()) / 1e6, ours, reference, ours / reference);
}

} // namespace

int main()
{
    const Buf raw = pixels();
    Buf rawFile = header(2), rleFile = header(10);
    rawFile.insert(rawFile.end(), raw.begin(), raw.end());
    const Buf packed = rle(raw);
    rleFile.insert(rleFile.end(), packed.begin(), packed.end());
    std::printf("TGA %d x %d, 24-bit, best of %d\n", kW, kH, kRuns);
    report("raw (type 2)", rawFile, plainRaw);
    report("run-length (type 10)", rleFile, plainRle);
    return 0;
}
