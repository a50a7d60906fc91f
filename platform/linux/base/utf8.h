#pragma once
#include <string_view>

namespace nubrio::linux_platform {

// Whether the bytes are well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF. NUL is a valid character here; callers that cannot carry one refuse it themselves.
bool isValidUtf8(std::string_view text);

}  // namespace nubrio::linux_platform
