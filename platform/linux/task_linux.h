#pragma once
// Child processes for the worker: posix_spawn into a process group of their own, the exit noticed
// through a pidfd on the Qt event loop.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/task.h"

class QSocketNotifier;
class QTimer;

namespace nubrio::linux_platform {

class LinuxTask final : public platform::Task, public std::enable_shared_from_this<LinuxTask> {
public:
    LinuxTask() = default;
    ~LinuxTask() override;
    LinuxTask(const LinuxTask&) = delete;
    LinuxTask& operator=(const LinuxTask&) = delete;

    void setStandardInputNullDevice() override;
    void setExecutable(const std::filesystem::path& path) override;
    void setCurrentDirectory(const std::filesystem::path& path) override;
    void setTerminationHandler(TerminationHandler handler) override;
    // Must be called on a thread with a Qt event loop (the main thread): the termination handler is
    // called there.
    std::optional<platform::Error> launch() override;
    bool isRunning() override;
    int processIdentifier() override;
    int terminationStatus() override;
    platform::TerminationReason terminationReason() override;
    void terminate() override;
    void waitUntilExit() override;

    // Reaps the process if it has ended, without blocking; the status is kept for later readers.
    void collect();

private:
    void watchForExit();
    void exitNoticed();
    void record(int waitStatus);  // caller holds mutex_

    // Configuration, set before launch.
    bool nullStandardInput_ = false;
    std::filesystem::path executable_;
    std::optional<std::filesystem::path> currentDirectory_;
    TerminationHandler handler_;

    // Process state; guarded by mutex_ because usleep may reap from wherever it sleeps.
    std::mutex mutex_;
    bool launched_ = false;
    bool ended_ = false;
    int pid_ = 0;
    int pidfd_ = -1;
    int status_ = 0;
    platform::TerminationReason reason_ = platform::TerminationReason::Exit;

    // Main thread only.
    QSocketNotifier* notifier_ = nullptr;  // readable once the process has ended
    QTimer* pollTimer_ = nullptr;          // instead, on a kernel without pidfds
    bool handlerCalled_ = false;
    std::shared_ptr<LinuxTask> keepAlive_;  // a running task lives until its handler has run
};

class LinuxTaskFactory final : public platform::TaskFactory {
public:
    std::shared_ptr<platform::Task> makeTask() override;
};

// Sleeps up to `duration`, returning early once a launched task that was still running has ended
// (that task is then reaped, so the next sleep is not cut short by it again).
void sleepUnlessTaskEnds(std::chrono::microseconds duration);

}  // namespace nubrio::linux_platform
