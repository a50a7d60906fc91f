#pragma once
// The unattended check: started with this flag, the program shows nothing, writes its diagnostics as
// single lines on standard error, and ends with a status instead of waiting for the user.
#include <algorithm>
#include <string>
#include <vector>

namespace nubrio::check_mode {

inline constexpr const char* Flag = "--verify-startup";
// The status of every failed check; a passed one ends through the ordinary termination with 0.
inline constexpr int FailureStatus = 2;

// The flag counts only as a whole argument, in any position, the program path included.
inline bool requested(const std::vector<std::string>& arguments) {
    return std::find(arguments.begin(), arguments.end(), Flag) != arguments.end();
}

}  // namespace nubrio::check_mode
