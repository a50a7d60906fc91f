#include "platform/linux/process/task.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/base/system_error.h"
#include "platform/linux/process/group_cleanup.h"

namespace nubrio::linux_platform {

namespace {

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

void LiveTasks::add(const LinuxTask* key, std::weak_ptr<LinuxTask> task, int pidfd) {
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{key, std::move(task), pidfd});
}

void LiveTasks::remove(const LinuxTask* key) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [key](const Entry& entry) { return entry.key == key || entry.task.expired(); });
}

void LiveTasks::sleepUnlessOneEnds(std::chrono::microseconds duration) {
    timespec deadline = monotonicNow();
    const auto total = std::chrono::nanoseconds(duration).count() + deadline.tv_nsec;
    deadline.tv_sec += static_cast<time_t>(total / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(total % 1'000'000'000);

    for (;;) {
        std::vector<std::shared_ptr<LinuxTask>> tasks;  // held, so their pidfds stay open while polled
        std::vector<pollfd> descriptors;
        {
            std::lock_guard lock(mutex_);
            for (const Entry& entry : entries_) {
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
        // Note what has ended, so that it does not cut the next sleep short as well.
        for (std::size_t i = 0; i < descriptors.size(); ++i)
            if (descriptors[i].revents != 0) tasks[i]->collect();
        return;
    }
}

LinuxTask::LinuxTask(LiveTasks& live, const StopSequence& stop) : live_(live), stop_(stop) {}

LinuxTask::~LinuxTask() {
    notifier_.reset();
    pollTimer_.reset();
    live_.remove(this);
    std::lock_guard lock(mutex_);
    if (ended_ && !reaped_) ::waitpid(pid_, nullptr, WNOHANG);
}

void LinuxTask::setStandardInputNullDevice() { request_.nullStandardInput = true; }

void LinuxTask::setExecutable(const std::filesystem::path& path) { request_.executable = path; }

void LinuxTask::setCurrentDirectory(const std::filesystem::path& path) { request_.folder = path; }

void LinuxTask::setTerminationHandler(TerminationHandler handler) { handler_ = std::move(handler); }

std::optional<platform::Error> LinuxTask::launch() {
    if (launched_) return systemError(EINVAL);
    std::shared_ptr<LinuxTask> self = shared_from_this();  // throws unless owned by a shared_ptr

    waitForGroupsBeingStopped();
    // The child changes folder before it executes, so a relative executable must be resolved here.
    SpawnRequest request = request_;
    std::error_code ignored;
    if (!request.executable.empty()) request.executable = std::filesystem::absolute(request.executable, ignored);
    // A missing executable or folder comes back from the start as an error with the system's text.
    pid_t pid = -1;
    if (auto error = spawnInOwnGroup(request, pid)) return error;

    // Not reaped yet, so the pid cannot have been reused even if the child is already gone.
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    {
        std::lock_guard lock(mutex_);
        launched_ = true;
        pid_ = pid;
        pidfd_ = std::move(pidfd);
    }
    guard_ = GroupGuard::start(pid, pidfd_.get(), stop_);
    keepAlive_ = std::move(self);
    if (pidfd_.valid()) live_.add(this, weak_from_this(), pidfd_.get());
    watchForExit();
    return std::nullopt;
}

void LinuxTask::watchForExit() {
    if (pidfd_.valid()) {
        notifier_ = std::make_unique<QSocketNotifier>(pidfd_.get(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { exitNoticed(); });
        return;
    }
    // Kernels without pidfds: look now and then.
    pollTimer_ = std::make_unique<QTimer>();
    QObject::connect(pollTimer_.get(), &QTimer::timeout, pollTimer_.get(), [this] { exitNoticed(); });
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
        notifier_.release()->deleteLater();
    }
    if (pollTimer_) {
        pollTimer_->stop();
        pollTimer_.release()->deleteLater();
    }
    // A crashed worker's children would otherwise keep what it held, the port among it, and the next
    // worker could not start: the exit is handed on once they have gone too. A child that ignores
    // SIGTERM takes 3 s, which the main thread does not wait out.
    int group;
    {
        std::lock_guard lock(mutex_);
        group = pid_;
    }
    stopProcessGroupInBackground(group, stop_, [self = std::move(keepAlive_)] {
        self->release();
        TerminationHandler handler = std::move(self->handler_);
        if (handler) handler(self);
    });
}

void LinuxTask::clearGroup() {
    int group;
    {
        std::lock_guard lock(mutex_);
        if (!launched_) return;
        group = pid_;
    }
    stopProcessGroup(group, stop_);
    release();
}

void LinuxTask::release() {
    {
        std::lock_guard lock(mutex_);
        if (launched_ && ended_ && !reaped_) {
            while (::waitpid(pid_, nullptr, WNOHANG) < 0 && errno == EINTR) {
            }
            reaped_ = true;
        }
    }
    guard_.reset();  // the destructor dismisses the watcher
}

void LinuxTask::collect() {
    std::lock_guard lock(mutex_);
    if (!launched_ || ended_) return;
    siginfo_t info{};
    int result;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result == 0 && info.si_pid == pid_) {
        record(info);
    } else if (result < 0 && errno == ECHILD) {
        // Reaped behind our back (SIGCHLD ignored): it has ended, its status is lost.
        ended_ = true;
        reaped_ = true;
        live_.remove(this);
    }
}

void LinuxTask::record(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) {
        status_ = info.si_status;
        reason_ = platform::TerminationReason::Exit;
    } else {
        status_ = info.si_status;  // the signal's number
        reason_ = platform::TerminationReason::UncaughtSignal;
    }
    ended_ = true;
    live_.remove(this);
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
    if (pidfd_.valid() &&
        (::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0) == 0 || errno != ENOSYS))
        return;
    ::kill(pid_, SIGTERM);
}

void LinuxTask::waitUntilExit() {
    for (;;) {
        collect();
        int pid;
        {
            std::lock_guard lock(mutex_);
            if (!launched_ || ended_) break;
            pid = pid_;
        }
        // Wait outside the lock; collect() then takes the status.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno != EINTR &&
            errno != ECHILD)
            return;
    }
    clearGroup();
}

std::shared_ptr<platform::Task> LinuxTaskFactory::makeTask() { return std::make_shared<LinuxTask>(live_, stop_); }

}  // namespace nubrio::linux_platform
