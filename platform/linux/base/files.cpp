#include "platform/linux/base/files.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/unique_fd.h"

namespace nubrio::linux_platform::files {

namespace {

std::optional<std::string> notRead(ReadFailure* failure, bool missing, std::string why) {
    if (failure) *failure = ReadFailure{missing, std::move(why)};
    return std::nullopt;
}

// Skipped on purpose: said in the log, as nobody else will.
std::optional<std::string> skipped(ReadFailure* failure, const std::filesystem::path& path, const std::string& why) {
    program_log::write("skipped " + path.string() + ": " + why);
    return notRead(failure, false, why);
}

}  // namespace

bool fitForReading(const std::filesystem::path& path, std::size_t maxBytes, std::string* why) {
    // What cannot be opened, the library cannot open either: it skips it without waiting.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return true;
    std::string reason;
    // A folder fails the library's read at once; a FIFO or a device would wait or never end.
    if (S_ISFIFO(info.st_mode))
        reason = "a FIFO";
    else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        reason = "a device";
    else if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) > maxBytes)
        reason = std::to_string(info.st_size) + " bytes, more than the " + std::to_string(maxBytes) +
                 " a file of its kind may have";
    else
        return true;
    if (why) *why = std::move(reason);
    return false;
}

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes, ReadFailure* failure) {
    // Non-blocking, so that opening a FIFO does not wait for a writer; the kind is checked next.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        const int code = errno;
        return notRead(failure, code == ENOENT || code == ENOTDIR, systemError(code, path.string()).message);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return notRead(failure, false, systemError(errno, path.string()).message);
    if (!S_ISREG(info.st_mode)) return skipped(failure, path, "not a regular file (a FIFO, a device or a folder)");
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes)
        return skipped(failure, path, std::to_string(info.st_size) + " bytes, more than the " +
                                          std::to_string(maxBytes) + " a file of its kind may have");

    // The size may change while reading: read one byte past the bound to notice a file that grew.
    std::string bytes;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return notRead(failure, false, systemError(errno, path.string()).message);
        if (n == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) return skipped(failure, path, "grew beyond its bound while being read");
    }
    return bytes;
}

std::optional<platform::Error> writeFileAtomically(const std::filesystem::path& path, const std::string& contents,
                                                   int mode) {
    const std::filesystem::path folder = path.parent_path();
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) return systemError(errno, folder.string());
    GErrorOut error;
    if (!g_file_set_contents_full(path.c_str(), contents.data(), static_cast<gssize>(contents.size()),
                                  G_FILE_SET_CONTENTS_CONSISTENT, mode, error))
        return gioError(error.get());
    return std::nullopt;
}

}  // namespace nubrio::linux_platform::files
