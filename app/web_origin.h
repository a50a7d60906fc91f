#pragma once
#include <string>

namespace nubrio {

// The host name of the web service's origin ("https://nubrio.app" → "nubrio.app"), shown in messages.
std::string webOriginHost();

}  // namespace nubrio
