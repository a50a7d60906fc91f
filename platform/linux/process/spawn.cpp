#include "platform/linux/process/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/base/system_error.h"
#include "platform/linux/base/unique_fd.h"

extern char** environ;

namespace nubrio::linux_platform {

namespace {

// Everything between fork and exec (or _exit) is async-signal-safe: the parent has other threads,
// whose locks a child must never wait for.

void resetSignals() {
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP) ::sigaction(signal, &byDefault, nullptr);
}

// Closes every descriptor from 3 up, except `keep`.
void closeDescriptorsFrom3Except(int keep) {
    auto closeRange = [](unsigned first, unsigned last) {
        if (first > last) return;
        if (::syscall(SYS_close_range, first, last, 0) == 0) return;
        for (unsigned fd = first; fd <= last && fd < 65536; ++fd) ::close(static_cast<int>(fd));
    };
    if (keep < 3) {
        closeRange(3, ~0U);
        return;
    }
    closeRange(3, static_cast<unsigned>(keep) - 1);
    closeRange(static_cast<unsigned>(keep) + 1, ~0U);
}

void sleepMicroseconds(unsigned microseconds) {
    timespec interval{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    while (::nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

// Whether the process whose /proc entry is `name` belongs to the group and has not ended. A member
// that has ended stays a zombie until its new parent (init, or whichever process adopts orphans)
// reaps it, which may take a while, and must not hold up the stop.
bool liveMemberEntry(const char* name, pid_t group) {
    char path[64] = "/proc/";
    std::size_t length = 6;
    for (const char* c = name; *c && length < sizeof path - 6; ++c) path[length++] = *c;
    const char tail[] = "/stat";
    for (const char* c = tail; *c; ++c) path[length++] = *c;
    path[length] = '\0';
    char stat[512];
    ssize_t n;
    {
        const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return false;
        n = ::read(fd.get(), stat, sizeof stat - 1);
    }
    if (n <= 0) return false;
    stat[n] = '\0';
    // "pid (comm) state ppid pgrp ...": the command may hold spaces and parentheses, so after the last ')'.
    const char* field = nullptr;
    for (ssize_t i = n - 1; i >= 0; --i)
        if (stat[i] == ')') {
            field = stat + i + 2;
            break;
        }
    if (!field || field >= stat + n) return false;
    const char state = *field;
    if (state == 'Z' || state == 'X') return false;
    for (int skip = 0; skip < 2; ++skip) {  // to the third field, the group
        while (*field && *field != ' ') ++field;
        if (*field) ++field;
    }
    long value = 0;
    for (; *field >= '0' && *field <= '9'; ++field) value = value * 10 + (*field - '0');
    return value == group;
}

// Whether any process of the group still runs. Reads /proc with plain system calls only.
bool groupHasLiveMember(pid_t group) {
    if (::kill(-group, 0) != 0 && errno == ESRCH) return false;
    const UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.valid()) return true;  // cannot tell: assume it does
    alignas(8) char buffer[8192];
    bool found = false;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, proc.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        for (long offset = 0; offset < n && !found;) {
            struct Entry {
                ino64_t inode;
                off64_t next;
                unsigned short length;
                unsigned char type;
                char name[1];
            };
            const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
            if (entry->name[0] >= '1' && entry->name[0] <= '9') found = liveMemberEntry(entry->name, group);
            offset += entry->length;
        }
        if (found) break;
    }
    return found;
}

[[noreturn]] void reportAndExit(int errorPipe, int code) {
    [[maybe_unused]] ssize_t ignored = ::write(errorPipe, &code, sizeof code);
    ::_exit(127);
}

[[noreturn]] void runChild(const SpawnRequest& request, char* const argv[], pid_t parent, int errorPipe,
                           const sigset_t& unblocked) {
    resetSignals();
    ::setpgid(0, 0);
    // If the parent has ended already, the signal would never come: then the worker must not start.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);
    if (request.nullStandardInput) {
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || ::dup2(null, STDIN_FILENO) < 0) reportAndExit(errorPipe, errno);
    }
    if (request.folder && ::chdir(request.folder->c_str()) != 0) reportAndExit(errorPipe, errno);
    // The error pipe closes by itself at the exec.
    closeDescriptorsFrom3Except(errorPipe);
    ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    ::execve(request.executable.c_str(), argv, environ);
    reportAndExit(errorPipe, errno);
}

// Forks with every signal blocked in this thread, so that none of our handlers runs in the child
// before it has reset them; `child` runs in the child and never returns.
template <typename Child>
pid_t forkWithSignalsBlocked(Child child) {
    sigset_t all, previous, none;
    sigfillset(&all);
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) child(none);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = forkError;
    return pid;
}

}  // namespace

std::optional<platform::Error> spawnInOwnGroup(const SpawnRequest& request, pid_t& pid) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return systemError(errno);
    UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);

    std::string program = request.executable.string();
    char* argv[] = {program.data(), nullptr};
    const pid_t parent = ::getpid();
    const int errorPipe = writeEnd.get();
    pid = forkWithSignalsBlocked(
        [&](const sigset_t& unblocked) { runChild(request, argv, parent, errorPipe, unblocked); });
    if (pid < 0) return systemError(errno);
    writeEnd.reset();

    // Nothing to read means the exec happened; otherwise the child's errno, and the child is gone.
    int childError = 0;
    ssize_t n;
    do {
        n = ::read(readEnd.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return std::nullopt;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return systemError(n == sizeof childError ? childError : EIO);
}

void stopProcessGroup(pid_t group, const StopSequence& sequence) {
    if (group <= 0 || !groupHasLiveMember(group)) return;
    ::kill(-group, sequence.terminateSignal);
    for (int poll = 0; poll < sequence.polls; ++poll) {
        if (!groupHasLiveMember(group)) return;
        sleepMicroseconds(sequence.pollIntervalMicroseconds);
    }
    ::kill(-group, sequence.killSignal);
    // The kill takes effect once a member leaves the kernel: whoever waits for the group (a restart
    // needing the port) waits for that too, within the same bound.
    for (int poll = 0; poll < sequence.polls * 10 && groupHasLiveMember(group); ++poll) {
        timespec interval{0, 10'000'000};
        while (::nanosleep(&interval, &interval) != 0 && errno == EINTR) {
        }
    }
}

std::optional<GroupGuard> GroupGuard::start(pid_t group, int workerPidfd, const StopSequence& sequence) {
    const pid_t program = ::getpid();
    const pid_t pid = forkWithSignalsBlocked([&](const sigset_t&) {
        resetSignals();
        // Out of the program's session and group, so that a terminal's signals for them miss it.
        ::setsid();
        ::prctl(PR_SET_NAME, "nubrio-guard");
        closeDescriptorsFrom3Except(workerPidfd);
        sigset_t waitFor;
        sigemptyset(&waitFor);
        sigaddset(&waitFor, SIGUSR1);  // the program has ended
        sigaddset(&waitFor, SIGTERM);  // dismissed
        ::prctl(PR_SET_PDEATHSIG, SIGUSR1);
        int received = SIGUSR1;
        if (::getppid() == program) {
            siginfo_t info;
            while ((received = ::sigwaitinfo(&waitFor, &info)) < 0 && errno == EINTR) {
            }
        }
        if (received == SIGTERM) ::_exit(0);
        stopProcessGroup(group, sequence);
        // A worker that left its group is not reached through it; its pidfd still names it alone.
        if (workerPidfd >= 0) ::syscall(SYS_pidfd_send_signal, workerPidfd, sequence.killSignal, nullptr, 0);
        ::_exit(0);
    });
    if (pid < 0) return std::nullopt;
    return GroupGuard(pid);
}

GroupGuard::GroupGuard(GroupGuard&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

GroupGuard& GroupGuard::operator=(GroupGuard&& other) noexcept {
    if (this != &other) {
        dismiss();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

GroupGuard::~GroupGuard() { dismiss(); }

void GroupGuard::dismiss() {
    if (pid_ <= 0) return;
    // Our own unreaped child: its pid cannot name anyone else.
    ::kill(pid_, SIGTERM);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace nubrio::linux_platform
