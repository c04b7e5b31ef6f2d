#pragma once
// Test inputs written by ImageMagick in the test's own set-up. Tests that need it skip when
// it (or a profile it needs) is not installed.

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace oxlume::test {

inline bool hasImageMagick()
{
    return !QStandardPaths::findExecutable(QStringLiteral("convert")).isEmpty();
}

// Runs `convert args...`; true when it exits with 0 within 30 s.
inline bool imageMagick(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("convert"), args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A Debian-packaged ICC profile (icc-profiles-free), or empty when not installed.
inline QString systemProfile(const QString &name)
{
    const QString path = QStringLiteral("/usr/share/color/icc/") + name;
    return QFileInfo::exists(path) ? path : QString();
}

} // namespace oxlume::test
