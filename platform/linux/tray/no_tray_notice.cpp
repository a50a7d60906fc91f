#include "platform/linux/tray/no_tray_notice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/build_config.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/tray/notification.h"

namespace nubrio::linux_platform::no_tray_notice {

std::optional<std::filesystem::path> markerPath() {
    const std::optional<std::filesystem::path> runtime = userRuntimeDir();
    if (!runtime || !runtime->is_absolute()) return std::nullopt;
    return *runtime / (std::string(config::BundleIdentifier) + ".no-tray-notice");
}

void tell(QDBusConnection bus) {
    std::optional<std::filesystem::path> marker = markerPath();
    if (marker) {
        // Made only by the first start of the session that gets here: later ones find it.
        const int fd = ::open(marker->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) {
            program_log::write("no tray shows the status item: the user was told so earlier in this login session");
            return;
        }
        if (fd >= 0) ::close(fd);
        else marker.reset();  // a folder we cannot write to: told as where there is none
    }
    // The user was told only once the notification service says it took the notification; a failure
    // is logged by the sending, and the marker goes so that a later start tries again.
    notification::send(bus, QString::fromUtf8(kSummary), QString::fromUtf8(kBody), 0,
                       [marker](std::optional<uint> id) {
                           if (id)
                               program_log::write("no tray shows the status item: the user was told by a notification "
                                                  "that the commands are in the application menu's entry");
                           else if (marker)
                               ::unlink(marker->c_str());
                       });
}

}  // namespace nubrio::linux_platform::no_tray_notice
