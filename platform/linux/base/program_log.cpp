#include "platform/linux/base/program_log.h"

#include <glib/gstdio.h>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/base/unique_fd.h"

namespace nubrio::linux_platform::program_log {

namespace {

// Beyond this the file starts afresh, keeping the previous one beside it: failures repeat at most
// once per start or command, so this is never reached in ordinary use.
constexpr off_t kMaxBytes = 256 * 1024;

std::mutex& mutex() {
    static std::mutex instance;
    return instance;
}

std::filesystem::path& path() {
    static std::filesystem::path instance;
    return instance;
}

}  // namespace

void setPath(std::filesystem::path file) {
    std::lock_guard lock(mutex());
    path() = std::move(file);
}

void write(std::string_view line) {
    std::lock_guard lock(mutex());
    const std::filesystem::path& file = path();
    if (file.empty()) return;

    char stamp[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S %z", &local);
    std::string text = std::string(stamp) + " [" + std::to_string(::getpid()) + "] ";
    text.append(line);
    text += '\n';

    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && info.st_size > kMaxBytes)
        std::rename(file.c_str(), (file.string() + ".1").c_str());
    g_mkdir_with_parents(file.parent_path().c_str(), 0700);
    // One write to an O_APPEND file: lines from several threads never interleave.
    // Never waits for a reader of a FIFO planted there, and writes to nothing but a regular file.
    const UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    [[maybe_unused]] const ssize_t written = ::write(fd.get(), text.data(), text.size());
}

}  // namespace nubrio::linux_platform::program_log
