#pragma once
#include "platform/clock.h"

namespace nubrio::linux_platform {

// CLOCK_BOOTTIME: not moved by setting the wall clock, and it keeps counting while the machine sleeps.
class LinuxClock final : public platform::Clock {
public:
    double now() override;
};

}  // namespace nubrio::linux_platform
