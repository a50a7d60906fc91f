#pragma once
// The user's folders as the XDG base-directory rules define them, read from the environment at each
// call.
#include <filesystem>

namespace nubrio::linux_platform {

// $HOME, or the home folder of the password database when HOME is unset or empty.
std::filesystem::path homeDirectory();
// $XDG_CONFIG_HOME when it is an absolute path, otherwise ~/.config.
std::filesystem::path userConfigHome();
// $XDG_CACHE_HOME when it is an absolute path, otherwise ~/.cache.
std::filesystem::path userCacheHome();

}  // namespace nubrio::linux_platform
