#pragma once
// What the user's texts say about the system on Linux.
#include "platform/words.h"

namespace nubrio::linux_platform {

const platform::Words& linuxWords();

}  // namespace nubrio::linux_platform
