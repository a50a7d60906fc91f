#include "platform/linux/shell/module_loader.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/base/loaded_library.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/base/trusted_file.h"
#include "platform/linux/base/unique_fd.h"

extern char** environ;

namespace nubrio::linux_platform::module_loader {

namespace {

// The trial says at most a reason; a module that chatters is cut off.
constexpr std::size_t kMaxTrialOutput = 4096;

// The dynamic loader names the file as it was opened, /proc/self/fd/<n>: the reader wants the module.
std::string inTermsOfModule(std::string text, const std::string& opened, const Module& module) {
    const std::string named = opened + ":";
    for (std::size_t at = text.find(named); at != std::string::npos; at = text.find(named, at))
        text.replace(at, opened.size(), module.file.string());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// "cannot load <module>: <why>", naming the module once.
std::string cannotLoad(const Module& module, const std::string& why) {
    const std::string path = module.file.string();
    if (why.compare(0, path.size() + 1, path + ":") == 0) return "cannot load " + why;
    return "cannot load " + path + ": " + why;
}

// Reads what the pipe holds now, keeping up to the bound; false once it is at its end.
bool readAvailable(int fd, std::string& into) {
    char chunk[1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN;
        const std::size_t room = kMaxTrialOutput - std::min(into.size(), kMaxTrialOutput);
        into.append(chunk, std::min(static_cast<std::size_t>(n), room));
    }
}

UniqueFd aboveStandardDescriptors(UniqueFd fd) {
    if (!fd.valid() || fd.get() > 3) return fd;
    return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 4));
}

// Starts the trial on the module's descriptor (its descriptor 3), its output into `writer`.
int spawnTrial(int trial, int moduleFd, int writer, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writer, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writer, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, moduleFd, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string program = trusted_file::descriptorPath(trial);
    std::string name = "nubrio-load-trial";
    std::string parent = std::to_string(::getpid());
    char* arguments[] = {name.data(), parent.data(), nullptr};
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// Loads the module in the trial's process; empty when it loaded there, otherwise why it did not.
std::string tryInOwnProcess(const Module& module, int moduleFd) {
    std::string failure;
    const UniqueFd trial = trusted_file::open(module.trial, module.owner, failure);
    if (!trial.valid()) return "cannot try it: " + failure;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return "cannot try it: " + systemError(errno).message;
    UniqueFd reader(ends[0]);
    UniqueFd writer = aboveStandardDescriptors(UniqueFd(ends[1]));
    if (!writer.valid()) return "cannot try it: " + systemError(errno).message;

    pid_t pid = -1;
    if (const int error = spawnTrial(trial.get(), moduleFd, writer.get(), pid))
        return "cannot try it: " + systemError(error, module.trial.string()).message;
    writer.reset();

    // The pidfd wakes the wait when the trial ends; without one (an old kernel) it looks every 10 ms.
    const UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(module.trialSeconds);
    std::string output;
    bool reading = true;
    int status = 0;
    bool reaped = false;
    bool statusLost = false;
    for (;;) {
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid || (result < 0 && errno == ECHILD)) {
            reaped = true;
            statusLost = result < 0;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd watched[2] = {{reading ? reader.get() : -1, POLLIN, 0}, {ended.get(), POLLIN, 0}};
        const int wait = ended.valid() ? static_cast<int>(left.count()) : std::min(10, static_cast<int>(left.count()));
        ::poll(watched, 2, wait);
        if (reading) reading = readAvailable(reader.get(), output);
    }
    if (!reaped) {
        // Still our unreaped child, so its pid is its own.
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return "loading it in a trial took more than " + std::to_string(static_cast<int>(module.trialSeconds)) + " s";
    }
    if (reading) readAvailable(reader.get(), output);
    const std::string said = inTermsOfModule(output, "/proc/self/fd/3", module);
    // With SIGCHLD ignored the status is gone: the trial says why only when loading failed.
    if (statusLost) return said;
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* abbreviation = sigabbrev_np(signal);
        const char* description = sigdescr_np(signal);
        return "loading it in a trial ended with signal " +
               (abbreviation ? "SIG" + std::string(abbreviation) : std::to_string(signal)) +
               (description ? " (" + std::string(description) + ")" : std::string());
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    if (!said.empty()) return said;
    return "the trial ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status);
}

}  // namespace

void* load(const Module& module, const char* entry, std::string& failure) {
    std::string why;
    const UniqueFd fd = trusted_file::open(module.file, module.owner, why);
    if (!fd.valid()) {
        failure = cannotLoad(module, why);
        return nullptr;
    }
    why = tryInOwnProcess(module, fd.get());
    if (!why.empty()) {
        failure = cannotLoad(module, why);
        return nullptr;
    }
    const std::string opened = trusted_file::descriptorPath(fd.get());
    void* handle = loaded_library::open(opened.c_str(), why);
    void* address = handle ? loaded_library::find(handle, entry, why) : nullptr;
    if (!address) failure = cannotLoad(module, inTermsOfModule(why, opened, module));
    return address;
}

}  // namespace nubrio::linux_platform::module_loader
