#pragma once
// A desktop notification of the program's, through org.freedesktop.Notifications.
#include <QDBusConnection>
#include <QString>
#include <functional>
#include <optional>

namespace nubrio::linux_platform::notification {

// Sends it on `bus` without waiting for the server, named after the program's entry so that desktops
// show its name and icon. It takes the place of the earlier notification `replaces` (0: none). `sent`
// gets the server's id for it, or nothing when the server failed or is missing, which is logged too.
void send(QDBusConnection bus, const QString& summary, const QString& body, uint replaces = 0,
          std::function<void(std::optional<uint> id)> sent = {});

}  // namespace nubrio::linux_platform::notification
