#include "viewer/PropertiesSheet.h"

#include "platform/SessionBus.h"
#include "shell/FileNameFunctions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QWidget>

namespace oxlume {

namespace {

constexpr int kCallTimeoutMs = 3000;

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
    if (name.empty() || !platform::SessionBusAnnounced())
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
