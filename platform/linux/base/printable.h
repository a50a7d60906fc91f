#pragma once
// Text from outside the program (a folder's name, an option, a link) made fit for one line of a log
// or a terminal: a newline or an escape sequence in it must not start a line of its own or drive the
// terminal, and a huge one is not echoed whole.
#include <cstddef>
#include <string>
#include <string_view>

namespace nubrio::linux_platform {

// `text` with control characters (C0, DEL and C1), and bytes that are not UTF-8, written as escapes
// (\n, \t, \r, \xNN, \u0085); at most `maxBytes` of that, then "…" when it was cut, and how many
// bytes of `text` were left out in `cutBytes`, for the caller to say in its own words.
std::string printable(std::string_view text, std::size_t maxBytes, std::size_t* cutBytes = nullptr);

}  // namespace nubrio::linux_platform
