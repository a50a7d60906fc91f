#pragma once
#include <string>
#include <vector>

namespace nubrio::platform {

// This process: its identity, command line, standard error, and the C library calls the core makes.
class ProcessInfo {
public:
    virtual ~ProcessInfo() = default;
    virtual int processIdentifier() = 0;
    // The command line, the program path first.
    virtual std::vector<std::string> arguments() = 0;
    virtual void writeStandardError(const std::string& text) = 0;
    // Ends the process at once with the status; no termination handlers run. The real one does not
    // return; callers return right after it all the same.
    virtual void exit(int status) = 0;
    // kill(2): 0 when the signal was sent.
    virtual int kill(int pid, int signal) = 0;
    // Sleeps up to `microseconds`; it may wake early once a launched worker has ended.
    virtual void usleep(unsigned microseconds) = 0;
};

}  // namespace nubrio::platform
