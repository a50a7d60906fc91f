#include "platform/linux/desktop/login_items.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include "platform/linux/base/files.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/desktop/desktop_entry.h"

namespace nubrio::linux_platform {

LinuxLoginItemService::LinuxLoginItemService(std::filesystem::path bundleExecutable)
    : executable_(std::move(bundleExecutable)) {}

std::filesystem::path LinuxLoginItemService::entryPath() {
    return userConfigHome() / "autostart" / desktop_entry::ownDesktopId();
}

LinuxLoginItemService::Finding LinuxLoginItemService::lookUp() const {
    const std::filesystem::path path = entryPath();
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return {};  // nothing there, or no folder to hold it
    // Whatever cannot be read as an entry that starts this executable belongs to someone else.
    std::string whyNot;
    std::optional<desktop_entry::EntryKeys> keys = desktop_entry::readEntry(path, &whyNot);
    if (!keys) {
        // Left exactly as it is: rewriting it from what could be read would lose the rest.
        program_log::write("autostart entry " + path.string() + " left as it is: " + whyNot);
        return {Found::Foreign, false, whyNot};
    }
    if (!keys->program || !desktop_entry::samePath(*keys->program, executable_)) return {Found::Foreign, false, {}};
    return {Found::Ours, !keys->hidden && keys->autostartEnabled, {}};
}

platform::LoginItemStatus LinuxLoginItemService::status() {
    const Finding finding = lookUp();
    return finding.found == Found::Ours && finding.enabled ? platform::LoginItemStatus::Enabled
                                                           : platform::LoginItemStatus::NotRegistered;
}

platform::Error LinuxLoginItemService::foreignEntryError(const Finding& finding, const char* refusal) const {
    const std::string what = finding.unreadable.empty()
                                 ? "no abre Nubrio sino otro programa"
                                 : "no se puede leer entera (" + finding.unreadable + ")";
    return platform::Error{"AutostartEntry", EEXIST,
                           "La entrada de inicio automático «" + entryPath().string() + "» " + what + ", así que " +
                               refusal + ". Quitala o cambiale el nombre y volvé a intentarlo."};
}

std::optional<platform::Error> LinuxLoginItemService::registerApp() {
    if (std::optional<platform::Error> reason = desktop_entry::unlaunchableReason(executable_, /*atLogin=*/true))
        return reason;
    if (const Finding finding = lookUp(); finding.found == Found::Foreign)
        return foreignEntryError(finding, "no se reemplazó");
    // Rewriting our own entry also clears a Hidden=true or X-GNOME-Autostart-enabled=false that a
    // session manager may have put there: the user asked to start at login.
    const std::string text = desktop_entry::entryText({
        {"Type", "Application"},
        {"Name", "Nubrio"},
        {"Exec", desktop_entry::quoteExecArgument(executable_.string())},
        {"TryExec", executable_.string()},
        {"Terminal", "false"},
        {"X-GNOME-Autostart-enabled", "true"},
    });
    std::optional<platform::Error> error = files::writeFileAtomically(entryPath(), text);
    if (!error && changed_) changed_();
    return error;
}

std::optional<platform::Error> LinuxLoginItemService::unregisterApp() {
    const Finding finding = lookUp();
    switch (finding.found) {
    case Found::Nothing:
        return std::nullopt;
    case Found::Foreign:
        return foreignEntryError(finding, "no se quitó");
    case Found::Ours:
        break;
    }
    const std::filesystem::path path = entryPath();
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) return systemError(errno, path.string());
    if (changed_) changed_();
    return std::nullopt;
}

void LinuxLoginItemService::openSystemSettingsLoginItems() {
    // Linux desktops share no settings page for autostart entries, and ours never waits for approval.
}

}  // namespace nubrio::linux_platform
