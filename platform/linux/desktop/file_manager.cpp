#include "platform/linux/desktop/file_manager.h"

#include <glib/gstdio.h>

#include <cerrno>
#include <sys/stat.h>

#include "platform/linux/base/files.h"
#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/utf8.h"
#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/desktop/gio_library.h"

namespace nubrio::linux_platform {

namespace {

bool isDirectory(const std::filesystem::path& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Folders made here hold the user's data and logs: private to the user (less the umask). An existing
// folder keeps its mode.
std::optional<platform::Error> makeDirectory(const std::filesystem::path& path, bool withIntermediates) {
    if (withIntermediates) {
        if (g_mkdir_with_parents(path.c_str(), 0700) != 0) return systemError(errno, path.string());
        return std::nullopt;
    }
    if (mkdir(path.c_str(), 0700) != 0) {
        const int code = errno;
        if (code == EEXIST && isDirectory(path)) return std::nullopt;
        return systemError(code, path.string());
    }
    return std::nullopt;
}

}  // namespace

std::filesystem::path LinuxFileManager::homeDirectoryForCurrentUser() {
    return homeDirectory();
}

std::filesystem::path LinuxFileManager::applicationSupportDirectory() {
    return applicationSupport_ ? *applicationSupport_ : userDataHome();
}

std::optional<platform::Error> LinuxFileManager::createDirectory(const std::filesystem::path& path,
                                                                 bool withIntermediates) {
    std::optional<platform::Error> error = makeDirectory(path, withIntermediates);
    if (error) program_log::write("cannot create a folder: " + error->message);
    return error;
}

std::filesystem::path LinuxFileManager::resolvingSymlinks(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved;
}

std::optional<platform::Error> LinuxFileManager::trashItem(const std::filesystem::path& path) {
    GErrorOut error;
    const gio::Library* gio = gio::library(error);
    if (!gio) return gioError(error.get());
    const GObjectPtr<GFile> file(gio->file_new_for_path(path.c_str()));
    if (!gio->file_trash(file.get(), nullptr, error)) return gioError(error.get());
    return std::nullopt;
}

std::optional<std::string> LinuxFileManager::readUtf8(const std::filesystem::path& path, std::size_t maxBytes) {
    std::optional<std::string> text = files::readFile(path, maxBytes);
    if (!text || !isValidUtf8(*text)) return std::nullopt;
    return text;
}

}  // namespace nubrio::linux_platform
