#include "app/nubrio.h"
#include "app/texts.h"

namespace nubrio {

void Nubrio::toggleLogin() {
    platform::LoginItemService& service = platform_.loginItems;
    using Status = platform::LoginItemStatus;
    const std::optional<platform::Error> error =
        service.status() == Status::Enabled ? service.unregisterApp() : service.registerApp();
    if (error) {
        showAlert(texts::loginFailed(platform_.words), error->localizedDescription());
        return;
    }
    // The check mark shows what the system reports, never a flip of its own.
    login->setOn(service.status() == Status::Enabled);
    if (service.status() == Status::RequiresApproval) service.openSystemSettingsLoginItems();
}

}  // namespace nubrio
