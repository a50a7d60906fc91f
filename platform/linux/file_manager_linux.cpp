#include "platform/linux/file_manager_linux.h"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "platform/linux/system_error.h"
#include "platform/linux/xdg_dirs.h"

namespace nubrio::linux_platform {

namespace {

bool isDirectory(const std::filesystem::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// g_utf8_validate_len refuses NUL bytes, which are valid UTF-8: validate the runs between them.
bool isValidUtf8(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        if (!g_utf8_validate_len(text.data() + start, end - start, nullptr)) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

std::filesystem::path LinuxFileManager::homeDirectoryForCurrentUser() {
    return homeDirectory();
}

std::optional<platform::Error> LinuxFileManager::createDirectory(const std::filesystem::path& path,
                                                                 bool withIntermediates) {
    if (withIntermediates) {
        if (g_mkdir_with_parents(path.c_str(), 0777) != 0) return systemError(errno, path.string());
        return std::nullopt;
    }
    if (mkdir(path.c_str(), 0777) != 0) {
        const int code = errno;
        if (code == EEXIST && isDirectory(path)) return std::nullopt;
        return systemError(code, path.string());
    }
    return std::nullopt;
}

std::optional<platform::Error> LinuxFileManager::trashItem(const std::filesystem::path& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GError* error = nullptr;
    const bool trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (trashed) return std::nullopt;
    platform::Error failure = gioError(error);
    g_error_free(error);
    return failure;
}

std::optional<std::string> LinuxFileManager::readUtf8(const std::filesystem::path& path) {
    char* data = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &data, &length, nullptr)) return std::nullopt;
    std::string text(data, length);
    g_free(data);
    if (!isValidUtf8(text)) return std::nullopt;
    return text;
}

}  // namespace nubrio::linux_platform
