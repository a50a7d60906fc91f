#include "platform/linux/shell/clock.h"

#include <time.h>

namespace nubrio::linux_platform {

double LinuxClock::now() {
    timespec time{};
    clock_gettime(CLOCK_BOOTTIME, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

}  // namespace nubrio::linux_platform
