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
#include "platform/linux/shell/bundle_watch.h"

namespace nubrio::linux_platform {

namespace {

// An Info.plist is a few kilobytes; anything far larger is not ours and is not read whole.
constexpr std::size_t kMaxInfoPlistSize = 1024 * 1024;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

std::optional<std::pair<dev_t, ino_t>> fileAt(const std::filesystem::path& path, int* error = nullptr) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (error) *error = errno;
        return std::nullopt;
    }
    return std::make_pair(info.st_dev, info.st_ino);
}

}  // namespace

LinuxBundle::LinuxBundle(std::filesystem::path executable)
    : executable_(std::move(executable)),
      bundle_(executable_.parent_path().parent_path().parent_path()) {
    struct stat info {};
    if (!executable_.empty() && ::stat(executable_.c_str(), &info) == 0) {
        started_ = std::make_pair(info.st_dev, info.st_ino);
        owner_ = info.st_uid;
    }
}

LinuxBundle::~LinuxBundle() = default;

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

    // The bundle's own Info.plist is XML; plist_from_xml has kept its signature across libplist releases.
    plist_t parsed = nullptr;
    plist_from_xml(bytes->data(), static_cast<uint32_t>(bytes->size()), &parsed);
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

platform::ExecutableOnDisk LinuxBundle::executableOnDisk() {
    int error = 0;
    const std::optional<std::pair<dev_t, ino_t>> now = fileAt(executable_, &error);
    if (!now) {
        // Only a path that names nothing counts as gone; any other failure (a permission, the
        // kernel's memory) says nothing about the file.
        return error == ENOENT || error == ENOTDIR ? platform::ExecutableOnDisk::Missing
                                                   : platform::ExecutableOnDisk::Same;
    }
    return started_ && *now != *started_ ? platform::ExecutableOnDisk::Replaced : platform::ExecutableOnDisk::Same;
}

void LinuxBundle::watchForChanges(std::function<void()> changed) {
    watch_ = std::make_unique<BundleWatch>(bundle_, std::move(changed));
}

}  // namespace nubrio::linux_platform
