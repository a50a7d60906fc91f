#pragma once
#include <string>
#include <vector>

#include "platform/process.h"

namespace nubrio::linux_platform {

class LiveTasks;

class LinuxProcessInfo final : public platform::ProcessInfo {
public:
    // `tasks` are the launched tasks whose end cuts a usleep short.
    LinuxProcessInfo(int argc, char** argv, LiveTasks& tasks);

    int processIdentifier() override;
    std::vector<std::string> arguments() override;
    void writeStandardError(const std::string& text) override;
    // Flushes stdio and ends the process at once: no exit handlers, no static destructors, no Qt teardown.
    [[noreturn]] void exit(int status) override;
    int kill(int pid, int signal) override;
    // Wakes early when one of the live tasks ends.
    void usleep(unsigned microseconds) override;

private:
    std::vector<std::string> arguments_;
    LiveTasks& tasks_;
};

}  // namespace nubrio::linux_platform
