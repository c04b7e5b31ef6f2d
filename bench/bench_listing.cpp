// Listing a large folder: the main window's OpenFolder end to end (enumeration, filter,
// entries, collation sort, model reset) against a plain readdir loop with one
// case-insensitive std::sort of the same names, measured in the same run.
//
//   bench_listing [files] [folders]     (defaults 100000 and 2000; the tree is made in /tmp
//   and removed at the end unless OXLUME_BENCH_KEEP is set)

#include "settings/OptionsUnit.h"
#include "shell/PIDLFunctions.h"
#include "viewer/FileList.h"
#include "viewer/MainForm.h"

#include "BenchCommon.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <strings.h>

namespace fs = std::filesystem;

namespace {

void makeTree(const fs::path &root, int files, int folders)
{
    const fs::path marker = root / ".complete";
    char count[32];
    std::snprintf(count, sizeof count, "%d %d", files, folders);
    if (std::string line; std::getline(std::ifstream(marker), line) && line == count)
        return; // kept from an earlier run (OXLUME_BENCH_KEEP)
    fs::remove_all(root);
    fs::create_directories(root);
    static const char *const kPatterns[] = {"IMG_%06d.jpg", "Photo %d.JPG", "scan-%d.pcx",
                                            "layer_%d.psd", "notes%d.txt",  "clip %d.wmf",
                                            "shot%d.png",   "frame%d.bmp"};
    char name[64];
    for (int k = 0; k < files; ++k) {
        // Spread the numbers so that the names do not arrive in order.
        std::snprintf(name, sizeof name, kPatterns[k % 8], (k * 7919) % 1000003);
        std::ofstream(root / name);
    }
    for (int k = 0; k < folders; ++k) {
        std::snprintf(name, sizeof name, "Folder %d", (k * 104729) % 100003);
        fs::create_directory(root / name);
    }
    std::ofstream(marker) << count << '\n';
}

std::size_t plainListing(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    while (const dirent *entry = readdir(dir))
        names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    });
    return names.size();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int folders = argc > 2 ? std::atoi(argv[2]) : 2000;
    const fs::path root = fs::temp_directory_path() / "oxlume-bench-listing";
    std::printf("making %d files and %d folders in %s\n", files, folders, root.c_str());
    makeTree(root, files, folders);

    QApplication app(argc, argv);
    using namespace oxlume;
    Options = TOptions();
    Options.UseWorkThread = false;
    Options.StartDirectory = TStartDirectory::Custom;
    Options.CustomDirectory = root.string();
    TfrmMain window(Options, std::string());
    window.show(); // the first listing warms the caches
    std::printf("listed %d entries, %d images\n", window.files().count(), window.ImageCount());

    constexpr int kRuns = 7;
    const double reference = bench::medianMs(kRuns, [&] { plainListing(root.string()); });
    const double openFolder = bench::medianMs(
        kRuns, [&] { window.OpenFolder(PIDL(), root.string(), true, std::string()); });

    // Where the time goes: the enumeration alone and the sort alone.
    const double enumeration = bench::medianMs(kRuns, [&] {
        TPIDLFileFind record;
        if (PIDLFindFirst(FolderPathToPIDL(root.string()), 0xE0, record) != 0)
            return;
        while (PIDLFindNext(record)) {
        }
        PIDLFindClose(record);
    });
    std::vector<FileEntry> entries = window.files().entries();
    const QCollator collator = EntryCollator();
    const double sort = bench::medianMs(kRuns, [&] {
        std::vector<FileEntry> copy = entries;
        std::reverse(copy.begin(), copy.end());
        SortEntries(copy, collator);
    });

    std::printf("reference (readdir + strcasecmp sort): %8.1f ms\n", reference);
    std::printf("OpenFolder, Common Image Files:        %8.1f ms  ratio %.2f (target <= 2.5)\n",
                openFolder, openFolder / reference);
    std::printf("  enumeration alone:                   %8.1f ms  ratio %.2f\n", enumeration,
                enumeration / reference);
    std::printf("  collation sort of the entries alone: %8.1f ms  ratio %.2f\n", sort,
                sort / reference);
    window.prepareForExit();
    if (qEnvironmentVariableIsEmpty("OXLUME_BENCH_KEEP"))
        fs::remove_all(root);
    std::fflush(nullptr);
    std::_Exit(0);
}
