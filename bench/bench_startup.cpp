// Start to first sight: how long a user waits from launching the viewer on a 6000 x 4000
// JPEG until the photo is on screen, against nsxiv on the same file in the same run.
//
//   bench_startup <path to the oxlume binary> [runs]
//   OXLUME_BENCH_HUGE=1 bench_startup ...   the same with a 20000 x 15000 JPEG (300 MP, past
//                                            the pixel limit: shown reduced) against qimgv
//
// Starts its own virtual display (Xvfb) with a window manager (openbox, when installed) and
// times, median and range of `runs` (at least 7) launches each:
//   oxlume    `oxlume -newinst photo.jpg` with fresh XDG folders
//   nsxiv     `nsxiv photo.jpg`
//   qt floor  this program re-run as a bare Qt application that shows an empty window and
//             exits after its first paint: what any Qt program pays before painting
// Both viewers get the same window (1200 x 800 at the top left corner), and "on screen" is
// the same check for both: the pixel in the middle of where each shows the photo (found once
// per viewer by an untimed launch) reads back as the photo's middle; then the viewer is
// ended. Prints the times and the ratio oxlume / nsxiv (target: at most 1), and oxlume's own
// first-paint count (OXLUME_EXIT_AFTER_FIRST_PAINT) for comparison. Then, in process, the
// user-interface thread's share of that first frame: one paint of the decoded photo fitted
// to 1200 x 800 with the smooth reduction done in the paint, against the paint that leaves
// it to the worker.

#include "BenchCommon.h"
#include "imaging/control/Imager.h"

#include <QApplication>
#include <QImage>
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
#include <limits>
#include <map>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// The photo's size: 6000 x 4000, or 20000 x 15000 (300 MP, past the decoder's pixel limit)
// with OXLUME_BENCH_HUGE=1, where qimgv is the reference.
int kW = 6000, kH = 4000;
// Both viewers' windows; nsxiv's photo fits it exactly.
constexpr int kWinW = 1200, kWinH = 800;
constexpr int kMinRuns = 7;
constexpr double kTimeoutMs = 30000;

// Red follows x, green follows y, all with a little noise: compresses like a photo, and the
// middle of the picture is a mid grey-green that neither a black screen nor a white or grey
// window background can be mistaken for.
QImage photoLike()
{
    QImage image(kW, kH, QImage::Format_RGB888);
    std::mt19937 random(7);
    for (int y = 0; y < kH; ++y) {
        uchar *row = image.scanLine(y);
        for (int x = 0; x < kW; ++x, row += 3) {
            const int n = int(random() % 9) - 4;
            row[0] = uchar(std::clamp(int(int64_t(x) * 255 / kW) + n, 0, 255));
            row[1] = uchar(std::clamp(int(int64_t(y) * 255 / kH) + n, 0, 255));
            row[2] = uchar(std::clamp(40 + ((x + y) / 37) % 64 + n, 0, 255));
        }
    }
    return image;
}

bool isPhotoMiddle(QRgb p)
{
    return std::abs(qRed(p) - 127) <= 24 && std::abs(qGreen(p) - 127) <= 24;
}

struct Child {
    pid_t pid = -1;
    int errFd = -1; // read end of its stderr, or -1
};

// Starts argv with the current environment plus `extra`; stdout goes to /dev/null, stderr
// to a pipe when captureErr, else to /dev/null.
Child spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &extra,
            bool captureErr)
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
    int pipeFds[2] = {-1, -1};
    if (captureErr && pipe2(pipeFds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    Child child;
    if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0)
        close(pipeFds[1]);
    child.errFd = pipeFds[0];
    return child;
}

std::string readAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    close(fd);
    return text;
}

// The screen's pixel at (x, y), read back from the X server.
QRgb screenPixel(int x, int y)
{
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0, x, y, 1, 1).toImage();
    return shot.isNull() ? 0 : shot.pixel(0, 0);
}

// One timed launch. Every poll does the same work (one pixel read back and a look at the
// child's state, then 1 ms of sleep), whichever end it waits for, so both programs share
// the machine with the same amount of measuring.
struct Launch {
    double ms = -1; // launch to the end condition, -1 on failure
    std::string stderrText;
};

// The whole screen, read back from the X server (qimgv places its window itself).
QImage screenArea()
{
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

// Blue runs 36..107 all over the photo, never below; window backgrounds, text and black are
// outside that band, or grey.
bool isPhotoLike(QRgb p)
{
    const bool grey = std::abs(qRed(p) - qBlue(p)) < 8 && std::abs(qGreen(p) - qBlue(p)) < 8;
    return qBlue(p) >= 36 && qBlue(p) <= 108 && !grey;
}

// The middle of the photo as a viewer shows it: the middle of the rows and columns that are
// mostly photo. (-1, -1) when no photo is on screen.
QPoint photoMiddle(const QImage &shot)
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
        return {-1, -1};
    return {(left + right) / 2, (top + bottom) / 2};
}

Launch timeLaunch(const std::vector<std::string> &argv,
                  const std::map<std::string, std::string> &env, bool waitForPixel,
                  QPoint probe = QPoint(kWinW / 2, kWinH / 2))
{
    Launch result;
    const double start = bench::nowMs();
    Child child = spawn(argv, env, !waitForPixel);
    if (child.pid < 0)
        return result;
    int status = 0;
    bool exited = false;
    while (bench::nowMs() - start < kTimeoutMs) {
        const bool seen = isPhotoMiddle(screenPixel(probe.x(), probe.y()));
        exited = waitpid(child.pid, &status, WNOHANG) == child.pid;
        if (waitForPixel ? seen : exited) {
            result.ms = bench::nowMs() - start;
            break;
        }
        if (exited)
            break; // ended without showing the photo
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!exited) {
        kill(child.pid, SIGTERM);
        waitpid(child.pid, &status, 0);
    }
    if (!waitForPixel && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        result.ms = -1;
    if (child.errFd >= 0)
        result.stderrText = readAll(child.errFd);
    // The next launch must start from an empty screen.
    const double cleared = bench::nowMs();
    while (isPhotoMiddle(screenPixel(probe.x(), probe.y())) && bench::nowMs() - cleared < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return result;
}

// Launches argv untimed, waits until a photo shows and stays put, and returns its middle;
// (-1, -1) when none showed within the time-out.
QPoint locatePhoto(const std::vector<std::string> &argv,
                   const std::map<std::string, std::string> &env)
{
    Child child = spawn(argv, env, false);
    if (child.pid < 0)
        return {-1, -1};
    QPoint found(-1, -1);
    const double start = bench::nowMs();
    while (bench::nowMs() - start < kTimeoutMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const QPoint middle = photoMiddle(screenArea());
        if (middle.x() >= 0 && middle == found &&
            isPhotoMiddle(screenPixel(middle.x(), middle.y())))
            break;
        found = middle;
    }
    kill(child.pid, SIGTERM);
    waitpid(child.pid, nullptr, 0);
    const double cleared = bench::nowMs();
    while (found.x() >= 0 && isPhotoMiddle(screenPixel(found.x(), found.y())) &&
           bench::nowMs() - cleared < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return found;
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

void printSpread(const char *label, const Spread &s)
{
    std::printf("%-50s median %7.1f ms  range %7.1f .. %7.1f ms", label, s.median, s.low, s.high);
    if (s.failed)
        std::printf("  (%d failed)", s.failed);
    std::printf("\n");
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

// Best time of one paint of the photo fitted into kWinW x kWinH that misses the cache (the
// area alternates by one pixel), with reductions from backgroundFrom pixels on left to
// the worker. Each paint waits for the previous worker reduction to land first.
double firstPaintMs(const QImage &photo, qint64 backgroundFrom, int runs)
{
    oxlume::imaging::TImager imager;
    imager.setBackgroundScaleFrom(backgroundFrom);
    imager.setPaintSizeMode(3);
    imager.setBitmapList(photo);
    int flip = 0;
    return bench::bestMs(
        runs, [&] { imager.viewport()->grab(); },
        [&] {
            bench::waitForBackgroundScaling(imager);
            imager.resize(kWinW - (flip++ % 2), kWinH);
        });
}

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
    const std::string oxlume = argv[1];
    const int runs = std::max(kMinRuns, argc > 2 ? std::atoi(argv[2]) : kMinRuns);
    if (access(oxlume.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "%s is not an executable\n", oxlume.c_str());
        return 2;
    }

    char dirTemplate[] = "/tmp/oxlume-bench-startup-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;

    // The photo, through cjpeg as a camera would have written it (baseline, quality 90).
    const std::string ppm = dir + "/photo.ppm";
    const std::string photo = dir + "/photo.jpg";
    const bool huge = std::getenv("OXLUME_BENCH_HUGE") != nullptr;
    if (huge)
        kW = 20000, kH = 15000;
    if (!photoLike().save(QString::fromStdString(ppm), "PPM") ||
        std::system(("cjpeg -quality 90 -outfile '" + photo + "' '" + ppm + "'").c_str()) != 0) {
        std::fprintf(stderr, "could not write the photo (is cjpeg installed?)\n");
        return 1;
    }
    std::remove(ppm.c_str());

    const int display = freeDisplay();
    const std::string displayName = ":" + std::to_string(display);
    Child xvfb = spawn(
        {"/usr/bin/Xvfb", displayName, "-screen", "0", "1600x1000x24", "-br", "-nolisten", "tcp"},
        {}, false);
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
        wm = spawn({wmPath, "--sm-disable"}, {}, false);
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
        auto ownCountEnv = env;
        ownCountEnv["OXLUME_EXIT_AFTER_FIRST_PAINT"] = "1";
        auto floorEnv = env;
        floorEnv["OXLUME_BENCH_QT_FLOOR"] = "1";
        const std::string geometry = std::to_string(kWinW) + "x" + std::to_string(kWinH) + "+0+0";
        const std::vector<std::string> oxlumeArgs{oxlume, "-qwindowgeometry", geometry, "-newinst",
                                                  photo};
        // The reference: nsxiv in the same window; qimgv, which sizes its own window, for the
        // huge photo (nsxiv refuses it).
        const char *refName = huge ? "qimgv" : "nsxiv";
        const std::vector<std::string> nsxivArgs =
            huge ? std::vector<std::string>{"/usr/bin/qimgv", photo}
                 : std::vector<std::string>{"/usr/bin/nsxiv", "-g", geometry, photo};
        const bool haveNsxiv = access(nsxivArgs[0].c_str(), X_OK) == 0;
        if (!haveNsxiv)
            std::printf(
                "%s is not installed (scripts/install-deps.sh --bench): timing oxlume only\n",
                refName);
        std::printf("window manager: %s\n",
                    wm.pid > 0 ? wmPath : "none (openbox is not installed)");

        // Untimed: where each shows the photo's middle; also puts the file, the libraries and
        // the fonts in the page cache.
        const QPoint oxlumeProbe = locatePhoto(oxlumeArgs, env);
        const QPoint nsxivProbe = haveNsxiv ? locatePhoto(nsxivArgs, env) : QPoint(-1, -1);
        std::printf("photo middle on screen: oxlume at %d,%d; %s at %d,%d\n", oxlumeProbe.x(),
                    oxlumeProbe.y(), refName, nsxivProbe.x(), nsxivProbe.y());
        if (oxlumeProbe.x() < 0)
            std::printf("oxlume never showed the photo\n");
        timeLaunch({self}, floorEnv, false);
        timeLaunch(oxlumeArgs, ownCountEnv, false);

        std::vector<double> ox, own, nsx, floor;
        for (int run = 0; run < runs && oxlumeProbe.x() >= 0; ++run) {
            ox.push_back(timeLaunch(oxlumeArgs, env, true, oxlumeProbe).ms);
            if (haveNsxiv && nsxivProbe.x() >= 0)
                nsx.push_back(timeLaunch(nsxivArgs, env, true, nsxivProbe).ms);
            floor.push_back(timeLaunch({self}, floorEnv, false).ms);
            const Launch o = timeLaunch(oxlumeArgs, ownCountEnv, false);
            const size_t at = o.stderrText.find("first-paint ");
            own.push_back(at == std::string::npos ? -1 : std::atof(o.stderrText.c_str() + at + 12));
        }
        const Spread oxS = spread(ox), nsxS = spread(nsx), floorS = spread(floor),
                     ownS = spread(own);
        std::printf(
            "photo: %d x %d JPEG, %.1f MB; %d launches each, on an Xvfb display; load average "
            "at the end printed below\n",
            kW, kH, double(bench::readFile(photo).size()) / 1e6, runs);
        printSpread(huge ? "reference: qimgv, launch to photo on screen"
                         : "reference: nsxiv, launch to photo on screen",
                    nsxS);
        printSpread("oxlume -newinst, launch to photo on screen", oxS);
        printSpread("oxlume's own count, process start to first frame", ownS);
        printSpread("bare Qt window, launch to first frame (exit)", floorS);
        if (oxS.median > 0 && nsxS.median > 0)
            std::printf("ratio oxlume / %s (medians): %.2f  (target: at most 1.00)\n", refName,
                        oxS.median / nsxS.median);
        status = oxS.median > 0 ? 0 : 1;
        std::system("cat /proc/loadavg");

        // The user-interface thread's share of the first frame (not for the huge photo,
        // which is decoded reduced).
        if (!huge) {
            oxlume::imaging::TImager decoded;
            decoded.LoadFile(photo);
            const double smooth =
                firstPaintMs(decoded.BitmapList(), std::numeric_limits<qint64>::max(), runs);
            const double quick = firstPaintMs(decoded.BitmapList(), 0, runs);
            std::printf("reference: first paint, smooth reduction in the paint  %6.1f ms on the UI "
                        "thread\n",
                        smooth);
            std::printf(
                "first paint, smooth reduction on the worker            %6.1f ms  (%.3f of it)\n",
                quick, quick / smooth);
        }
    }
    if (wm.pid > 0) {
        kill(wm.pid, SIGTERM);
        waitpid(wm.pid, nullptr, 0);
    }
    kill(xvfb.pid, SIGTERM);
    waitpid(xvfb.pid, nullptr, 0);
    std::system(("rm -rf '" + dir + "'").c_str());
    return status;
}
