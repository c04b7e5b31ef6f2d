#include "viewer/PropertiesSheet.h"

#include "shell/FileNameFunctions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QWidget>

#include <cstdlib>
#include <filesystem>

namespace oxlume {

namespace {

constexpr int kCallTimeoutMs = 3000;

// libdbus falls back to launching a bus of its own when none is announced, which may take
// long or start daemons behind the user's back: only use a bus that is already there.
bool sessionBusAnnounced()
{
    const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return true;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    return runtime && *runtime &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored);
}

} // namespace

QString FileUriForPath(const std::string &path)
{
    const QByteArray bytes(path.data(), qsizetype(path.size()));
    const QByteArray encoded = bytes.toPercentEncoding(QByteArrayLiteral("/"));
    const QString reference = QString::fromLatin1(encoded);
    return path.starts_with('/') ? QStringLiteral("file://") + reference : reference;
}

bool ShowPropertiesSheet(const std::string &name, const std::string &folder, QWidget *window,
                         std::function<void(bool)> done)
{
    if (name.empty() || !sessionBusAnnounced())
        return false;
    const std::string path = name.starts_with('/') ? name : JoinPath(folder, name);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItemProperties"));
    call << QStringList{FileUriForPath(path)} << QString();
    // The bus is served on a thread of its own, so a quick error reply (no file manager)
    // may already be in: that is the file manager's answer, reported through done.
    const QDBusPendingCall pending = bus.asyncCall(call, kCallTimeoutMs);

    auto *watcher = new QDBusPendingCallWatcher(pending, window);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, done = std::move(done)] {
                         if (done)
                             done(!watcher->isError());
                         watcher->deleteLater();
                     });
    return true;
}

} // namespace oxlume
