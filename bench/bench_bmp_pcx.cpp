// BMP and PCX load speed on 6000 x 4000 images (BMP 24-bit and RLE8, PCX 8-bit and 24-bit),
// against references measured in the same run:
//   plain       - a straightforward decoder: read the file, decode into a warm buffer reused
//                 from run to run (as ours reuses its pooled buffers), no checks
//   ImageMagick - `convert file -depth 8 rgba:/dev/null`, best of 3, wall clock around the process
// Our time includes reading the file, as the reference's does.

#include "imaging/decoders/Bmp.h"
#include "imaging/decoders/Pcx.h"

#include "BenchCommon.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace oxlume::imaging;
using bench::readFile;
using bench::writeFile;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kRuns = 7;
using Buf = std::vector<unsigned char>;

void le16(Buf &b, unsigned v)
{
    b.push_back(v & 0xFF), b.push_back((v >> 8) & 0xFF);
}
void le32(Buf &b, uint32_t v)
{
    le16(b, v & 0xFFFF), le16(b, v >> 16);
}

// Photo-like colour: gradients and noise, so runs are short (the worst case for RLE).
void pixelAt(int x, int y, std::mt19937 &rng, unsigned char rgb[3])
{
    const int n = int(rng() % 16);
    rgb[0] = (unsigned char)std::min(255, x * 200 / kW + n);
    rgb[1] = (unsigned char)std::min(255, y * 200 / kH + n);
    rgb[2] = (unsigned char)std::min(255, 128 + (x ^ y) % 64 + n);
}

// Palette index of a drawing-like picture: bands and boxes, runs of a few to hundreds.
unsigned char indexAt(int x, int y)
{
    return (unsigned char)(((x / 37) * 7 + (y / 23) * 13 + ((x ^ y) & 64 ? 1 : 0)) & 0xFF);
}

Buf bmpHeader(int bpp, uint32_t compression, uint32_t bitsSize, int paletteEntries)
{
    Buf b{'B', 'M'};
    const uint32_t off = 14 + 40 + 4 * uint32_t(paletteEntries);
    le32(b, off + bitsSize), le32(b, 0), le32(b, off);
    le32(b, 40), le32(b, kW), le32(b, kH), le16(b, 1), le16(b, unsigned(bpp)), le32(b, compression);
    le32(b, bitsSize), le32(b, 2835), le32(b, 2835), le32(b, uint32_t(paletteEntries)), le32(b, 0);
    for (int i = 0; i < paletteEntries; ++i)
        b.push_back((unsigned char)i), b.push_back((unsigned char)(255 - i)),
            b.push_back((unsigned char)(i * 3)), b.push_back(0);
    return b;
}

Buf makeBmp24()
{
    std::mt19937 rng(1);
    const size_t stride = (size_t(kW) * 3 + 3) & ~size_t(3);
    Buf bits(stride * kH, 0);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            unsigned char c[3];
            pixelAt(x, kH - 1 - y, rng, c);
            unsigned char *p = &bits[size_t(y) * stride + size_t(x) * 3];
            p[0] = c[2], p[1] = c[1], p[2] = c[0];
        }
    Buf f = bmpHeader(24, 0, uint32_t(bits.size()), 0);
    f.insert(f.end(), bits.begin(), bits.end());
    return f;
}

Buf makeBmpRle8()
{
    Buf bits;
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW;) {
            const unsigned char v = indexAt(x, kH - 1 - y);
            int n = 1;
            while (x + n < kW && n < 255 && indexAt(x + n, kH - 1 - y) == v)
                ++n;
            bits.push_back((unsigned char)n), bits.push_back(v);
            x += n;
        }
        bits.push_back(0), bits.push_back(0);
    }
    bits.push_back(0), bits.push_back(1);
    Buf f = bmpHeader(8, 1, uint32_t(bits.size()), 256);
    f.insert(f.end(), bits.begin(), bits.end());
    return f;
}

void pcxRle(Buf &out, const unsigned char *line, int n)
{
    for (int x = 0; x < n;) {
        int run = 1;
        while (x + run < n && run < 63 && line[x + run] == line[x])
            ++run;
        if (run > 1 || (line[x] & 0xC0) == 0xC0)
            out.push_back((unsigned char)(0xC0 | run));
        out.push_back(line[x]);
        x += run;
    }
}

Buf makePcx(int planes)
{
    Buf f(128, 0);
    f[0] = 0x0A, f[1] = 5, f[2] = 1, f[3] = 8;
    f[8] = (kW - 1) & 0xFF, f[9] = (kW - 1) >> 8, f[10] = (kH - 1) & 0xFF, f[11] = (kH - 1) >> 8;
    f[65] = (unsigned char)planes, f[66] = kW & 0xFF, f[67] = kW >> 8, f[68] = 1;
    std::mt19937 rng(2);
    Buf line(size_t(kW) * size_t(planes));
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            if (planes == 1) {
                line[size_t(x)] = indexAt(x, y);
                continue;
            }
            unsigned char c[3];
            pixelAt(x, y, rng, c);
            for (int p = 0; p < 3; ++p)
                line[size_t(p) * kW + size_t(x)] = c[p];
        }
        for (int p = 0; p < planes; ++p)
            pcxRle(f, &line[size_t(p) * kW], kW);
    }
    if (planes == 1) {
        f.push_back(0x0C);
        for (int i = 0; i < 256; ++i)
            f.push_back((unsigned char)i), f.push_back((unsigned char)(255 - i)),
                f.push_back((unsigned char)(i * 3));
    }
    return f;
}

// The straightforward decoders: trust the file, decode into out. The caller keeps out from
// run to run, so the reference pays no page faults for a fresh buffer, as ours does not.
using Pixels = std::vector<uint32_t>;

void plainBmp(const Buf &f, Pixels &out)
{
    uint32_t off, w, h;
    std::memcpy(&off, &f[10], 4), std::memcpy(&w, &f[18], 4), std::memcpy(&h, &f[22], 4);
    const uint16_t bpp = uint16_t(f[28] | f[29] << 8);
    out.resize(size_t(w) * size_t(h));
    uint32_t pal[256];
    for (int i = 0; i < 256; ++i)
        pal[i] = 0xFF000000u | uint32_t(f[size_t(54 + 4 * i + 2)]) << 16 |
                 uint32_t(f[size_t(54 + 4 * i + 1)]) << 8 | f[size_t(54 + 4 * i)];
    const unsigned char *p = &f[off];
    if (bpp == 24) {
        const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
        for (uint32_t y = 0; y < h; ++y) {
            const unsigned char *s = p + size_t(h - 1 - y) * stride;
            uint32_t *d = &out[size_t(y) * size_t(w)];
            for (uint32_t x = 0; x < w; ++x, s += 3)
                d[x] = 0xFF000000u | uint32_t(s[2]) << 16 | uint32_t(s[1]) << 8 | s[0];
        }
        return;
    }
    uint32_t x = 0, y = 0;
    for (;;) {
        const unsigned n = *p++, c = *p++;
        if (n) {
            std::fill_n(&out[size_t(h - 1 - y) * w + x], n, pal[c]);
            x += n;
        } else if (c == 0) {
            x = 0, ++y;
        } else if (c == 1) {
            break;
        } else {
            for (unsigned i = 0; i < c; ++i)
                out[size_t(h - 1 - y) * w + x + i] = pal[p[i]];
            x += c, p += (c + 1) & ~1u;
        }
    }
}

void plainPcx(const Buf &f, Pixels &out)
{
    const int w = (f[8] | f[9] << 8) + 1, h = (f[10] | f[11] << 8) + 1, planes = f[65];
    const int bpl = f[66] | f[67] << 8;
    out.resize(size_t(w) * size_t(h));
    const unsigned char *vga = &f[f.size() - 768];
    Buf line(size_t(bpl) * size_t(planes));
    const unsigned char *p = &f[128];
    for (int y = 0; y < h; ++y) {
        for (size_t i = 0; i < line.size();) {
            const unsigned char b = *p++;
            if ((b & 0xC0) == 0xC0) {
                const size_t n = b & 0x3F;
                std::memset(&line[i], *p++, n);
                i += n;
            } else {
                line[i++] = b;
            }
        }
        uint32_t *d = &out[size_t(y) * size_t(w)];
        for (int x = 0; x < w; ++x) {
            if (planes == 1) {
                const unsigned char *c = vga + 3 * line[size_t(x)];
                d[x] = 0xFF000000u | uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
            } else {
                d[x] = 0xFF000000u | uint32_t(line[size_t(x)]) << 16 |
                       uint32_t(line[size_t(bpl + x)]) << 8 | line[size_t(2 * bpl + x)];
            }
        }
    }
}

void run(const char *name, const std::string &path, const Buf &file, bool pcx)
{
    writeFile(path, file);
    auto ours = [&] {
        const Buf f = readFile(path);
        DecodeObserver observer;
        const Bytes b(reinterpret_cast<const std::byte *>(f.data()), f.size());
        auto img = pcx ? decodePcx(b, observer) : decodeBmp(b, observer);
        if (!img || img->width() != kW)
            std::fprintf(stderr, "%s: decode failed\n", name), std::exit(1);
    };
    Pixels warm;
    auto plain = [&] {
        const Buf f = readFile(path);
        pcx ? plainPcx(f, warm) : plainBmp(f, warm);
        if (warm.size() != size_t(kW) * kH)
            std::exit(1);
    };
    // The reference as it was measured before: a fresh buffer each run, page faults included.
    auto plainFresh = [&] {
        const Buf f = readFile(path);
        Pixels fresh;
        pcx ? plainPcx(f, fresh) : plainBmp(f, fresh);
    };
    ours(), plain(); // warm both: our pool, the reference's buffer
    const double tOurs = bench::medianMs(kRuns, ours), tPlain = bench::medianMs(kRuns, plain);
    const double tFresh = bench::medianMs(kRuns, plainFresh);
    const double tMagick = bench::imageMagickMs(path);
    std::printf(
        "%-14s ours %7.1f ms  plain %7.1f ms  ours/plain %.2f  (fresh-buffer plain %7.1f ms, "
        "ours/that %.2f)",
        name, tOurs, tPlain, tOurs / tPlain, tFresh, tOurs / tFresh);
    if (tMagick > 0)
        std::printf("  ImageMagick %7.1f ms  speed-up %.1fx\n", tMagick, tMagick / tOurs);
    else
        std::printf("  ImageMagick not available\n");
    std::remove(path.c_str());
}

} // namespace

int main()
{
    std::printf("6000 x 4000, median of %d runs; ratio < 1 means ours is faster\n", kRuns);
    run("BMP 24-bit", "/tmp/oxlume_bench_24.bmp", makeBmp24(), false);
    run("BMP RLE8", "/tmp/oxlume_bench_rle8.bmp", makeBmpRle8(), false);
    run("PCX 8-bit", "/tmp/oxlume_bench_8.pcx", makePcx(1), true);
    run("PCX 24-bit", "/tmp/oxlume_bench_24.pcx", makePcx(3), true);
    return 0;
}
