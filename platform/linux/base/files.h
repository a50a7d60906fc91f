#pragma once
// Whole files: reading one at once with a bound, and replacing one so that a reader never sees half.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/error.h"

namespace nubrio::linux_platform::files {

// The content of a regular file of at most `maxBytes`; none when it is missing, unreadable, of another
// kind (a FIFO or device would block or never end) or larger. Links are followed.
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes);

// Writes through a temporary file in the same folder and a rename, after creating the folder and its
// parents (private to the user), so a reader never sees half a file and a failure leaves none
// behind. The file gets `mode` (less the umask). A link at `path` is replaced, not followed.
std::optional<platform::Error> writeFileAtomically(const std::filesystem::path& path, const std::string& contents,
                                                   int mode = 0666);

}  // namespace nubrio::linux_platform::files
