#include "platform/linux/process/spawn.h"

#include <algorithm>
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

// How long a dismissed watcher has to end before it is killed; an idle one ends at once.
constexpr int kDismissPatienceMs = 500;

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

// Calls `visit(name)` for each process entry of /proc, until it returns true; false when /proc
// cannot be read. Plain system calls only.
template <typename Visit>
bool forEachProcess(Visit visit) {
    const UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.valid()) return false;
    alignas(8) char buffer[8192];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, proc.get(), buffer, sizeof buffer);
        if (n <= 0) return true;
        for (long offset = 0; offset < n;) {
            struct Entry {
                ino64_t inode;
                off64_t next;
                unsigned short length;
                unsigned char type;
                char name[1];
            };
            const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
            if (entry->name[0] >= '1' && entry->name[0] <= '9' && visit(entry->name)) return true;
            offset += entry->length;
        }
    }
}

// Whether any process of the group still runs.
bool groupHasLiveMember(pid_t group) {
    if (::kill(-group, 0) != 0 && errno == ESRCH) return false;
    bool found = false;
    if (!forEachProcess([&](const char* name) { return found = liveMemberEntry(name, group); }))
        return true;  // cannot tell: assume it does
    return found;
}

pid_t pidOf(const char* name) {
    pid_t value = 0;
    for (; *name >= '0' && *name <= '9'; ++name) value = value * 10 + (*name - '0');
    return value;
}

void pidText(pid_t pid, char (&text)[16]) {
    char reversed[16];
    int length = 0;
    do {
        reversed[length++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid > 0 && length < 15);
    for (int i = 0; i < length; ++i) text[i] = reversed[length - 1 - i];
    text[length] = '\0';
}

int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool pidfdSignal(int pidfd, int signal) { return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0; }

// Not reaped yet: until then its pid, and the number of a group it leads, name nothing else.
bool unreaped(int pidfd) { return pidfd >= 0 && pidfdSignal(pidfd, 0); }

// A pidfd turns readable when its process ends; a zombie has ended.
bool ended(int pidfd) {
    pollfd descriptor{pidfd, POLLIN, 0};
    return ::poll(&descriptor, 1, 0) != 0;
}

// The processes of a group that are provably that group's, each held by a pidfd, so that a signal
// through it reaches that process and no other that took its pid since. A group's number stays
// reserved while its leader is unreaped or any member lives: a process found in the group while
// one of those holds is one of ours. Once neither holds, nobody new is taken in, and the number
// is never used again. Fixed-size, with plain system calls only: a freshly forked process runs it.
class GroupMembers {
public:
    GroupMembers(pid_t group, int leaderPidfd) : group_(group), leaderPidfd_(leaderPidfd) {}
    GroupMembers(const GroupMembers&) = delete;
    GroupMembers& operator=(const GroupMembers&) = delete;
    ~GroupMembers() {
        for (int i = 0; i < count_; ++i) ::close(pidfds_[i]);
    }

    // Takes in the group's processes not held yet, and sends them `signal` (0: none). With
    // `vouched`, the caller knows the group to be its own right now (its leader just ended).
    // False when pidfds are not available at all.
    bool collect(int signal, bool vouched) {
        const int before = count_;
        if (!vouched && !anchored(before)) return true;
        bool available = true;
        forEachProcess([&](const char* name) {
            const pid_t pid = pidOf(name);
            if (held(pid) || !liveMemberEntry(name, group_)) return false;
            const int pidfd = pidfdOpen(pid);
            if (pidfd < 0) {
                if (errno == ENOSYS) available = false;
                return !available;
            }
            // Read again now that the pidfd pins the process: the pid may have changed hands.
            if (count_ == kMaxMembers || !liveMemberEntry(name, group_) || ended(pidfd)) {
                ::close(pidfd);
                return false;
            }
            pids_[count_] = pid;
            pidfds_[count_++] = pidfd;
            return false;
        });
        // Someone held the number all along, or what was found may belong to a group that took it.
        if (!vouched && !anchored(before)) {
            while (count_ > before) ::close(pidfds_[--count_]);
            return available;
        }
        if (signal != 0)
            for (int i = before; i < count_; ++i) pidfdSignal(pidfds_[i], signal);
        return available;
    }

    bool anyLive() const {
        for (int i = 0; i < count_; ++i)
            if (!ended(pidfds_[i])) return true;
        return false;
    }

    void signalLive(int signal) const {
        for (int i = 0; i < count_; ++i)
            if (!ended(pidfds_[i])) pidfdSignal(pidfds_[i], signal);
    }

private:
    static constexpr int kMaxMembers = 256;

    bool held(pid_t pid) const {
        for (int i = 0; i < count_; ++i)
            if (pids_[i] == pid && !ended(pidfds_[i])) return true;
        return false;
    }

    // Whether the group's number is reserved for our group: its leader unreaped, or one of the first
    // `members` still in it.
    bool anchored(int members) const {
        if (unreaped(leaderPidfd_)) return true;
        for (int i = 0; i < members; ++i) {
            char name[16];
            pidText(pids_[i], name);
            if (liveMemberEntry(name, group_) && !ended(pidfds_[i])) return true;
        }
        return false;
    }

    pid_t group_;
    int leaderPidfd_;
    pid_t pids_[kMaxMembers]{};
    int pidfds_[kMaxMembers]{};
    int count_ = 0;
};

// The stop sequence by the group's number alone, for kernels without pidfds.
void stopGroupByNumber(pid_t group, const StopSequence& sequence) {
    if (!groupHasLiveMember(group)) return;
    ::kill(-group, sequence.terminateSignal);
    for (int poll = 0; poll < sequence.polls; ++poll) {
        if (!groupHasLiveMember(group)) return;
        sleepMicroseconds(sequence.pollIntervalMicroseconds);
    }
    ::kill(-group, sequence.killSignal);
    for (int poll = 0; poll < sequence.polls * 10 && groupHasLiveMember(group); ++poll) sleepMicroseconds(10'000);
}

// What the child failed at, and its errno.
enum class ChildStep : int { Setup, Folder, Exec };
struct ChildFailure {
    ChildStep step;
    int code;
};

[[noreturn]] void reportAndExit(int errorPipe, ChildStep step, int code) {
    const ChildFailure failure{step, code};
    [[maybe_unused]] ssize_t ignored = ::write(errorPipe, &failure, sizeof failure);
    ::_exit(127);
}

// A working folder that is missing because it could not be made (the data folder under a home we may
// not write, or under no home at all): what keeps the deepest existing folder from taking the next
// one is the cause, and the missing folder only its consequence.
int whyFolderIsMissing(const std::filesystem::path& folder) {
    std::filesystem::path existing = folder;
    std::error_code error;
    while (existing.has_relative_path() && !std::filesystem::exists(existing, error)) existing = existing.parent_path();
    if (existing == folder) return ENOENT;  // it is there now
    if (!std::filesystem::is_directory(existing, error)) return ENOTDIR;
    if (::faccessat(AT_FDCWD, existing.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
    return ENOENT;
}

[[noreturn]] void runChild(const SpawnRequest& request, char* const argv[], pid_t parent, int errorPipe,
                           const sigset_t& unblocked) {
    resetSignals();
    ::setpgid(0, 0);
    // If the parent has ended already, the signal would never come: then the worker must not start.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) ::_exit(127);
    if (request.nullStandardInput) {
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || ::dup2(null, STDIN_FILENO) < 0) reportAndExit(errorPipe, ChildStep::Setup, errno);
    }
    if (request.folder && ::chdir(request.folder->c_str()) != 0) reportAndExit(errorPipe, ChildStep::Folder, errno);
    // The error pipe closes by itself at the exec.
    closeDescriptorsFrom3Except(errorPipe);
    ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    ::execve(request.executable.c_str(), argv, environ);
    reportAndExit(errorPipe, ChildStep::Exec, errno);
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

    // Nothing to read means the exec happened; otherwise what the child failed at, and it is gone.
    ChildFailure failure{ChildStep::Setup, EIO};
    ssize_t n;
    do {
        n = ::read(readEnd.get(), &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return std::nullopt;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    if (n != sizeof failure) return systemError(EIO);
    if (failure.step == ChildStep::Folder && failure.code == ENOENT && request.folder)
        return systemError(whyFolderIsMissing(*request.folder));
    return systemError(failure.code);
}

void stopProcessGroup(pid_t group, const StopSequence& sequence, int leaderPidfd) {
    if (group <= 0) return;
    GroupMembers members(group, leaderPidfd);
    // Without a leader to show it, the caller vouches for the group as it is now.
    if (!members.collect(0, leaderPidfd < 0)) return stopGroupByNumber(group, sequence);
    if (!members.anyLive()) return;
    members.signalLive(sequence.terminateSignal);
    // Children forked meanwhile join in, as long as the group is still provably ours: looked for about
    // once a second, and before the group counts as gone; a poll itself only asks the pidfds.
    const unsigned interval = std::max(1u, sequence.pollIntervalMicroseconds);
    const int pollsPerSecond = std::max(1, static_cast<int>(1'000'000 / interval));
    for (int poll = 0; poll < sequence.polls; ++poll) {
        if (poll % pollsPerSecond == 0 || !members.anyLive()) {
            members.collect(sequence.terminateSignal, false);
            if (!members.anyLive()) return;
        }
        sleepMicroseconds(sequence.pollIntervalMicroseconds);
    }
    members.collect(0, false);
    members.signalLive(sequence.killSignal);
    // The kill takes effect once a member leaves the kernel: whoever waits for the group (a restart
    // needing the port) waits for that too, within the same bound.
    for (int poll = 0; poll < sequence.polls * 10 && members.anyLive(); ++poll) sleepMicroseconds(10'000);
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
        stopProcessGroup(group, sequence, workerPidfd);
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
    // Our own unreaped child: its pid cannot name anyone else. A watcher that was stopped (SIGSTOP)
    // would never act on SIGTERM: after a short wait it is killed, so that nothing waits for it.
    ::kill(pid_, SIGTERM);
    for (int waited = 0; waited < kDismissPatienceMs / 10; ++waited) {
        pid_t result;
        do {
            result = ::waitpid(pid_, nullptr, WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result != 0) {
            pid_ = -1;
            return;
        }
        timespec tenMs{0, 10'000'000};
        ::nanosleep(&tenMs, nullptr);
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace nubrio::linux_platform
