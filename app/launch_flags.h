#pragma once
// The flag of an ordinary start that does not open the editor (the check's is in check_mode.h).

namespace nubrio::launch_flags {

inline constexpr const char* Background = "--background";

}  // namespace nubrio::launch_flags
