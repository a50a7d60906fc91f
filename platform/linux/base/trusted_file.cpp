#include "platform/linux/base/trusted_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/linux/base/system_error.h"

namespace nubrio::linux_platform::trusted_file {

namespace {

std::string kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

}  // namespace

UniqueFd open(const std::filesystem::path& path, uid_t owner, std::string& failure) {
    UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        failure = systemError(errno, path.string()).message;
        return {};
    }
    if (fd.get() <= 3) {
        fd = UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 4));
        if (!fd.valid()) {
            failure = systemError(errno, path.string()).message;
            return {};
        }
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        failure = systemError(errno, path.string()).message;
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        failure = path.string() + ": " + kindOf(info.st_mode) + ", not a regular file";
        return {};
    }
    if (info.st_uid != owner && info.st_uid != 0) {
        failure = path.string() + ": owned by user " + std::to_string(info.st_uid) + ", not by the bundle's owner (" +
                  std::to_string(owner) + ") or root";
        return {};
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        failure = path.string() + ": writable by " + ((info.st_mode & S_IWOTH) ? "others" : "its group");
        return {};
    }
    return fd;
}

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace nubrio::linux_platform::trusted_file
