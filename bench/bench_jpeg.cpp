// JPEG load speed on a 6000 x 4000 photo-like image (quality 90, 4:2:0), against references
// measured in the same run:
//   discard  - libjpeg-turbo decoding the file with one reused 16-row buffer (the floor)
//   fresh    - a straightforward decoder: read the file, decode into a new buffer, no checks
//   Qt       - QImageReader
//   ImageMagick / djpeg - the command-line tools, best of 3, wall clock around the process
//   1/4      - the reduced decode a fitted large photo gets, against djpeg -scale 1/4
// Also the peak memory of one load relative to the decoded image.

#include "imaging/ImageBuffer.h"
#include "imaging/decoders/Jpeg.h"

#include "BenchCommon.h"

#include <QImageReader>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

using namespace oxlume::imaging;
using bench::median;
using bench::nowMs;
using bench::writeFile;

namespace {

constexpr int kW = 6000, kH = 4000;
constexpr int kRuns = 9;

// Smooth gradients with a few soft blobs and sensor-like noise: compresses like a photo.
std::vector<unsigned char> makePhoto()
{
    std::vector<unsigned char> rgb(size_t(kW) * kH * 3);
    std::mt19937 rng(42);
    std::normal_distribution<float> noise(0.f, 6.f);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const float fx = float(x) / kW, fy = float(y) / kH;
            const float blob =
                60.f * std::exp(-((fx - 0.3f) * (fx - 0.3f) + (fy - 0.6f) * (fy - 0.6f)) * 20.f);
            const float v[3] = {40.f + 150.f * fx + blob, 60.f + 120.f * fy,
                                180.f - 100.f * fx * fy + blob / 2};
            for (int c = 0; c < 3; ++c)
                rgb[(size_t(y) * size_t(kW) + size_t(x)) * 3 + size_t(c)] =
                    (unsigned char)std::clamp(v[c] + noise(rng), 0.f, 255.f);
        }
    return rgb;
}

std::vector<unsigned char> compress(const std::vector<unsigned char> &rgb, bool progressive = false)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = kW;
    c.image_height = kH;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c); // 4:2:0
    jpeg_set_quality(&c, 90, TRUE);
    if (progressive)
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char *>(&rgb[size_t(c.next_scanline) * kW * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<unsigned char> bytes(out, out + size);
    free(out);
    return bytes;
}

// The whole file with one read() into a buffer reused between loads.
void readFile(const std::string &path, std::vector<unsigned char> &buf)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::lseek(fd, 0, SEEK_SET);
    buf.resize(size_t(size));
    size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = ::read(fd, buf.data() + done, buf.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    ::close(fd);
}

// libjpeg-turbo straight, no checks: rows go to dest (a full buffer) or, when dest is null,
// all into one reused 16-row buffer.
void plainDecode(const std::vector<unsigned char> &file, unsigned char *dest)
{
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, file.data(), file.size());
    jpeg_read_header(&c, TRUE);
    c.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&c);
    const size_t stride = size_t(c.output_width) * 4;
    static std::vector<unsigned char> scratch;
    scratch.resize(stride * 16);
    JSAMPROW rows[16];
    while (c.output_scanline < c.output_height) {
        const size_t y = c.output_scanline;
        for (int i = 0; i < 16; ++i)
            rows[i] = dest ? dest + (y + size_t(i)) * stride : scratch.data() + size_t(i) * stride;
        const JDIMENSION want = std::min<JDIMENSION>(16, c.output_height - c.output_scanline);
        jpeg_read_scanlines(&c, rows, want);
    }
    jpeg_abort_decompress(&c);
    jpeg_destroy_decompress(&c);
}

long statusKb(const char *field)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0)
            kb = std::atol(line + n + 1);
    std::fclose(f);
    return kb;
}

void resetPeak()
{
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (f) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

std::vector<unsigned char> withOrientation6(const std::vector<unsigned char> &jpeg)
{
    const unsigned char app1[] = {0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0,    0,    'I', 'I',
                                  42,   0,    8,    0,    0,   0,   1,   0,   0x12, 0x01, 3,   0,
                                  1,    0,    0,    0,    6,   0,   0,   0,   0,    0,    0,   0};
    std::vector<unsigned char> out(jpeg.size() + sizeof app1);
    std::copy(jpeg.begin(), jpeg.begin() + 2, out.begin());
    std::copy(std::begin(app1), std::end(app1), out.begin() + 2);
    std::copy(jpeg.begin() + 2, jpeg.end(), out.begin() + 2 + sizeof app1);
    return out;
}

} // namespace

int main()
{
    const std::string path = "/tmp/oxlume_bench_6000x4000.jpg";
    const std::string rotated = "/tmp/oxlume_bench_6000x4000_o6.jpg";
    const std::string progressivePath = "/tmp/oxlume_bench_6000x4000_progressive.jpg";
    const std::vector<unsigned char> photo = makePhoto();
    const std::vector<unsigned char> jpeg = compress(photo);
    writeFile(path, jpeg);
    writeFile(progressivePath, compress(photo, true));
    writeFile(rotated, withOrientation6(jpeg));
    std::printf("test image: %s, %d x %d, %.1f MB, quality 90 4:2:0; median of %d runs\n",
                path.c_str(), kW, kH, double(jpeg.size()) / 1e6, kRuns);
    std::printf("huge pages for image buffers: %s\n", imagePoolStats().hugePages ? "yes" : "no");

    std::vector<unsigned char> buf;
    DecodeObserver none;
    auto ourLoad = [&](const std::string &p) {
        readFile(p, buf);
        auto img = decodeJpeg({reinterpret_cast<const std::byte *>(buf.data()), buf.size()}, none);
        if (!img.ok()) {
            std::fprintf(stderr, "decode failed: %s\n", img.error().message.c_str());
            std::exit(1);
        }
    };
    auto ourScaled = [&](const std::string &p) {
        readFile(p, buf);
        JpegOptions options;
        options.scaleDenom = 4;
        auto img = decodeJpegWith({reinterpret_cast<const std::byte *>(buf.data()), buf.size()},
                                  none, options);
        if (!img.ok()) {
            std::fprintf(stderr, "decode failed: %s\n", img.error().message.c_str());
            std::exit(1);
        }
    };
    // Round-robin, so that a busy machine slows every variant alike.
    std::vector<std::function<void()>> variants = {
        [&] {
            readFile(path, buf);
            plainDecode(buf, nullptr);
        },
        [&] {
            readFile(path, buf);
            std::unique_ptr<unsigned char[]> dest(new unsigned char[size_t(kW) * kH * 4]);
            plainDecode(buf, dest.get());
        },
        [&] { ourLoad(path); },
        [&] {
            trimImagePool();
            ourLoad(path);
        },
        [&] { ourLoad(rotated); },
        [&] { QImageReader(QString::fromStdString(path)).read(); },
        [&] { ourScaled(path); },
    };
    std::vector<std::vector<double>> times(variants.size());
    for (auto &v : variants)
        v(); // warm the page cache and the pool
    for (int r = 0; r < kRuns; ++r)
        for (size_t i = 0; i < variants.size(); ++i) {
            const double s = nowMs();
            variants[i]();
            times[i].push_back(nowMs() - s);
        }
    const double discard = median(times[0]), fresh = median(times[1]), ours = median(times[2]),
                 oursNoPool = median(times[3]), oursRotated = median(times[4]),
                 qt = median(times[5]), oursQuarter = median(times[6]);
    const double magick = bench::imageMagickMs(path);
    const double djpeg = bench::commandBestMs("djpeg -outfile /dev/null " + path);
    const double djpegQuarter = bench::commandBestMs("djpeg -scale 1/4 -outfile /dev/null " + path);

    std::printf("\n%-44s %9s %s\n", "", "ms", "ratio to discard");
    auto line = [&](const char *what, double ms) {
        std::printf("%-44s %9.1f %6.2fx\n", what, ms, ms / discard);
    };
    line("libjpeg-turbo, rows discarded (reference)", discard);
    line("straightforward decoder, fresh buffer", fresh);
    line("Oxlume load (read + decode, pooled buffer)", ours);
    line("Oxlume load, pool emptied before each", oursNoPool);
    line("Oxlume load, EXIF orientation 6", oursRotated);
    line("Qt QImageReader", qt);
    if (djpeg > 0)
        line("djpeg to /dev/null (process)", djpeg);
    line("Oxlume load at 1/4 (the fitted first sight)", oursQuarter);
    if (djpegQuarter > 0) {
        line("djpeg -scale 1/4 to /dev/null (process)", djpegQuarter);
        std::printf("Oxlume at 1/4 vs djpeg -scale 1/4: %.2fx its time\n",
                    oursQuarter / djpegQuarter);
    }
    std::printf("\nOxlume vs straightforward decoder: %.2fx its time\n", ours / fresh);
    if (magick > 0)
        std::printf("Oxlume vs ImageMagick (%.1f ms): %.1fx faster\n", magick, magick / ours);
    std::printf("Oxlume vs Qt: %.2fx faster\n", qt / ours);

    // Peak memory of one load from an empty pool, relative to the decoded image.
    const double imageKb = double(kW) * kH * 4 / 1024;
    for (const std::string &p : {path, rotated, progressivePath}) {
        trimImagePool();
        buf.clear();
        buf.shrink_to_fit();
        const long before = statusKb("VmRSS:");
        resetPeak();
        ourLoad(p);
        const long peak = statusKb("VmHWM:");
        std::printf("peak memory of one load of %s: %.1f MB, %.2fx the decoded image (file buffer "
                    "included)\n",
                    p.c_str(), double(peak - before) / 1024, double(peak - before) / imageKb);
    }
    return 0;
}
