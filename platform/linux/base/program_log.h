#pragma once
// The program's lines for best-effort steps that failed (a desktop entry not written, a page not
// opened), so that no failure vanishes. They go to the user's journal under the identifier "nubrio"
// (journalctl --user -t nubrio); where no journal runs, to standard error. The program keeps no log
// file of its own: writing a line never creates a file or a folder.
#include <string_view>

namespace nubrio::linux_platform::program_log {

inline constexpr const char* Identifier = "nubrio";

// From now on a line that the journal does not take is dropped rather than written to standard
// error, which the check mode keeps for its own lines. Any thread.
void keepOffStandardError();

// Sends one line; failing to send it is not reported anywhere. Any thread.
void write(std::string_view line);

}  // namespace nubrio::linux_platform::program_log
