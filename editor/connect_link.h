#pragma once
#include <string_view>

namespace nubrio::editor {

// Whether a link asks for the editor: scheme exactly "nubrio" and host exactly "connect". Links come
// from any web page, so nothing else of them is looked at.
bool isConnectLink(std::string_view url);

}  // namespace nubrio::editor
