// Launch to first sight: how long a user waits from launching a viewer on a photo until it
// is on screen, and until the final, smoothly reduced frame is; oxlume against feh and
// nsxiv on the same files in the same run.
//
//   bench_startup <path to the oxlume binary> [runs] [another oxlume build]
//   OXLUME_BENCH_PHOTOS=jpeg24,png24 bench_startup ...   only these photos
//   OXLUME_BENCH_LOAD=quiet (or busy)                      only one of the two loads
//
// Photos, made here: a 6000 x 4000 (24 MP), 3000 x 2000 (6 MP) and 12000 x 8000 (96 MP)
// JPEG through cjpeg (baseline, quality 90, as a camera writes them) and a 24 MP PNG.
// Starts its own virtual display (Xvfb) with a window manager (openbox) and, for each photo,
// times `runs` (at least 7) launches of each program, alternated program by program:
//   oxlume    `oxlume -newinst photo` with fresh XDG folders
//   feh       `feh --scale-down photo`
//   nsxiv     `nsxiv photo`
//   before    another build of oxlume when one is named (an earlier commit, say)
// all in the same 1200 x 900 window at the top left corner, and the floor: libjpeg-turbo's
// own scaled decode of the file (djpeg -scale 1/4 to /dev/null) and this program re-run as
// a bare Qt application that shows an empty window and exits after its first paint.
// Each set runs twice: on the machine as it is ("quiet") and with a spinning process pinned
// to the other core ("busy"); the load average is printed with each.
//
// The same screen poller for all: it reads back a 40 x 40 patch in the middle of where each
// program shows the photo (found once per program and photo by an untimed launch).
// "First sight": the patch's mean colour is the photo's middle. "Final frame": besides, the
// patch's pixel-to-pixel roughness is that of a smooth reduction of the decoded photo to the
// size shown. The photo carries pixel noise and a noise in blocks of about one screen pixel:
// a nearest-neighbour frame keeps the pixel noise (too rough), a frame reduced further and
// enlarged loses the blocks (too smooth); the limits lie half-way to each, and each
// program's settled frame is checked against them before timing.
// Last, memory: resident peak (VmHWM) and resident size (VmRSS) of each program a second
// after its final frame of each photo.

#include "BenchCommon.h"

#include <QApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kWinW = 1200, kWinH = 900;
constexpr int kMinRuns = 7;
constexpr double kTimeoutMs = 30000;
constexpr int kPatch = 40;

struct Photo {
    std::string key; // as in OXLUME_BENCH_PHOTOS
    std::string label;
    int w, h;
    bool png;
    std::string path;
};

// Red follows x and green y; blue is a constant 72. On all three, the same noise: +-10 per
// pixel and +-16 per block of `block` pixels a side. The middle of the picture is a mid
// grey-green that neither a black screen nor a window background can be mistaken for.
QImage photoLike(int w, int h, int block)
{
    QImage image(w, h, QImage::Format_RGB888);
    std::mt19937 random(7);
    const int blocksAcross = (w + block - 1) / block;
    std::vector<int> blockNoise(static_cast<size_t>(blocksAcross));
    for (int y = 0; y < h; ++y) {
        if (y % block == 0)
            for (int &n : blockNoise)
                n = int(random() % 33) - 16;
        uchar *row = image.scanLine(y);
        const int green = int(int64_t(y) * 255 / h);
        for (int x = 0; x < w; ++x, row += 3) {
            const int n = int(random() % 21) - 10 + blockNoise[size_t(x / block)];
            row[0] = uchar(std::clamp(int(int64_t(x) * 255 / w) + n, 0, 255));
            row[1] = uchar(std::clamp(green + n, 0, 255));
            row[2] = uchar(std::clamp(72 + n, 0, 255));
        }
    }
    return image;
}

// Blue runs 36..108 all over the photo; window backgrounds, text and black are outside
// that band, or grey.
bool isPhotoLike(QRgb p)
{
    const bool grey = std::abs(qRed(p) - qBlue(p)) < 8 && std::abs(qGreen(p) - qBlue(p)) < 8;
    return qBlue(p) >= 36 && qBlue(p) <= 108 && !grey;
}

// What the poller reads from a patch: the mean colour and the mean step between
// neighbouring pixels of the blue channel (which carries no gradient).
struct PatchLook {
    double red = 0, green = 0, blue = 0, roughness = 0;
};

PatchLook look(const QImage &patch)
{
    PatchLook l;
    if (patch.width() < 2 || patch.height() < 2)
        return l;
    double steps = 0;
    int stepCount = 0;
    for (int y = 0; y < patch.height(); ++y)
        for (int x = 0; x < patch.width(); ++x) {
            const QRgb p = patch.pixel(x, y);
            l.red += qRed(p), l.green += qGreen(p), l.blue += qBlue(p);
            if (x + 1 < patch.width())
                steps += std::abs(qBlue(patch.pixel(x + 1, y)) - qBlue(p)), ++stepCount;
            if (y + 1 < patch.height())
                steps += std::abs(qBlue(patch.pixel(x, y + 1)) - qBlue(p)), ++stepCount;
        }
    const double n = double(patch.width()) * patch.height();
    l.red /= n, l.green /= n, l.blue /= n;
    l.roughness = steps / stepCount;
    return l;
}

bool isPhotoMiddle(const PatchLook &l)
{
    return std::abs(l.red - 127) <= 24 && std::abs(l.green - 127) <= 24 &&
           std::abs(l.blue - 72) <= 24;
}

// The roughness limits of a final frame for one program and photo.
struct Limits {
    double low = 0, high = -1; // high < low: no check possible
    bool final(const PatchLook &l) const
    {
        return isPhotoMiddle(l) && l.roughness >= low && l.roughness <= high;
    }
};

QImage middlePatch(const QImage &image)
{
    return image.copy(image.width() / 2 - kPatch / 2, image.height() / 2 - kPatch / 2, kPatch,
                      kPatch);
}

// Limits half-way between a smooth reduction of the decoded photo to the size shown and a
// nearest-neighbour one (above) or one reduced to a quarter of that and enlarged (below).
Limits limitsFor(const QImage &decoded, QSize shown, double *smooth, double *nearest,
                 double *blurred)
{
    const QImage s = decoded.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage n = decoded.scaled(shown, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const QImage b = decoded.scaled(shown / 4, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                         .scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    *smooth = look(middlePatch(s)).roughness;
    *nearest = look(middlePatch(n)).roughness;
    *blurred = look(middlePatch(b)).roughness;
    return {(*smooth + *blurred) / 2, (*smooth + *nearest) / 2};
}

struct Child {
    pid_t pid = -1;
};

// Starts argv with the current environment plus `extra`; stdout and stderr go to /dev/null.
Child spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!extra.count(entry.substr(0, entry.find('='))))
            env.push_back(entry);
    }
    for (const auto &[name, value] : extra)
        env.push_back(name + "=" + value);
    std::vector<char *> envp, args;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string &a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Child child;
    if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

void stop(Child &child)
{
    if (child.pid <= 0)
        return;
    kill(child.pid, SIGTERM);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
}

QImage screenArea(int x = 0, int y = 0, int w = -1, int h = -1)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, x, y, w, h).toImage();
}

PatchLook patchAt(QPoint middle)
{
    return look(screenArea(middle.x() - kPatch / 2, middle.y() - kPatch / 2, kPatch, kPatch));
}

// The rows and columns of the screen that are mostly photo; empty when none are.
QRect photoBox(const QImage &shot)
{
    int top = -1, bottom = -1, left = -1, right = -1;
    std::vector<int> columns(size_t(shot.width()), 0);
    for (int y = 0; y < shot.height(); ++y) {
        int inRow = 0;
        for (int x = 0; x < shot.width(); ++x)
            if (isPhotoLike(shot.pixel(x, y)))
                ++inRow, ++columns[size_t(x)];
        if (inRow > 50) {
            top = top < 0 ? y : top;
            bottom = y;
        }
    }
    for (int x = 0; x < shot.width(); ++x)
        if (columns[size_t(x)] > 50) {
            left = left < 0 ? x : left;
            right = x;
        }
    if (top < 0 || left < 0)
        return {};
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

void waitUntilGone(QPoint middle)
{
    const double cleared = bench::nowMs();
    while (isPhotoMiddle(patchAt(middle)) && bench::nowMs() - cleared < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

struct Launch {
    double firstMs = -1, finalMs = -1; // -1: not seen within the time-out
};

// One timed launch. Every poll does the same work (one patch read back, then 1 ms of
// sleep), so all programs share the machine with the same amount of measuring.
Launch timeLaunch(const std::vector<std::string> &argv,
                  const std::map<std::string, std::string> &env, QPoint middle,
                  const Limits &limits)
{
    Launch result;
    const double start = bench::nowMs();
    Child child = spawn(argv, env);
    if (child.pid < 0)
        return result;
    while (bench::nowMs() - start < kTimeoutMs) {
        const PatchLook l = patchAt(middle);
        const double now = bench::nowMs() - start;
        if (result.firstMs < 0 && isPhotoMiddle(l))
            result.firstMs = now;
        if (limits.final(l)) {
            result.finalMs = now;
            break;
        }
        if (waitpid(child.pid, nullptr, WNOHANG) == child.pid) {
            child.pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop(child);
    waitUntilGone(middle);
    return result;
}

// Launch to exit, for the floor's two parts.
double timeToExit(const std::vector<std::string> &argv,
                  const std::map<std::string, std::string> &env)
{
    const double start = bench::nowMs();
    Child child = spawn(argv, env);
    int status = 0;
    if (child.pid < 0 || waitpid(child.pid, &status, 0) != child.pid)
        return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? bench::nowMs() - start : -1;
}

// Launches argv untimed and waits until a photo shows and stays put; returns where.
QRect locatePhoto(const std::vector<std::string> &argv,
                  const std::map<std::string, std::string> &env, PatchLook *settled)
{
    Child child = spawn(argv, env);
    QRect found;
    const double start = bench::nowMs();
    while (child.pid > 0 && bench::nowMs() - start < kTimeoutMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        const QRect box = photoBox(screenArea());
        if (!box.isEmpty() && box == found)
            break;
        found = box;
    }
    if (!found.isEmpty())
        *settled = patchAt(found.center());
    stop(child);
    if (!found.isEmpty())
        waitUntilGone(found.center());
    return found;
}

// Resident peak and size in MB of a program a second after its final frame.
std::pair<double, double> residentMb(const std::vector<std::string> &argv,
                                     const std::map<std::string, std::string> &env, QPoint middle,
                                     const Limits &limits)
{
    Child child = spawn(argv, env);
    const double start = bench::nowMs();
    while (child.pid > 0 && bench::nowMs() - start < kTimeoutMs && !limits.final(patchAt(middle)))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    double peak = -1, resident = -1;
    FILE *f = std::fopen(("/proc/" + std::to_string(child.pid) + "/status").c_str(), "re");
    char line[256];
    while (f && std::fgets(line, sizeof line, f)) {
        long kb = 0;
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1)
            peak = double(kb) / 1024;
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1)
            resident = double(kb) / 1024;
    }
    if (f)
        std::fclose(f);
    stop(child);
    waitUntilGone(middle);
    return {peak, resident};
}

struct Spread {
    double median = -1, low = -1, high = -1;
    int failed = 0;
};

Spread spread(const std::vector<double> &times)
{
    std::vector<double> ok;
    Spread s;
    for (double t : times)
        t >= 0 ? ok.push_back(t) : void(++s.failed);
    if (ok.empty())
        return s;
    std::sort(ok.begin(), ok.end());
    s.median = ok.size() % 2 ? ok[ok.size() / 2] : (ok[ok.size() / 2 - 1] + ok[ok.size() / 2]) / 2;
    s.low = ok.front();
    s.high = ok.back();
    return s;
}

void printSpread(const std::string &label, const Spread &s)
{
    std::printf("  %-34s median %7.1f ms  range %7.1f .. %7.1f", label.c_str(), s.median, s.low,
                s.high);
    if (s.failed)
        std::printf("  (%d not seen)", s.failed);
    std::printf("\n");
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// A display number with neither a socket nor a lock file.
int freeDisplay()
{
    for (int n = 87; n < 200; ++n) {
        struct stat st {};
        if (stat(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), &st) != 0 &&
            stat(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), &st) != 0)
            return n;
    }
    return -1;
}

// Re-run of this program: the floor any Qt program pays to put a first frame on screen.
int qtFloorChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    class Window : public QWidget {
    protected:
        void paintEvent(QPaintEvent *) override
        {
            QPainter(this).fillRect(rect(), Qt::darkGray);
            QTimer::singleShot(0, [] { std::_Exit(0); }); // after the frame is flushed
        }
    } window;
    window.resize(kWinW, kWinH);
    window.show();
    return app.exec();
}

// A process that spins on the last processor this one may use: "the other core busy".
Child spinOnOtherCore()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    size_t last = 0;
    for (size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            last = cpu;
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(last, &one);
        sched_setaffinity(0, sizeof one, &one);
        for (;;)
            asm volatile("" ::: "memory"); // spins, and is not optimised away
    }
    return child;
}

struct Program {
    std::string name;
    std::vector<std::string> head; // argv before the photo
    std::vector<std::string> tail; // and after it
    bool installed = true;
    // Per photo: where the photo's middle shows, and the final frame's limits.
    std::map<std::string, QPoint> middle;
    std::map<std::string, Limits> limits;

    std::vector<std::string> argv(const Photo &photo) const
    {
        std::vector<std::string> a = head;
        a.push_back(photo.path);
        a.insert(a.end(), tail.begin(), tail.end());
        return a;
    }
    bool ready(const Photo &photo) const
    {
        return installed && middle.count(photo.key) && limits.at(photo.key).high >= 0;
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (std::getenv("OXLUME_BENCH_QT_FLOOR"))
        return qtFloorChild(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <path to oxlume> [runs]\n", argv[0]);
        return 2;
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // progress shows while it runs
    // The 96 MP photo decodes to 384 MB, past Qt's default limit for the reference.
    QImageReader::setAllocationLimit(0);
    const std::string oxlume = argv[1];
    const int runs = std::max(kMinRuns, argc > 2 ? std::atoi(argv[2]) : kMinRuns);
    if (access(oxlume.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is not an executable\n", oxlume.c_str());
        return 2;
    }
    const std::string wanted = std::getenv("OXLUME_BENCH_PHOTOS")
                                   ? std::getenv("OXLUME_BENCH_PHOTOS")
                                   : "jpeg24,jpeg6,jpeg96,png24";
    const std::string loads =
        std::getenv("OXLUME_BENCH_LOAD") ? std::getenv("OXLUME_BENCH_LOAD") : "quiet,busy";

    char dirTemplate[] = "/tmp/oxlume-bench-startup-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;

    std::vector<Photo> photos;
    for (Photo p : {Photo{"jpeg24", "24 MP JPEG (6000 x 4000)", 6000, 4000, false, {}},
                    Photo{"jpeg6", "6 MP JPEG (3000 x 2000)", 3000, 2000, false, {}},
                    Photo{"jpeg96", "96 MP JPEG (12000 x 8000)", 12000, 8000, false, {}},
                    Photo{"png24", "24 MP PNG (6000 x 4000)", 6000, 4000, true, {}}}) {
        if (("," + wanted + ",").find("," + p.key + ",") == std::string::npos)
            continue;
        // Blocks of about one screen pixel of the fitted photo.
        const QImage picture = photoLike(p.w, p.h, std::max(2, p.w / 1000));
        // Each photo alone in its folder: a viewer that reads ahead finds nothing else to
        // decode, so time and memory are those of showing the one photo.
        const std::string folder = dir + "/" + p.key;
        mkdir(folder.c_str(), 0700);
        p.path = folder + (p.png ? "/photo.png" : "/photo.jpg");
        const std::string ppm = dir + "/" + p.key + ".ppm";
        const bool written =
            p.png
                ? picture.save(QString::fromStdString(p.path), "PNG")
                : picture.save(QString::fromStdString(ppm), "PPM") &&
                      std::system(
                          ("cjpeg -quality 90 -outfile '" + p.path + "' '" + ppm + "'").c_str()) ==
                          0;
        std::remove(ppm.c_str());
        if (!written) {
            std::fprintf(stderr, "could not write %s (is cjpeg installed?)\n", p.path.c_str());
            return 1;
        }
        photos.push_back(p);
    }

    const int display = freeDisplay();
    const std::string displayName = ":" + std::to_string(display);
    Child xvfb = spawn(
        {"/usr/bin/Xvfb", displayName, "-screen", "0", "1600x1000x24", "-br", "-nolisten", "tcp"},
        {});
    if (display < 0 || xvfb.pid < 0) {
        std::fprintf(stderr, "could not start Xvfb\n");
        return 1;
    }
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
    for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    setenv("DISPLAY", displayName.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    // A window manager, as on a desktop: it reparents and maps the windows.
    Child wm;
    const char *wmPath = "/usr/bin/openbox";
    if (access(wmPath, X_OK) == 0) {
        wm = spawn({wmPath, "--sm-disable"}, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }

    // Fresh, empty XDG folders for every program: no settings, no caches, no user scripts.
    std::map<std::string, std::string> env;
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME",
                             "XDG_RUNTIME_DIR"}) {
        const std::string path = dir + "/" + name;
        mkdir(path.c_str(), 0700);
        env[name] = path;
    }
    bench::writeQuietSettings(env["XDG_CONFIG_HOME"]);
    setenv("XDG_RUNTIME_DIR", env["XDG_RUNTIME_DIR"].c_str(), 1);

    int status = 0;
    {
        QApplication app(argc, argv);
        const std::string geometry = std::to_string(kWinW) + "x" + std::to_string(kWinH) + "+0+0";
        std::vector<Program> programs{
            {"oxlume", {oxlume, "-qwindowgeometry", geometry, "-newinst"}, {}, true, {}, {}},
            {"feh", {"/usr/bin/feh", "-g", geometry, "--scale-down"}, {}, true, {}, {}},
            {"nsxiv", {"/usr/bin/nsxiv", "-g", geometry}, {}, true, {}, {}},
        };
        if (argc > 3)
            programs.push_back(
                {"before", {argv[3], "-qwindowgeometry", geometry, "-newinst"}, {}, true, {}, {}});
        for (Program &p : programs) {
            p.installed = access(p.head[0].c_str(), X_OK) == 0;
            if (!p.installed)
                std::printf("%s is not installed (scripts/install-deps.sh --bench)\n",
                            p.name.c_str());
        }
        std::printf("window manager: %s; every window %d x %d\n",
                    wm.pid > 0 ? wmPath : "none (openbox is not installed)", kWinW, kWinH);

        // Untimed: where each shows each photo, and the limits of its final frame; also puts
        // the files, the libraries and the fonts in the page cache.
        for (const Photo &photo : photos) {
            const QImage decoded = QImage(QString::fromStdString(photo.path));
            std::printf("%s, %.1f MB:\n", photo.label.c_str(),
                        double(bench::readFile(photo.path).size()) / 1e6);
            for (Program &p : programs) {
                if (!p.installed)
                    continue;
                PatchLook settled;
                const QRect box = locatePhoto(p.argv(photo), env, &settled);
                if (box.isEmpty()) {
                    std::printf("  %-7s never showed the photo\n", p.name.c_str());
                    continue;
                }
                double smooth = 0, nearest = 0, blurred = 0;
                const Limits limits = limitsFor(decoded, box.size(), &smooth, &nearest, &blurred);
                p.middle[photo.key] = box.center();
                p.limits[photo.key] = limits;
                std::printf("  %-7s shows it %d x %d at %d,%d; roughness: settled %.2f, "
                            "smooth %.2f, nearest %.2f, enlarged %.2f: final within %.2f..%.2f%s\n",
                            p.name.c_str(), box.width(), box.height(), box.x(), box.y(),
                            settled.roughness, smooth, nearest, blurred, limits.low, limits.high,
                            limits.final(settled) ? "" : "  (its settled frame is NOT final)");
            }
        }

        const std::map<std::string, std::string> floorEnv = [&] {
            auto e = env;
            e["OXLUME_BENCH_QT_FLOOR"] = "1";
            return e;
        }();
        for (const char *load : {"quiet", "busy"}) {
            if (loads.find(load) == std::string::npos)
                continue;
            Child spinner;
            if (std::strcmp(load, "busy") == 0)
                spinner = spinOnOtherCore();
            const std::string loadBefore = loadAverage();
            std::printf("\n== %s%s; %d launches each, alternated ==\n", load,
                        spinner.pid > 0 ? " (a process spins on the other core)" : "", runs);
            for (const Photo &photo : photos) {
                std::map<std::string, std::vector<double>> first, final;
                std::vector<double> qtFloor, djpeg;
                for (int run = 0; run < runs; ++run) {
                    for (const Program &p : programs) {
                        if (!p.ready(photo))
                            continue;
                        const Launch l = timeLaunch(p.argv(photo), env, p.middle.at(photo.key),
                                                    p.limits.at(photo.key));
                        first[p.name].push_back(l.firstMs);
                        final[p.name].push_back(l.finalMs);
                    }
                    qtFloor.push_back(timeToExit({self}, floorEnv));
                    if (!photo.png)
                        djpeg.push_back(timeToExit({"/usr/bin/djpeg", "-scale", "1/4", "-outfile",
                                                    "/dev/null", photo.path},
                                                   {}));
                }
                std::printf("%s (load average %s):\n", photo.label.c_str(), loadAverage().c_str());
                std::map<std::string, double> firstMedian, finalMedian;
                for (const Program &p : programs) {
                    if (!first.count(p.name))
                        continue;
                    const Spread f = spread(first[p.name]), l = spread(final[p.name]);
                    printSpread(p.name + ", first sight", f);
                    printSpread(p.name + ", final frame", l);
                    firstMedian[p.name] = f.median;
                    finalMedian[p.name] = l.median;
                }
                const Spread q = spread(qtFloor), d = spread(djpeg);
                printSpread("bare Qt window, first frame", q);
                if (!photo.png) {
                    printSpread("djpeg -scale 1/4", d);
                    if (q.median > 0 && d.median > 0 && firstMedian["oxlume"] > 0)
                        std::printf("  floor (djpeg + Qt window) %.1f ms; oxlume's first sight "
                                    "%.2fx of it, %.1f ms above\n",
                                    q.median + d.median,
                                    firstMedian["oxlume"] / (q.median + d.median),
                                    firstMedian["oxlume"] - q.median - d.median);
                }
                for (const char *other : {"feh", "nsxiv", "before"}) {
                    const double o1 = firstMedian[other], o2 = finalMedian[other];
                    const double x1 = firstMedian["oxlume"], x2 = finalMedian["oxlume"];
                    if (o1 > 0 && x1 > 0)
                        std::printf(
                            "  oxlume / %-6s first sight %.2f, final frame %s\n", other, x1 / o1,
                            o2 > 0 && x2 > 0 ? std::to_string(x2 / o2).substr(0, 4).c_str() : "-");
                }
                if (firstMedian["oxlume"] <= 0)
                    status = 1;
            }
            std::printf("load average before %s, after %s\n", loadBefore.c_str(),
                        loadAverage().c_str());
            stop(spinner);
        }

        std::printf("\n== memory a second after the final frame (MB, peak / resident) ==\n");
        for (const Photo &photo : photos) {
            std::printf("%s:", photo.label.c_str());
            for (const Program &p : programs) {
                if (!p.ready(photo))
                    continue;
                const auto [peak, resident] =
                    residentMb(p.argv(photo), env, p.middle.at(photo.key), p.limits.at(photo.key));
                std::printf("  %s %.0f / %.0f", p.name.c_str(), peak, resident);
            }
            std::printf("\n");
        }
    }
    stop(wm);
    stop(xvfb);
    std::system(("rm -rf '" + dir + "'").c_str());
    return status;
}
