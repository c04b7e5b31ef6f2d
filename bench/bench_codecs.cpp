// HEIF, AVIF and JPEG XL decode speed on a 12-megapixel photo-like picture, against each
// library's own command-line decoder in the same run:
//   heif-convert to Y4M  - libheif's decode, without the RGB conversion we do
//   avifdec --info       - libavif's decode of every frame, without the RGB conversion
//   djxl, no output      - libjxl's decode to pixels, which it then discards
// The tools are whole processes (start-up and reading the file included), ours is the call
// alone, so a ratio near 1 means the library's time, not ours, is what the viewer waits for.
// The files are written in the set-up by heif-enc, avifenc and cjxl.

#include "imaging/decoders/Avif.h"
#include "imaging/decoders/Heif.h"
#include "imaging/decoders/Jxl.h"

#include "BenchCommon.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace oxlume::imaging;

namespace {

constexpr int kW = 4000, kH = 3000;
constexpr int kRuns = 3;

struct Codec {
    const char *name;
    const char *file;
    std::string encode; // %s: source PNG, %o: the output
    std::string reference;
    oxlume::Result<QImage> (*decode)(Bytes, DecodeObserver &);
};

std::string filled(std::string command, const std::string &in, const std::string &out)
{
    for (auto [key, value] : {std::pair{std::string("%s"), in}, std::pair{std::string("%o"), out}})
        for (size_t at = command.find(key); at != std::string::npos; at = command.find(key))
            command.replace(at, 2, value);
    return command;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    const std::string folder = QDir::toNativeSeparators(dir.path()).toStdString();
    const std::string png = folder + "/source.png";
    if (!bench::noisyGradient(kW, kH, 7).save(QString::fromStdString(png)))
        return 1;
    const Codec codecs[] = {
        {"HEIF", "photo.heic", "heif-enc -q 80 %s -o %o", "heif-convert %s " + folder + "/x.y4m",
         decodeHeif},
        {"AVIF", "photo.avif", "avifenc -j all --min 20 --max 30 %s %o", "avifdec -j all --info %s",
         decodeAvif},
        {"JPEG XL", "photo.jxl", "cjxl %s %o --quiet", "djxl %s", decodeJxl},
    };
    std::printf("%d x %d, best of %d\n", kW, kH, kRuns);
    for (const Codec &c : codecs) {
        const std::string file = folder + "/" + c.file;
        if (std::system((filled(c.encode, png, file) + " >/dev/null 2>&1").c_str()) != 0) {
            std::printf("%-8s skipped: the encoder is not installed\n", c.name);
            continue;
        }
        const auto bytes = bench::readFile(file);
        const Bytes data(reinterpret_cast<const std::byte *>(bytes.data()), bytes.size());
        const double ours = bench::bestMs(kRuns, [&] {
            DecodeObserver quiet;
            if (!c.decode(data, quiet))
                std::abort();
        });
        const double tool = bench::commandBestMs(filled(c.reference, file, ""), kRuns);
        std::printf("%-8s %5.1f MB: ours %7.1f ms, %-12s %7.1f ms, ratio %.2f (aim <= 1.10)\n",
                    c.name, double(bytes.size()) / 1e6, ours,
                    c.reference.substr(0, c.reference.find(' ')).c_str(), tool,
                    tool > 0 ? ours / tool : 0.0);
    }
    return 0;
}
