#pragma once
#include <string>

#include "platform/platform.h"

namespace nubrio {

// The entry point on a given platform: creates the one delegate, makes it the application's
// delegate as an accessory application and runs the event loop. Returns 0 if the loop returns.
int runApplication(platform::Platform& platform);

// The application's short version string from the bundle, as the delegate reads it: empty when the
// bundle gives none, or gives one that is not a string.
std::string readVersion(platform::Bundle& bundle);

}  // namespace nubrio
