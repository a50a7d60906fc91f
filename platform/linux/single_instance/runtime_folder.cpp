#include "platform/linux/single_instance/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/single_instance/socket.h"

namespace nubrio::linux_platform {

namespace {

// Ours, a real folder (not a link), no access for anyone else; a folder we make must be exactly 0700.
bool privateFolder(const std::filesystem::path& path, bool exactly0700) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) return false;
    const mode_t permissions = info.st_mode & 07777;
    return exactly0700 ? permissions == 0700 : (permissions & 0077) == 0;
}

}  // namespace

RuntimeFolderCandidates RuntimeFolderCandidates::forThisUser() {
    RuntimeFolderCandidates candidates;
    candidates.xdgRuntimeDir = linux_platform::userRuntimeDir();
    const std::string uid = std::to_string(::getuid());
    candidates.userRuntimeDir = std::filesystem::path("/run/user") / uid;
    candidates.cacheFolder = userCacheHome() / "nubrio";
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error) temporary = "/tmp";
    candidates.temporaryFolder = temporary / ("nubrio-" + uid);
    return candidates;
}

std::optional<std::filesystem::path> runtimeFolder(const RuntimeFolderCandidates& candidates,
                                                   const std::string& socketName) {
    // A folder we may not write (a runtime folder made 0500) cannot take the socket: every copy then
    // agrees on the next one instead of running without one.
    auto usable = [&](const std::filesystem::path& folder, bool made) {
        return folder.is_absolute() && privateFolder(folder, made) && ::access(folder.c_str(), W_OK | X_OK) == 0 &&
               instance_socket::fits(folder / socketName);
    };
    if (candidates.xdgRuntimeDir && usable(*candidates.xdgRuntimeDir, false)) return candidates.xdgRuntimeDir;
    if (usable(candidates.userRuntimeDir, false)) return candidates.userRuntimeDir;
    for (const std::filesystem::path& folder : {candidates.cacheFolder, candidates.temporaryFolder}) {
        if (!folder.is_absolute()) continue;
        std::error_code ignored;
        std::filesystem::create_directories(folder.parent_path(), ignored);
        // Someone else may have made it first: it is used only when it is ours and private.
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) continue;
        if (usable(folder, true)) return folder;
    }
    return std::nullopt;
}

}  // namespace nubrio::linux_platform
