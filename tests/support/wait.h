#pragma once
// Waiting on other processes from a test thread that does not run the event loop (spin.h does): for a
// condition such as a file a child writes, or for a child of ours to end. Both poll every 20 ms.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

namespace nubrio::testing {

using Deadline = std::chrono::steady_clock::time_point;

// Whether the condition held by the deadline.
bool waitUntil(const std::function<bool()>& condition, Deadline deadline);

// The raw wait status of a child of this process once it has ended (and is reaped), or none when it
// is still running at the deadline.
std::optional<int> waitForExit(pid_t pid, Deadline deadline);

}  // namespace nubrio::testing
