#include "platform/linux/base/files.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/unique_fd.h"

namespace nubrio::linux_platform::files {

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes) {
    // Non-blocking, so that opening a FIFO does not wait for a writer; the kind is checked next.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) return std::nullopt;

    // The size may change while reading: read one byte past the bound to notice a file that grew.
    std::string bytes;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) return std::nullopt;
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
