#include "editor/connect_link.h"

namespace nubrio::editor {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool isConnectLink(std::string_view url) {
    // scheme ":" "//" authority, where the authority ends at "/", "?" or "#" (RFC 3986).
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAlpha(url[0])) return false;
    for (char c : url.substr(0, colon))
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    if (url.substr(0, colon) != "nubrio") return false;

    std::string_view rest = url.substr(colon + 1);
    if (!rest.starts_with("//")) return false;  // no authority, so no host
    std::string_view authority = rest.substr(2, rest.find_first_of("/?#", 2) - 2);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (authority.starts_with('[')) return false;  // an IP literal is never "connect"
    std::string_view host = authority.substr(0, authority.find(':'));
    return host == "connect";
}

}  // namespace nubrio::editor
