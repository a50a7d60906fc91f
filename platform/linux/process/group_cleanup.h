#pragma once
// The stop sequence for what a worker left of its process group, off the main thread.
#include <sys/types.h>

#include <functional>

namespace nubrio::linux_platform {

// Gives what is left of the group the stop sequence (stopProcessGroup: up to about 3 s when a member
// ignores SIGTERM) on a thread of its own, and calls `whenGone` on the main thread's Qt event loop once
// nothing of the group is left. Main thread.
void stopProcessGroupInBackground(pid_t group, std::function<void()> whenGone);

}  // namespace nubrio::linux_platform
