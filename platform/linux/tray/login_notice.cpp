#include "platform/linux/tray/login_notice.h"

#include "platform/linux/tray/notification.h"

namespace nubrio::linux_platform {

void LoginNotice::tell(bool on, QDBusConnection bus) {
    notification::send(bus, QString::fromUtf8(kSummary), QString::fromUtf8(on ? kOn : kOff), *last_,
                       [last = last_](std::optional<uint> id) {
                           if (id) *last = *id;
                       });
}

}  // namespace nubrio::linux_platform
