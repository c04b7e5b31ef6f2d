// The settings store: what closing the window costs (SaveOptions), installing and removing
// the associations, and reading a hive at the size limit; each against a reference measured
// in the same run.
//
//   bench_settings [runs] [hive MB]     (defaults 9 and 16; files go to a temporary folder
//   below $TMPDIR or /tmp, which should be on a real disk so that fsync costs what it costs)

#include "associations/FileAssociations.h"
#include "platform/RegFile.h"
#include "platform/Registry.h"
#include "settings/OptionsUnit.h"

#include "BenchCommon.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The whole file in one read, as the registry reads a hive.
std::string readAll(const std::string &path)
{
    std::string bytes(fs::file_size(path), '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    bytes.resize(n > 0 ? std::size_t(n) : 0);
    return bytes;
}

// One atomic replacement of a file, the way any careful program saves: temporary file,
// write, fsync, rename, fsync of the folder.
void atomicSave(const std::string &path, const std::string &bytes)
{
    std::string tmp = path + ".ref-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        std::perror("reference save");
        std::exit(1);
    }
    const int dir = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    ::fsync(dir);
    ::close(dir);
}

// Flips every saved field, so that each save really has every value to write.
void changeOptions(int round)
{
    const bool on = round % 2 != 0;
    using oxlume::Options;
    Options.UseWorkThread = on;
    Options.FileAssociations = on;
    Options.SlideStopOnMouse = on;
    Options.SlideFullScreen = on;
    Options.SlideShowLoop = on;
    Options.ShowControls = on;
    Options.ShowButtons = !on;
    Options.SlideShowSpeed = 100 + round % 25;
    Options.StartDirectory = static_cast<oxlume::TStartDirectory>(round % 4);
    Options.SlideMethod = static_cast<oxlume::TSlideMethod>(round % 3);
    Options.CustomDirectory = "/custom/" + std::to_string(round);
}

void benchSaves(const fs::path &home, int runs)
{
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    oxlume::LoadOptions();
    int round = 0;
    (void)oxlume::SaveOptions("/start");
    const std::string hive = oxlume::RegistryHivePath(oxlume::HKEY_CURRENT_USER);

    const double save = bench::medianMs(runs, [&] {
        changeOptions(++round);
        (void)oxlume::SaveOptions("/last/" + std::to_string(round));
    });
    const std::string bytes = readAll(hive);
    const std::string copy = (home / "reference.reg").string();
    const double reference = bench::medianMs(runs, [&] { atomicSave(copy, bytes); });
    std::printf("SaveOptions: %.2f ms; one atomic save of the same %zu-byte hive: %.2f ms;"
                " ratio %.2f (wanted <= 2)\n",
                save, bytes.size(), reference, save / reference);

    std::vector<double> install, remove;
    for (int i = 0; i < runs; ++i) {
        double start = bench::nowMs();
        oxlume::InstallAssociations("/opt/oxlume/bin/oxlume");
        install.push_back(bench::nowMs() - start);
        start = bench::nowMs();
        oxlume::RemoveAssociations();
        remove.push_back(bench::nowMs() - start);
    }
    std::printf("InstallAssociations: %.2f ms; RemoveAssociations: %.2f ms\n",
                bench::median(install), bench::median(remove));
}

// A hive of about `megabytes` MB in the shapes that made reading slow: many sibling keys,
// one key with many values, and long hex lists.
std::string bigHive(double megabytes)
{
    const std::size_t target = std::size_t(megabytes * 1024 * 1024) - 4096;
    std::string text = "REGEDIT4\n\n";
    char line[160];
    for (int k = 0; text.size() < target * 4 / 10; ++k) {
        std::snprintf(line, sizeof line,
                      "[HKEY_CURRENT_USER\\Software\\Siblings\\Key %07d]\n\"V\"=dword:%08x\n\n",
                      (k * 7919) % 10000019, k);
        text += line;
    }
    text += "[HKEY_CURRENT_USER\\Software\\Many]\n";
    for (int v = 0; text.size() < target * 8 / 10; ++v) {
        std::snprintf(line, sizeof line, "\"Value %07d\"=\"some text for %d\"\n",
                      (v * 104729) % 10000019, v);
        text += line;
    }
    for (int k = 0; text.size() < target; ++k) {
        std::snprintf(line, sizeof line,
                      "\n[HKEY_CURRENT_USER\\Software\\Blobs\\B%d]\n\"Data\"=hex:", k);
        text += line;
        for (int b = 0; b < 20000; ++b)
            text += (b % 25 == 24) ? "5a,\\\n  " : "5a,";
        text += "00\n";
    }
    return text;
}

// Best CPU time of the calling thread over `runs` calls, in ms: steadier than wall time
// on a machine that other jobs share, and fair to both sides of a ratio.
double bestCpuMs(int runs, const std::function<void()> &work)
{
    auto cpuMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
    };
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double start = cpuMs();
        work();
        best = std::min(best, cpuMs() - start);
    }
    return best;
}

void benchParse(const fs::path &home, double megabytes, int runs)
{
    const std::string path = (home / "big.reg").string();
    {
        const std::string text = bigHive(megabytes);
        std::FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::size_t lineCount = 0;
    const double reference = bestCpuMs(runs, [&] {
        const std::string text = readAll(path);
        std::vector<std::string> lines;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                end = text.size();
            lines.emplace_back(text, pos, end - pos);
            pos = end + 1;
        }
        lineCount = lines.size();
    });
    bool ok = false;
    const double parse = bestCpuMs(runs, [&] {
        const std::string text = readAll(path);
        ok = oxlume::reg::parseRegFile(text, "HKEY_CURRENT_USER").ok();
    });
    std::printf("reading a %.1f MB hive of %zu lines: %.1f ms; reading and splitting its lines:"
                " %.1f ms (CPU time); ratio %.2f (wanted <= 2)%s\n",
                double(fs::file_size(path)) / 1048576.0, lineCount, parse, reference,
                parse / reference, ok ? "" : " PARSE FAILED");
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
    const double megabytes = argc > 2 ? std::atof(argv[2]) : 16.0;
    const char *tmp = std::getenv("TMPDIR");
    const fs::path home = fs::path(tmp && *tmp ? tmp : "/tmp") /
                          ("oxlume-bench-settings-" + std::to_string(::getpid()));
    fs::create_directories(home);
    benchSaves(home, runs);
    benchParse(home, megabytes, 5);
    fs::remove_all(home);
    return 0;
}
