#include "platform/linux/base/xdg_dirs.h"

#include <cstdlib>
#include <pwd.h>
#include <string_view>
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

std::vector<std::filesystem::path> searchPath(const char* variable, std::vector<std::filesystem::path> fallback) {
    std::vector<std::filesystem::path> folders;
    const char* value = std::getenv(variable);
    for (std::string_view rest = value ? value : ""; !rest.empty();) {
        const std::size_t colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        if (!folder.empty() && folder[0] == '/') folders.emplace_back(folder);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return folders.empty() ? fallback : folders;
}

}  // namespace

std::filesystem::path userConfigHome() { return baseDirectory("XDG_CONFIG_HOME", ".config"); }

std::filesystem::path userDataHome() { return baseDirectory("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path userCacheHome() { return baseDirectory("XDG_CACHE_HOME", ".cache"); }

std::optional<std::filesystem::path> userRuntimeDir() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (!value || !*value) return std::nullopt;
    return std::filesystem::path(value);
}

std::vector<std::filesystem::path> systemConfigDirs() { return searchPath("XDG_CONFIG_DIRS", {"/etc/xdg"}); }

std::vector<std::filesystem::path> systemDataDirs() {
    return searchPath("XDG_DATA_DIRS", {"/usr/local/share", "/usr/share"});
}

}  // namespace nubrio::linux_platform
