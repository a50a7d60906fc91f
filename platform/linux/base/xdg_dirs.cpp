#include "platform/linux/base/xdg_dirs.h"

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

namespace {

// The base-directory rules say a relative value is invalid and must be ignored.
std::filesystem::path baseDirectory(const char* variable, const char* underHome) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return value;
    return homeDirectory() / underHome;
}

}  // namespace

std::filesystem::path userConfigHome() { return baseDirectory("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path userCacheHome() { return baseDirectory("XDG_CACHE_HOME", ".cache"); }

}  // namespace nubrio::linux_platform
