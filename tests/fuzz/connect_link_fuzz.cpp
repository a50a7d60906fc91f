// Links come from any web page: every input is judged without a crash, and only a "nubrio" scheme
// with a "connect" authority ever matches.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "editor/connect_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    if (nubrio::editor::isConnectLink(url) &&
        (!url.starts_with("nubrio://") || url.find("connect") == std::string_view::npos))
        std::abort();
    return 0;
}
