#include "platform/linux/process/process_info.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "platform/linux/base/program_log.h"
#include "platform/linux/process/task.h"

namespace nubrio::linux_platform {

LinuxProcessInfo::LinuxProcessInfo(int argc, char** argv, LiveTasks& tasks)
    : arguments_(argv, argv + argc), tasks_(tasks) {}

int LinuxProcessInfo::processIdentifier() { return ::getpid(); }

std::vector<std::string> LinuxProcessInfo::arguments() { return arguments_; }

void LinuxProcessInfo::writeStandardError(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report it
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void LinuxProcessInfo::exit(int status) {
    program_log::flush();
    std::fflush(nullptr);
    ::_exit(status);
}

int LinuxProcessInfo::kill(int pid, int signal) { return ::kill(pid, signal) == 0 ? 0 : -1; }

void LinuxProcessInfo::usleep(unsigned microseconds) {
    tasks_.sleepUnlessOneEnds(std::chrono::microseconds(microseconds));
}

}  // namespace nubrio::linux_platform
