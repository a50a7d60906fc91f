#pragma once
// Where no tray shows the status item (stock GNOME has none), the user is told once per login session,
// by a desktop notification, that Nubrio keeps processing and where its commands are; the program's
// log gets a line at every start.
#include <QDBusConnection>
#include <filesystem>
#include <optional>

namespace nubrio::linux_platform::no_tray_notice {

// How long after the status item is made a tray may take to show it before the user is told.
inline constexpr int kGraceMs = 5000;

// GNOME shows a body's first line and cuts the rest (its message list after about 40 characters):
// the instruction comes first, whole in that.
inline constexpr const char* kSummary = "Nubrio sigue procesando en segundo plano";
inline constexpr const char* kBody = "Sus comandos: clic derecho en Nubrio en tus apps.";

// The file whose presence says that this login session was told: in $XDG_RUNTIME_DIR, which lives as
// long as the user's login. None without that folder.
std::optional<std::filesystem::path> markerPath();

// Sends the notification through org.freedesktop.Notifications on `bus` without waiting for it,
// unless the marker says it was sent in this login session; it is sent at every start where there
// is no runtime folder. The log line comes with the service's answer: that the user was told, or
// why not (a service that fails, is missing or does not answer in D-Bus's time); then the marker
// goes, so that a later start tries again.
void tell(QDBusConnection bus = QDBusConnection::sessionBus());

}  // namespace nubrio::linux_platform::no_tray_notice
