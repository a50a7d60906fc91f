#pragma once

namespace nubrio::platform {

// Seconds on a clock that is not set back or forward with the wall clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() = 0;
};

}  // namespace nubrio::platform
