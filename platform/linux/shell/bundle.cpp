#include "platform/linux/shell/bundle.h"

#include <plist/plist.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <linux/magic.h>
#include <memory>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/linux/base/files.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/unique_fd.h"
#include "platform/linux/desktop/launcher.h"

namespace nubrio::linux_platform {

namespace {

// An Info.plist is a few kilobytes; anything far larger is not ours and is not read whole.
constexpr std::size_t kMaxInfoPlistSize = 1024 * 1024;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

uid_t ownerOf(const std::filesystem::path& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

}  // namespace

LinuxBundle::LinuxBundle(std::filesystem::path executable)
    : executable_(std::move(executable)),
      bundle_(executable_.parent_path().parent_path().parent_path()),
      owner_(ownerOf(executable_)) {}

std::optional<std::filesystem::path> LinuxBundle::runningExecutable(std::string& failure) {
    constexpr const char* link = "/proc/self/exe";
    // The link itself, not its target, so that the file system checked is the one that answers.
    const UniqueFd fd(::open(link, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        failure = systemError(errno, link).message;
        return std::nullopt;
    }
    struct statfs fileSystem {};
    if (::fstatfs(fd.get(), &fileSystem) != 0 || fileSystem.f_type != PROC_SUPER_MAGIC) {
        failure = std::string(link) + ": /proc is not the kernel's process file system";
        return std::nullopt;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(fd.get(), "", target, sizeof target);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
        failure = systemError(length < 0 ? errno : ENAMETOOLONG, link).message;
        return std::nullopt;
    }
    std::filesystem::path path(std::string(target, static_cast<std::size_t>(length)));
    if (!path.is_absolute()) {
        failure = std::string(link) + " names no absolute path: " + path.string();
        return std::nullopt;
    }
    return path;
}

platform::InfoValue LinuxBundle::infoValue(const std::string& key) {
    const std::optional<std::string> bytes = files::readFile(bundle_ / "Contents" / "Info.plist", kMaxInfoPlistSize);
    if (!bytes || bytes->empty()) return {};

    plist_t parsed = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &parsed);
    const PlistPtr root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return {};

    plist_t node = plist_dict_get_item(root.get(), key.c_str());
    if (!node) return {};
    if (plist_get_node_type(node) != PLIST_STRING) return {platform::InfoValue::Kind::Other, {}};

    char* text = nullptr;
    plist_get_string_val(node, &text);
    platform::InfoValue value{platform::InfoValue::Kind::String, text ? text : ""};
    free(text);
    return value;
}

std::optional<std::filesystem::path> LinuxBundle::resourcesPath() {
    std::filesystem::path resources = bundle_ / "Contents" / "Resources";
    std::error_code error;
    if (!std::filesystem::is_directory(resources, error)) return std::nullopt;
    return resources;
}

std::filesystem::path LinuxBundle::bundlePath() { return bundle_; }

bool LinuxBundle::installedByPackageManager() { return launcher::isSystemInstall(executable_); }

}  // namespace nubrio::linux_platform
