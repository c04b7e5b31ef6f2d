#pragma once
// Environment helpers for tests that touch per-user files: a private set of XDG folders and
// HOME in a fresh temporary folder, and environment variables put back as they were.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace oxlume::test {

// Sets or unsets environment variables; the destructor restores what was there before,
// including variables that were unset.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;
    ~ScopedEnv()
    {
        // Newest first, so a variable changed twice ends up as it was at the start.
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                qputenv(it->first, *it->second);
            else
                qunsetenv(it->first);
        }
    }

    void set(const char *name, const QByteArray &value)
    {
        remember(name);
        qputenv(name, value);
    }

    void unset(const char *name)
    {
        remember(name);
        qunsetenv(name);
    }

private:
    void remember(const char *name)
    {
        m_saved.emplace_back(name, qEnvironmentVariableIsSet(name)
                                       ? std::optional<QByteArray>(qgetenv(name))
                                       : std::nullopt);
    }

    std::vector<std::pair<const char *, std::optional<QByteArray>>> m_saved;
};

// A temporary HOME with XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR below it, so that
// the registry hives, desktop entries and the instance socket of a test stay in there. The
// folders themselves are left for the code under test to create.
class ScopedXdgHome {
public:
    ScopedXdgHome()
    {
        if (!m_dir.isValid())
            return;
        const QByteArray base = m_dir.path().toUtf8();
        m_env.set("XDG_CONFIG_HOME", base + "/config");
        m_env.set("XDG_DATA_HOME", base + "/data");
        m_env.set("XDG_RUNTIME_DIR", base + "/runtime");
        m_env.set("HOME", base);
    }

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    // Where our own configuration files go: $XDG_CONFIG_HOME/oxlume.
    QString configFolder() const { return m_dir.path() + QStringLiteral("/config/oxlume"); }
    // For changing further variables until this goes.
    ScopedEnv &env() { return m_env; }

private:
    QTemporaryDir m_dir;
    ScopedEnv m_env; // declared after m_dir: restored before the folder is removed
};

// The per-user world of a test that opens the main window: a ScopedXdgHome whose folders and
// Desktop exist from the start (the runtime folder private, as the instance socket wants) and,
// when asked, a session bus of its own, so that no test reaches the desktop's file manager.
class WindowSandbox {
public:
    enum Bus { NoBus, PrivateBus };

    explicit WindowSandbox(Bus bus = NoBus)
    {
        if (!m_home.isValid())
            return;
        const std::filesystem::path home = root();
        std::error_code failed;
        for (const char *dir : {"config", "data", "runtime", "Desktop"})
            std::filesystem::create_directories(home / dir, failed);
        std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all, failed);
        if (bus == NoBus)
            return;
        m_home.env().unset("DBUS_SESSION_BUS_ADDRESS");
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"),
                     QStringLiteral("--print-address=1")});
        if (m_bus.waitForStarted(5000) && m_bus.waitForReadyRead(5000))
            m_busAddress = QString::fromUtf8(m_bus.readLine().trimmed());
        if (!m_busAddress.isEmpty())
            m_home.env().set("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
    }
    WindowSandbox(const WindowSandbox &) = delete;
    WindowSandbox &operator=(const WindowSandbox &) = delete;
    ~WindowSandbox()
    {
        if (m_bus.state() != QProcess::NotRunning) {
            m_bus.kill();
            m_bus.waitForFinished();
        }
        // By the bytes of the names: Qt cannot name the files whose names are not UTF-8.
        std::error_code ignored;
        std::filesystem::remove_all(root(), ignored);
    }

    bool isValid() const { return m_home.isValid(); }
    QString path() const { return m_home.path(); }
    std::filesystem::path root() const { return m_home.path().toStdString(); }
    // The private bus's address; empty without one (not asked for, or no dbus-daemon).
    QString busAddress() const { return m_busAddress; }

private:
    ScopedXdgHome m_home;
    QProcess m_bus;
    QString m_busAddress;
};

} // namespace oxlume::test
