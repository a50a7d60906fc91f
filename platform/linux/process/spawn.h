#pragma once
// Starting the worker as a child that cannot outlive this program, and ending its process group.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/error.h"

namespace nubrio::linux_platform {

// How what is left of a process group is stopped: the terminate signal, then up to `polls` looks
// `pollIntervalMicroseconds` apart until no member is left, then the kill signal. What the program
// and its worker agree on decides it.
struct StopSequence {
    int terminateSignal = 0;
    int killSignal = 0;
    int polls = 0;
    unsigned pollIntervalMicroseconds = 0;
};

struct SpawnRequest {
    std::filesystem::path executable;  // absolute
    std::optional<std::filesystem::path> folder;
    bool nullStandardInput = false;
};

// Starts the executable, with no arguments and this process's environment, in a process group of its
// own (group id = its pid), with a clean signal state and no descriptors but 0–2. The child gets
// SIGTERM when this program ends, however it ends; a child whose parent is already gone by then does
// not start at all. A failed chdir or exec is an error here, never a child that exits 127; a working
// folder that is missing because it could not be made gives the reason it could not (EACCES, EROFS).
// Main thread: the parent-death signal is tied to the thread that starts the child.
std::optional<platform::Error> spawnInOwnGroup(const SpawnRequest& request, pid_t& pid);

// The stop sequence for what is left of a process group, then up to ten times its polls' count of
// 10 ms looks until the killed members have died. Returns at once when the group is already empty.
// Signals go through pidfds to processes that are provably the group's: while the leader
// (`leaderPidfd`) is unreaped or a member taken in earlier lives, the group's number can name no other
// group; once neither holds, nobody is signalled on the strength of the number alone. Without a
// leader's pidfd the caller vouches for the group as it is at the call. Uses only async-signal-safe
// calls, so a freshly forked process may run it too.
void stopProcessGroup(pid_t group, const StopSequence& sequence, int leaderPidfd = -1);

// A watcher forked beside a launched worker. Should this program end without stopping the worker
// (SIGKILL, a crash, the out-of-memory killer, its display gone), the watcher gives the worker's
// process group the stop sequence, and a worker that left its group the kill signal through its pidfd. It
// holds no descriptor of ours but that pidfd, so it keeps no socket or display connection alive.
class GroupGuard {
public:
    // None when it could not be forked; the worker's parent-death signal still applies then.
    static std::optional<GroupGuard> start(pid_t group, int workerPidfd, const StopSequence& sequence);

    GroupGuard(GroupGuard&& other) noexcept;
    GroupGuard& operator=(GroupGuard&& other) noexcept;
    GroupGuard(const GroupGuard&) = delete;
    GroupGuard& operator=(const GroupGuard&) = delete;
    // Dismisses the watcher.
    ~GroupGuard();

    // Ends the watcher, once the group is known to be gone; waits for it (it ends at once, and a
    // watcher stopped by SIGSTOP is killed after half a second).
    void dismiss();
    pid_t pid() const { return pid_; }

private:
    explicit GroupGuard(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

}  // namespace nubrio::linux_platform
