#pragma once
#include <string>
#include <vector>

#include "platform/process.h"

namespace nubrio::linux_platform {

class LinuxProcessInfo final : public platform::ProcessInfo {
public:
    LinuxProcessInfo(int argc, char** argv);

    int processIdentifier() override;
    std::vector<std::string> arguments() override;
    void writeStandardError(const std::string& text) override;
    // Flushes stdio and ends the process at once: no exit handlers, no static destructors, no Qt teardown.
    [[noreturn]] void exit(int status) override;
    int kill(int pid, int signal) override;
    // Wakes early when a task launched by LinuxTaskFactory ends.
    void usleep(unsigned microseconds) override;

private:
    std::vector<std::string> arguments_;
};

}  // namespace nubrio::linux_platform
