#pragma once
// Small file helpers for tests. Paths are native byte strings, as the code under test uses.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

namespace oxlume::test {

// The whole file as bytes, or empty when it cannot be read.
inline std::string readText(const std::string &path)
{
    QFile f(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Replaces the file with text, creating its folder first; fails the test when it cannot.
inline void writeText(const std::string &path, const std::string &text)
{
    const QString name = QFile::decodeName(QByteArray::fromStdString(path));
    QDir().mkpath(QFileInfo(name).path());
    QFile f(name);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), path.c_str());
    QCOMPARE(f.write(text.data(), static_cast<qint64>(text.size())),
             static_cast<qint64>(text.size()));
}

inline std::string tempPath(const QTemporaryDir &dir)
{
    return QFile::encodeName(dir.path()).toStdString();
}

// Creates an empty file (or leaves an existing one as it is).
inline void touch(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    QVERIFY2(fd >= 0, path.c_str());
    ::close(fd);
}

// How many inotify events (watched for mask) that pass counts, by file name and event mask,
// came from folder while work ran; -1 when the folder cannot be watched.
inline int eventsDuring(const std::string &folder, std::uint32_t mask,
                        const std::function<bool(const std::string &, std::uint32_t)> &counts,
                        const std::function<void()> &work)
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0 || ::inotify_add_watch(fd, folder.c_str(), mask) < 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    work();
    int count = 0;
    alignas(inotify_event) char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            if (event->len && counts(event->name, event->mask))
                ++count;
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(fd);
    return count;
}

// How many atomic saves of the file called name were made in folder while work ran,
// counted by the temporary files ("<name>.tmp-...") renamed away; -1 when the folder cannot
// be watched. (The kernel merges repeated events for the final name, so those cannot count.)
inline int savesDuring(const std::string &folder, const std::string &name,
                       const std::function<void()> &work)
{
    return eventsDuring(
        folder, IN_MOVED_FROM,
        [&name](const std::string &file, std::uint32_t) {
            return file.rfind(name + ".tmp-", 0) == 0;
        },
        work);
}

// How many times the file called name in folder was opened while work ran (-1 as above).
// Closes are watched too, only so that the kernel does not merge one open with the next.
inline int opensDuring(const std::string &folder, const std::string &name,
                       const std::function<void()> &work)
{
    return eventsDuring(
        folder, IN_OPEN | IN_CLOSE,
        [&name](const std::string &file, std::uint32_t mask) {
            return file == name && (mask & IN_OPEN);
        },
        work);
}

} // namespace oxlume::test
