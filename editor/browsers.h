#pragma once
#include <array>
#include <string>

namespace nubrio::editor {

// Browsers that can show the editor as an app window; a default browser among them is tried first.
inline const std::array<std::string, 5> appModeBrowsers = {"com.google.Chrome", "com.microsoft.edgemac",
                                                           "com.brave.Browser", "com.vivaldi.Vivaldi",
                                                           "org.chromium.Chromium"};
// Tried in app-window mode, in this order, after the promoted default browser.
inline const std::array<std::string, 2> browserOrder = {"com.google.Chrome", "com.microsoft.edgemac"};
inline const std::string firefoxIdentifier = "org.mozilla.firefox";

}  // namespace nubrio::editor
