#include "platform/linux/xdg_dirs.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace nubrio::linux_platform {

std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

std::filesystem::path userConfigHome() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // The base-directory rules say a relative value is invalid and must be ignored.
    if (config && config[0] == '/') return config;
    return homeDirectory() / ".config";
}

}  // namespace nubrio::linux_platform
