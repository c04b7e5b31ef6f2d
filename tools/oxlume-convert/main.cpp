// oxlume-convert IN OUT.png   decode IN with the viewer's decoders, write OUT as PNG
// oxlume-convert --info IN    print "FORMAT WIDTH HEIGHT BITS" from IN's header
// oxlume-convert --version    print "oxlume-convert VERSION"
// Exit status: 0 done, 1 IN could not be read or OUT not written (reason on stderr),
// 2 wrong usage.

#include "imaging/ImageFile.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageWriter>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace oxlume;
using namespace oxlume::imaging;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Qt and its image plugins (libpng, libtiff) log warnings on stderr; the tool promises one
// line of reason there, so only critical messages get through unless asked for.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "oxlume-convert: %s\n", qPrintable(message));
}

int usage(std::FILE *to, int status)
{
    std::fputs("usage: oxlume-convert IN OUT.png\n"
               "       oxlume-convert --info IN\n"
               "       oxlume-convert --version\n",
               to);
    return status;
}

int fail(const std::string &reason)
{
    std::fprintf(stderr, "oxlume-convert: %s\n", reason.c_str());
    return kExitFailed;
}

// Writes bytes to path as given (file names are bytes, not text), replacing the file.
Result<void> writeFile(const std::string &path, const QByteArray &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return makeError(path + ": cannot create: " + std::generic_category().message(errno));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(path.c_str()); // never leave a half-written PNG behind
            return makeError(path + ": write failed: " + std::generic_category().message(err));
        }
        done += n;
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(path.c_str());
        return makeError(path + ": write failed: " + std::generic_category().message(err));
    }
    return {};
}

int printInfo(const std::string &in)
{
    const Result<ImageInfo> info = readImageFileInfo(in);
    if (!info)
        return fail(info.error().message);
    std::printf("%s %d %d %d\n", info->format.c_str(), info->width, info->height, info->bitDepth);
    return 0;
}

int convert(const std::string &in, const std::string &out)
{
    DecodeObserver observer;
    const Result<QImage> image = loadImageFile(in, observer);
    if (!image)
        return fail(image.error().message);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image.value()))
        return fail(out + ": cannot encode PNG: " + writer.errorString().toStdString());
    const Result<void> written = writeFile(out, png);
    if (!written)
        return fail(written.error().message);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args;
    bool info = false;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg == "--info") {
            info = true;
        } else if (!optionsDone && (arg == "-h" || arg == "--help")) {
            return usage(stdout, 0);
        } else if (!optionsDone && arg == "--version") {
            std::printf("oxlume-convert %s\n", OXLUME_VERSION);
            return 0;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "oxlume-convert: unknown option %s\n", arg.c_str());
            return usage(stderr, kExitUsage);
        } else {
            args.push_back(arg);
        }
    }
    if (args.size() != (info ? 1u : 2u))
        return usage(stderr, kExitUsage);

    // Metafiles and SVG paint text, which needs a GUI application for its fonts; a
    // converter never shows a window, so it needs no display either.
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!std::getenv("OXLUME_CONVERT_VERBOSE"))
        qInstallMessageHandler(quietMessages);
    QGuiApplication app(argc, argv);

    return info ? printInfo(args[0]) : convert(args[0], args[1]);
}
