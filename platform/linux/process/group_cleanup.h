#pragma once
// The stop sequence for what a worker left of its process group, off the main thread.
#include <sys/types.h>

#include <functional>

#include "platform/linux/process/spawn.h"

namespace nubrio::linux_platform {

// Gives what is left of the group the stop sequence (stopProcessGroup: about 3 s with the worker's
// sequence when a member ignores SIGTERM) on a thread of its own, and calls `whenGone` on the main
// thread's Qt event loop once nothing of the group is left. Main thread.
void stopProcessGroupInBackground(pid_t group, const StopSequence& sequence, std::function<void()> whenGone);

// Blocks until every group handed to stopProcessGroupInBackground is gone: a worker started by hand
// (a restart) while a crashed one's group is still being stopped must not find its port held.
void waitForGroupsBeingStopped();

}  // namespace nubrio::linux_platform
