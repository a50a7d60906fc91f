#pragma once
// Where no tray shows the menu's check mark (stock GNOME has none), what a launcher's start-at-login
// action did is said in one short notification: the state now, also when it was already so. Each
// takes the place of the one before, so that choosing again does not pile them up.
#include <QDBusConnection>
#include <memory>

namespace nubrio::linux_platform {

class LoginNotice {
public:
    // Short enough for GNOME's message list, which shows some 25 characters of a summary.
    static constexpr const char* kSummary = "Nubrio";
    static constexpr const char* kOn = "Se abrirá al iniciar sesión.";
    static constexpr const char* kOff = "No se abrirá al iniciar sesión.";

    // Sends the notification for the state `on` on `bus` without waiting for it.
    void tell(bool on, QDBusConnection bus = QDBusConnection::sessionBus());
    // The server's id of the last one it answered for; 0 before any answer.
    uint lastId() const { return *last_; }

private:
    // The server's id of the last one sent; shared with the handler of a reply still to come.
    std::shared_ptr<uint> last_ = std::make_shared<uint>(0);
};

}  // namespace nubrio::linux_platform
