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

// Sends the notification through org.freedesktop.Notifications on `bus` without waiting for it. The
// log line comes with the service's answer: that the user was told, or why not (a service that
// fails, is missing or does not answer in D-Bus's time).
void tell(QDBusConnection bus = QDBusConnection::sessionBus());

}  // namespace nubrio::linux_platform::no_tray_notice
