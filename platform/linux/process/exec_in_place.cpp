#include "platform/linux/process/exec_in_place.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/base/system_error.h"

extern char** environ;

// glibc declares close_range(); its flag comes from the kernel's headers, which may be older.
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace nubrio::linux_platform {

namespace {

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Everything from `first` on closes at exec: descriptors that libraries opened without O_CLOEXEC
// (a display connection, a bus) must not keep the old windows and names alive in the new program.
void closeOnExecFrom(int first) {
    if (::close_range(static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    // Before Linux 5.11: one by one.
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) return;
    const int own = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd < first || fd == own) continue;
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
    ::closedir(folder);
}

}  // namespace

platform::Error execInPlace(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                            int listener) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The environment as it is, without a hand-over of anyone else's.
    std::vector<std::string> handOver;
    std::vector<char*> envp;
    for (char** entry = environ; entry && *entry; ++entry)
        if (!startsWith(*entry, "LISTEN_PID=") && !startsWith(*entry, "LISTEN_FDS=") &&
            !startsWith(*entry, "LISTEN_FDNAMES="))
            envp.push_back(*entry);

    int passed = -1;
    if (listener >= 0) {
        // The protocol's first descriptor is 3; whatever held it closes at exec anyway.
        passed = listener == SD_LISTEN_FDS_START ? listener : ::dup2(listener, SD_LISTEN_FDS_START);
        if (passed >= 0 && ::fcntl(passed, F_SETFD, 0) == 0) {
            handOver = {"LISTEN_PID=" + std::to_string(::getpid()), "LISTEN_FDS=1"};
            for (std::string& variable : handOver) envp.push_back(variable.data());
        } else {
            passed = -1;
        }
    }
    envp.push_back(nullptr);

    closeOnExecFrom(passed >= 0 ? passed + 1 : SD_LISTEN_FDS_START);
    ::execve(program.c_str(), argv.data(), envp.data());
    const int error = errno;
    if (passed >= 0 && passed != listener) ::close(passed);
    return systemError(error, program.string());
}

int takeInheritedListener() {
    // Checks LISTEN_PID against this process, marks the descriptor close-on-exec and removes the
    // variables, so the worker inherits neither.
    return sd_listen_fds(1) == 1 ? SD_LISTEN_FDS_START : -1;
}

}  // namespace nubrio::linux_platform
