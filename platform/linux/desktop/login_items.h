#pragma once
// The login item as an XDG autostart entry of the user's, named by the program's desktop-file ID in
// $XDG_CONFIG_HOME/autostart, starting the bundle executable.
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/login_items.h"

namespace nubrio::linux_platform {

class LinuxLoginItemService final : public platform::LoginItemService {
public:
    explicit LinuxLoginItemService(std::filesystem::path bundleExecutable);

    // Enabled when the entry exists, starts this bundle executable and is neither Hidden=true nor
    // X-GNOME-Autostart-enabled=false; NotRegistered otherwise (approval is never asked for on Linux).
    platform::LoginItemStatus status() override;
    // Writes the entry (enabled) atomically; an entry of that name that starts another program is left
    // alone and reported, and so is a bundle path no autostart entry could start.
    std::optional<platform::Error> registerApp() override;
    // Removes our entry; a missing one is fine, another program's is left alone and reported.
    std::optional<platform::Error> unregisterApp() override;
    void openSystemSettingsLoginItems() override;

    // Called after each change that registerApp or unregisterApp made.
    void setChangeHandler(std::function<void()> changed) { changed_ = std::move(changed); }

    // Where the entry lives, read from the environment at each call.
    static std::filesystem::path entryPath();

private:
    enum class Found { Nothing, Ours, Foreign };
    struct Finding {
        Found found = Found::Nothing;
        bool enabled = false;
        std::string unreadable;  // why a file at our name could not be read whole, if so
    };
    Finding lookUp() const;
    platform::Error foreignEntryError(const Finding& finding, const char* refusal) const;

    std::filesystem::path executable_;
    std::function<void()> changed_;
};

}  // namespace nubrio::linux_platform
