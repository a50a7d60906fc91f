#pragma once
// Child processes for the worker: started in a process group of their own that cannot outlive this
// program, their exit noticed through a pidfd on the Qt event loop.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <signal.h>
#include <vector>

#include "platform/linux/base/unique_fd.h"
#include "platform/linux/process/spawn.h"
#include "platform/task.h"

class QSocketNotifier;
class QTimer;

namespace nubrio::linux_platform {

class LinuxTask;

// The tasks launched and not yet seen to end, with their pidfds, so that a sleep can end as soon as one of
// them ends. Shared by the task factory, which adds to it, and the process information's usleep.
class LiveTasks {
public:
    void add(const LinuxTask* key, std::weak_ptr<LinuxTask> task, int pidfd);
    void remove(const LinuxTask* key);
    // Sleeps up to `duration`, returning early once one of the tasks has ended (that task is then
    // noted, so the next sleep is not cut short by it again).
    void sleepUnlessOneEnds(std::chrono::microseconds duration);

private:
    struct Entry {
        const LinuxTask* key;
        std::weak_ptr<LinuxTask> task;
        int pidfd;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

class LinuxTask final : public platform::Task, public std::enable_shared_from_this<LinuxTask> {
public:
    LinuxTask(LiveTasks& live, const StopSequence& stop);
    ~LinuxTask() override;
    LinuxTask(const LinuxTask&) = delete;
    LinuxTask& operator=(const LinuxTask&) = delete;

    void setStandardInputNullDevice() override;
    void setExecutable(const std::filesystem::path& path) override;
    void setCurrentDirectory(const std::filesystem::path& path) override;
    void setTerminationHandler(TerminationHandler handler) override;
    // Must be called on the main thread, which runs a Qt event loop: the termination handler is called
    // there, and the child's parent-death signal is tied to the thread that started it. Waits first
    // while an ended worker's group is still being stopped, which may hold what the new one needs.
    std::optional<platform::Error> launch() override;
    // Whether the worker process itself still runs.
    bool isRunning() override;
    int processIdentifier() override;
    int terminationStatus() override;
    platform::TerminationReason terminationReason() override;
    void terminate() override;
    // Returns once the worker has ended and nothing is left of its process group: members that
    // outlived it get the stop sequence first (up to about 3 s).
    void waitUntilExit() override;
    // The termination handler runs once the worker has ended and nothing is left of its group either;
    // the stop sequence for the rest runs off the main thread meanwhile.

    // Notes the status if the process has ended, without blocking and without reaping it: until its
    // group is gone the ended worker holds its pid, so the group's id cannot name anyone else.
    void collect();

private:
    void watchForExit();
    void exitNoticed();
    void record(const siginfo_t& info);  // caller holds mutex_
    void clearGroup();
    // The group is gone: reaps the process and dismisses the watcher.
    void release();

    LiveTasks& live_;
    const StopSequence stop_;

    // Configuration, set before launch.
    SpawnRequest request_;
    TerminationHandler handler_;

    // Process state; guarded by mutex_ because usleep may note an end from wherever it sleeps.
    std::mutex mutex_;
    bool launched_ = false;
    bool ended_ = false;
    bool reaped_ = false;
    int pid_ = 0;
    UniqueFd pidfd_;
    int status_ = 0;
    platform::TerminationReason reason_ = platform::TerminationReason::Exit;

    // Main thread only.
    std::optional<GroupGuard> guard_;      // until the group is known to be gone
    std::unique_ptr<QSocketNotifier> notifier_;  // readable once the process has ended
    std::unique_ptr<QTimer> pollTimer_;          // instead, on a kernel without pidfds
    bool handlerCalled_ = false;
    std::shared_ptr<LinuxTask> keepAlive_;  // a running task lives until its handler has run
};

class LinuxTaskFactory final : public platform::TaskFactory {
public:
    // Tasks whose leftover process group gets `stop`.
    LinuxTaskFactory(LiveTasks& live, const StopSequence& stop) : live_(live), stop_(stop) {}
    std::shared_ptr<platform::Task> makeTask() override;

private:
    LiveTasks& live_;
    const StopSequence stop_;
};

}  // namespace nubrio::linux_platform
