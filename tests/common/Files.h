#pragma once
// Small file helpers for tests. Paths are native byte strings, as the code under test uses.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

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

// How many atomic saves of the file called name were made in folder while work ran,
// counted by the temporary files ("<name>.tmp-...") renamed away; -1 when the folder cannot
// be watched. (The kernel merges repeated events for the final name, so those cannot count.)
inline int savesDuring(const std::string &folder, const std::string &name,
                       const std::function<void()> &work)
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0 || ::inotify_add_watch(fd, folder.c_str(), IN_MOVED_FROM) < 0) {
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
            if (event->len && std::string(event->name).rfind(name + ".tmp-", 0) == 0)
                ++count;
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(fd);
    return count;
}

} // namespace oxlume::test
