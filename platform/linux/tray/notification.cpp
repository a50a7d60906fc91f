#include "platform/linux/tray/notification.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "app/build_config.h"
#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform::notification {

void send(QDBusConnection bus, const QString& summary, const QString& body, uint replaces,
          std::function<void(std::optional<uint> id)> sent) {
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    // The entry's desktop-file ID without ".desktop", as the hint names an application.
    const QString entry = QString::fromLatin1(config::BundleIdentifier);
    const QVariantMap hints{{QStringLiteral("desktop-entry"), entry}};
    call << QStringLiteral("Nubrio") << replaces << entry << summary << body << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [sent](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError())
            program_log::write("the desktop showed no notification: " + reply.error().message().toStdString());
        if (sent) sent(reply.isError() ? std::nullopt : std::optional<uint>(reply.value()));
    });
}

}  // namespace nubrio::linux_platform::notification
