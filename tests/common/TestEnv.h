#pragma once
// Environment helpers for tests that touch per-user files: a private set of XDG folders and
// HOME in a fresh temporary folder, and environment variables put back as they were.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <optional>
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

} // namespace oxlume::test
