#pragma once
// The program's own log: one line for each best-effort step that failed (a desktop entry not
// written, a page not opened), so that no failure vanishes. Standard error stays reserved for the
// check mode's lines. The file lives in the logs folder beside the worker's logs.
#include <filesystem>
#include <string_view>

namespace nubrio::linux_platform::program_log {

inline constexpr const char* FileName = "nubrio.log";

// Where lines go from now on; until this is called they are dropped. Any thread.
void setPath(std::filesystem::path file);

// Appends one time-stamped line; failing to write it is not reported anywhere. Any thread.
void write(std::string_view line);

}  // namespace nubrio::linux_platform::program_log
