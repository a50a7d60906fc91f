#pragma once
// The user's and the system's folders as the XDG base-directory rules define them, read from the
// environment at each call. The one resolver of the backend: the launcher, mimeapps, the login item,
// the single-instance folder and the panel's settings all ask here, so they agree within a run.
#include <filesystem>
#include <optional>
#include <vector>

namespace nubrio::linux_platform {

// $HOME, or the home folder of the password database when HOME is unset or empty.
std::filesystem::path homeDirectory();
// $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config.
std::filesystem::path userConfigHome();
// $XDG_DATA_HOME when it is an absolute path, otherwise ~/.local/share.
std::filesystem::path userDataHome();
// $XDG_CACHE_HOME when it is an absolute path, otherwise ~/.cache.
std::filesystem::path userCacheHome();
// $XDG_RUNTIME_DIR when set; the rules name no fallback, so the caller chooses one.
std::optional<std::filesystem::path> userRuntimeDir();
// The absolute folders of $XDG_CONFIG_DIRS, otherwise /etc/xdg.
std::vector<std::filesystem::path> systemConfigDirs();
// The absolute folders of $XDG_DATA_DIRS, otherwise /usr/local/share and /usr/share.
std::vector<std::filesystem::path> systemDataDirs();

}  // namespace nubrio::linux_platform
