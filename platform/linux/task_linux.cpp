#include "platform/linux/task_linux.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/system_error.h"

extern char** environ;

namespace nubrio::linux_platform {

namespace {

// Tasks launched and not yet known to have ended, with their pidfds, so that a sleep can wake when one
// of them ends. Entries are removed when their task is reaped.
struct LiveTask {
    const LinuxTask* key;
    std::weak_ptr<LinuxTask> task;
    int pidfd;
};

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<LiveTask>& registry() {
    static std::vector<LiveTask> tasks;
    return tasks;
}

void registerLive(const LinuxTask* key, std::weak_ptr<LinuxTask> task, int pidfd) {
    std::lock_guard lock(registryMutex());
    registry().push_back(LiveTask{key, std::move(task), pidfd});
}

void unregisterLive(const LinuxTask* key) {
    std::lock_guard lock(registryMutex());
    std::erase_if(registry(), [key](const LiveTask& entry) { return entry.key == key || entry.task.expired(); });
}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Checked before spawning, so a missing executable or folder is a launch error with the system's text
// rather than a child that exits 127 (glibc's spawn reports a failed chdir or exec as well).
std::optional<platform::Error> checkLaunchable(const std::filesystem::path& executable,
                                               const std::optional<std::filesystem::path>& folder) {
    struct stat info {};
    if (executable.empty()) return systemError(ENOENT);
    if (::stat(executable.c_str(), &info) != 0) return systemError(errno);
    if (S_ISDIR(info.st_mode)) return systemError(EACCES);  // what execve says of a directory
    if (::access(executable.c_str(), X_OK) != 0) return systemError(errno);
    if (folder) {
        if (::stat(folder->c_str(), &info) != 0) return systemError(errno);
        if (!S_ISDIR(info.st_mode)) return systemError(ENOTDIR);
        if (::access(folder->c_str(), X_OK) != 0) return systemError(errno);
    }
    return std::nullopt;
}

}  // namespace

LinuxTask::~LinuxTask() {
    delete notifier_;
    delete pollTimer_;
    unregisterLive(this);
    if (pidfd_ >= 0) ::close(pidfd_);
}

void LinuxTask::setStandardInputNullDevice() { nullStandardInput_ = true; }

void LinuxTask::setExecutable(const std::filesystem::path& path) { executable_ = path; }

void LinuxTask::setCurrentDirectory(const std::filesystem::path& path) { currentDirectory_ = path; }

void LinuxTask::setTerminationHandler(TerminationHandler handler) { handler_ = std::move(handler); }

std::optional<platform::Error> LinuxTask::launch() {
    if (launched_) return systemError(EINVAL);
    std::shared_ptr<LinuxTask> self = shared_from_this();  // throws unless owned by a shared_ptr

    // The child changes folder before it executes, so a relative executable must be resolved here.
    std::error_code ignored;
    const std::filesystem::path executable =
        executable_.empty() ? executable_ : std::filesystem::absolute(executable_, ignored);
    if (auto error = checkLaunchable(executable, currentDirectory_)) return error;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (nullStandardInput_) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (currentDirectory_) posix_spawn_file_actions_addchdir_np(&actions, currentDirectory_->c_str());
    // Our own descriptors (the single-instance socket among them) are none of the worker's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // Own process group, so the whole group can be signalled; clean signal state, whatever ours is.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);

    std::string argument0 = executable.string();
    char* argv[] = {argument0.data(), nullptr};
    pid_t pid = 0;
    // glibc reports a failed chdir or exec in the child as the result, so nothing runs on failure.
    const int result = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) return systemError(result);

    // Not reaped yet, so the pid cannot have been reused even if the child is already gone.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    {
        std::lock_guard lock(mutex_);
        launched_ = true;
        pid_ = pid;
        pidfd_ = pidfd;
    }
    keepAlive_ = std::move(self);
    if (pidfd >= 0) registerLive(this, weak_from_this(), pidfd);
    watchForExit();
    return std::nullopt;
}

void LinuxTask::watchForExit() {
    if (pidfd_ >= 0) {
        notifier_ = new QSocketNotifier(pidfd_, QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { exitNoticed(); });
        return;
    }
    // Kernels without pidfds: look now and then.
    pollTimer_ = new QTimer;
    QObject::connect(pollTimer_, &QTimer::timeout, pollTimer_, [this] { exitNoticed(); });
    pollTimer_->start(50);
}

void LinuxTask::exitNoticed() {
    collect();
    {
        std::lock_guard lock(mutex_);
        if (!ended_) return;
    }
    if (handlerCalled_) return;
    handlerCalled_ = true;
    // The watcher is the sender of this very call: switch it off now and delete it later.
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (pollTimer_) {
        pollTimer_->stop();
        pollTimer_->deleteLater();
        pollTimer_ = nullptr;
    }
    std::shared_ptr<LinuxTask> self = std::move(keepAlive_);
    TerminationHandler handler = std::move(handler_);
    if (handler) handler(self);
}

void LinuxTask::collect() {
    std::lock_guard lock(mutex_);
    if (!launched_ || ended_) return;
    int waitStatus = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &waitStatus, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == pid_) {
        record(waitStatus);
    } else if (result < 0 && errno == ECHILD) {
        // Reaped behind our back (SIGCHLD ignored): it has ended, its status is lost.
        ended_ = true;
        unregisterLive(this);
    }
}

void LinuxTask::record(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        status_ = WTERMSIG(waitStatus);
        reason_ = platform::TerminationReason::UncaughtSignal;
    } else {
        status_ = WEXITSTATUS(waitStatus);
        reason_ = platform::TerminationReason::Exit;
    }
    ended_ = true;
    unregisterLive(this);
}

bool LinuxTask::isRunning() {
    collect();
    std::lock_guard lock(mutex_);
    return launched_ && !ended_;
}

int LinuxTask::processIdentifier() {
    std::lock_guard lock(mutex_);
    return pid_;
}

int LinuxTask::terminationStatus() {
    std::lock_guard lock(mutex_);
    return status_;
}

platform::TerminationReason LinuxTask::terminationReason() {
    std::lock_guard lock(mutex_);
    return reason_;
}

void LinuxTask::terminate() {
    // Under the lock nobody reaps the child, so its pid still names it.
    std::lock_guard lock(mutex_);
    if (!launched_ || ended_) return;
    if (pidfd_ >= 0 && (::syscall(SYS_pidfd_send_signal, pidfd_, SIGTERM, nullptr, 0) == 0 || errno != ENOSYS))
        return;
    ::kill(pid_, SIGTERM);
}

void LinuxTask::waitUntilExit() {
    for (;;) {
        collect();
        int pid;
        {
            std::lock_guard lock(mutex_);
            if (!launched_ || ended_) return;
            pid = pid_;
        }
        // Wait without reaping, outside the lock; collect() then takes the status.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno != EINTR &&
            errno != ECHILD)
            return;
    }
}

std::shared_ptr<platform::Task> LinuxTaskFactory::makeTask() { return std::make_shared<LinuxTask>(); }

void sleepUnlessTaskEnds(std::chrono::microseconds duration) {
    timespec deadline = monotonicNow();
    const auto total = std::chrono::nanoseconds(duration).count() + deadline.tv_nsec;
    deadline.tv_sec += static_cast<time_t>(total / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(total % 1'000'000'000);

    for (;;) {
        std::vector<std::shared_ptr<LinuxTask>> tasks;  // held, so their pidfds stay open while polled
        std::vector<pollfd> descriptors;
        {
            std::lock_guard lock(registryMutex());
            for (const LiveTask& entry : registry()) {
                if (auto task = entry.task.lock()) {
                    tasks.push_back(std::move(task));
                    descriptors.push_back(pollfd{entry.pidfd, POLLIN, 0});
                }
            }
        }

        const timespec now = monotonicNow();
        timespec remaining{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
        if (remaining.tv_nsec < 0) {
            remaining.tv_nsec += 1'000'000'000;
            remaining.tv_sec -= 1;
        }
        if (remaining.tv_sec < 0) return;

        if (descriptors.empty()) {
            if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) continue;
            return;
        }
        const int ready = ::ppoll(descriptors.data(), descriptors.size(), &remaining, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
            return;
        }
        // Reap what has ended, so that it does not cut the next sleep short as well.
        for (std::size_t i = 0; i < descriptors.size(); ++i)
            if (descriptors[i].revents != 0) tasks[i]->collect();
        return;
    }
}

}  // namespace nubrio::linux_platform
