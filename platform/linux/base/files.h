#pragma once
// Whole files: reading one at once with a bound, and replacing one so that a reader never sees half.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/error.h"

namespace nubrio::linux_platform::files {

// Why a file was not read: missing (nothing to say), or something the caller may want to log.
struct ReadFailure {
    bool missing = false;
    std::string why;
};

// The content of a regular file of at most `maxBytes`; none when it is missing, unreadable, of another
// kind (a FIFO or device would block or never end) or larger. Links are followed. Opening never
// waits; a FIFO, a device or an oversize file is skipped with a line in the program's log.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes,
                                    ReadFailure* failure = nullptr);

// Whether a file that a library will read by itself (GIO's lists and desktop entries) is fit for it, as
// readFile would judge it: false for a FIFO or a device (the library would wait, or never reach the
// end) and a regular file larger than `maxBytes`, and `why` says which; true otherwise, also when it
// is missing or cannot be opened (the library skips it as well). Nothing is read, opening never
// waits, and nothing is logged.
bool fitForReading(const std::filesystem::path& path, std::size_t maxBytes, std::string* why = nullptr);

// A bound for settings files (mimeapps lists, desktop entries, themes): far above any real one.
inline constexpr std::size_t kMaxSettingsBytes = 1024 * 1024;

// Writes through a temporary file in the same folder and a rename, after creating the folder and its
// parents (private to the user), so a reader never sees half a file and a failure leaves none
// behind. The file gets `mode` (less the umask). A link at `path` is replaced, not followed.
std::optional<platform::Error> writeFileAtomically(const std::filesystem::path& path, const std::string& contents,
                                                   int mode = 0666);

}  // namespace nubrio::linux_platform::files
