#include "platform/linux/tray/no_tray_notice.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QVariantMap>

#include "platform/linux/base/program_log.h"

namespace nubrio::linux_platform::no_tray_notice {

namespace {

// The entry's desktop-file ID without ".desktop", as the notification's hint names an application.
constexpr const char* kDesktopEntry = "app.nubrio.desktop";

}  // namespace

void tell(QDBusConnection bus) {
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry)}};
    call << QStringLiteral("Nubrio") << 0u << QString::fromLatin1(kDesktopEntry) << QString::fromUtf8(kSummary)
         << QString::fromUtf8(kBody) << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
    // The user was told only once the notification service says it took the notification.
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        if (finished->isError())
            program_log::write("no tray shows the status item, and the desktop showed no notification to say so: " +
                               finished->error().message().toStdString());
        else
            program_log::write("no tray shows the status item: the user was told by a notification that the commands "
                               "are in the application menu's entry");
    });
}

}  // namespace nubrio::linux_platform::no_tray_notice
