#pragma once
// A program that this test starts itself: its own process group, standard output and error in a log
// file, and optionally one pipe on a fixed descriptor through which it reports something back
// (Xvfb's -displayfd, dbus-daemon's --print-address).
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nubrio::e2e {

using Environment = std::map<std::string, std::string>;

Environment currentEnvironment();

class ChildProcess {
public:
    static constexpr int ReportDescriptor = 9;

    struct Options {
        std::vector<std::string> arguments;  // the program first; found on PATH when it has no '/'
        Environment environment;
        std::filesystem::path log;
        bool reportPipe = false;
        // The signal that the child gets when this test process dies, so nothing outlives a crash.
        int parentDeathSignal = SIGTERM;
    };

    // Throws std::runtime_error when the program cannot be started.
    explicit ChildProcess(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // The exit code after a normal exit; none while running or after a death by signal.
    std::optional<int> exitCode();
    // "running", "exited with status N" or "killed by signal N".
    std::string state();
    // Turns the Qt event loop while waiting, so D-Bus calls to this process are still answered.
    bool waitForExit(std::chrono::milliseconds deadline);
    // One line from the report pipe, without its newline.
    std::optional<std::string> readReportLine(std::chrono::milliseconds deadline);
    // Ends the program if it still runs: SIGTERM, a grace period, then SIGKILL to its process group.
    void stop(std::chrono::milliseconds grace);
    std::string logText() const;
    const std::filesystem::path& logPath() const { return log_; }

private:
    bool reap();

    pid_t pid_ = -1;
    bool ended_ = false;
    int waitStatus_ = 0;
    int reportRead_ = -1;
    std::string reportBuffer_;
    std::filesystem::path log_;
};

}  // namespace nubrio::e2e
