#pragma once
#include "platform/platform.h"

namespace nubrio {

// The entry point on a given platform: creates the one delegate, makes it the application's
// delegate as an accessory application and runs the event loop. Returns 0 if the loop returns.
int runApplication(platform::Platform& platform);

}  // namespace nubrio
