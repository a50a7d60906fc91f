#pragma once
// The program's lines for best-effort steps that failed (a desktop entry not written, a page not
// opened), so that no failure vanishes. They go to the user's journal under the identifier "nubrio"
// (journalctl --user -t nubrio); where no journal runs, to standard error. The program keeps no log
// file of its own: writing a line never creates a file or a folder.
//
// Writing never waits: a journal whose socket is full or a standard error that nobody reads would
// otherwise stop the caller, the main thread among them. Lines wait in a bounded queue for one writer
// thread; what does not fit is dropped and counted in the next line that goes out. Text from outside
// (folder names, options, links) cannot forge a line: control characters are escaped and a line is
// cut at kMaxLineBytes.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace nubrio::linux_platform::program_log {

inline constexpr const char* Identifier = "nubrio";
inline constexpr std::size_t kMaxLineBytes = 4096;
inline constexpr std::size_t kMaxWaitingLines = 256;

// From now on a line that the journal does not take is dropped rather than written to standard
// error, which the check mode keeps for its own lines. Any thread.
void keepOffStandardError();

// Queues one line and returns; failing to send it is not reported anywhere. Any thread.
void write(std::string_view line);

// Waits, at most `bound`, until the lines queued so far have gone out: called before the process
// ends, which would otherwise take them along.
void flush(std::chrono::milliseconds bound = std::chrono::milliseconds(250));

// The line as it goes out: escaped and bounded.
std::string lineText(std::string_view line);

}  // namespace nubrio::linux_platform::program_log
