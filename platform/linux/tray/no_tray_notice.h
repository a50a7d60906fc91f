#pragma once
// Where no tray shows the status item (stock GNOME has none), the user is told once, by a desktop
// notification, that Nubrio keeps processing and where its commands are; the program's log gets a
// line too.
#include <QDBusConnection>

namespace nubrio::linux_platform::no_tray_notice {

// How long after the status item is made a tray may take to show it before the user is told.
inline constexpr int kGraceMs = 5000;

inline constexpr const char* kSummary = "Nubrio sigue procesando en segundo plano";
inline constexpr const char* kBody =
    "No hay una bandeja del sistema donde mostrar su ícono. Sus comandos están en el menú de aplicaciones: "
    "hacé clic derecho en Nubrio.";

// Sends the notification through org.freedesktop.Notifications on `bus` without waiting for it, and
// writes the log line; a notification service that fails or is missing is logged as well.
void tell(QDBusConnection bus = QDBusConnection::sessionBus());

}  // namespace nubrio::linux_platform::no_tray_notice
