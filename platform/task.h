#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"

namespace nubrio::platform {

enum class TerminationReason { Exit, UncaughtSignal };

// A child process, configured and then launched once.
class Task {
public:
    using TerminationHandler = std::function<void(const std::shared_ptr<Task>& task)>;

    virtual ~Task() = default;
    virtual void setStandardInputNullDevice() = 0;
    virtual void setExecutable(const std::filesystem::path& path) = 0;
    virtual void setCurrentDirectory(const std::filesystem::path& path) = 0;
    // Called once after the process has ended, possibly not on the main thread.
    virtual void setTerminationHandler(TerminationHandler handler) = 0;
    // Starts the process in a process group of its own (group id = its pid); an error when it could
    // not be started (missing executable or folder, no permission).
    virtual std::optional<Error> launch() = 0;
    virtual bool isRunning() = 0;
    virtual int processIdentifier() = 0;
    // The exit code of a normal exit, or the number of the signal that ended it.
    virtual int terminationStatus() = 0;
    virtual TerminationReason terminationReason() = 0;
    // SIGTERM to the process alone.
    virtual void terminate() = 0;
    // Blocks until the process has ended.
    virtual void waitUntilExit() = 0;
};

class TaskFactory {
public:
    virtual ~TaskFactory() = default;
    virtual std::shared_ptr<Task> makeTask() = 0;
};

}  // namespace nubrio::platform
