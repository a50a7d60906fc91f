#include "app/web_origin.h"

#include <string_view>

#include "app/build_config.h"

namespace nubrio {

std::string webOriginHost() {
    std::string_view origin = config::WebOrigin;
    if (auto scheme = origin.find("://"); scheme != std::string_view::npos) origin.remove_prefix(scheme + 3);
    if (auto end = origin.find_first_of("/:?#"); end != std::string_view::npos) origin = origin.substr(0, end);
    return std::string(origin);
}

}  // namespace nubrio
