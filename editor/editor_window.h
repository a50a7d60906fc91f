#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/screen.h"

namespace nubrio::editor {

// The page the editor's app window shows, under the web service's `origin`. Browsers name the app
// window after it, so the desktop entries that claim that window derive from it too.
inline std::string appWindowPage(const std::string& origin) { return origin + "/?app=window#app/crear"; }

// The editor's app window: 1360 × 880 wherever the screen holds it with its frame.
inline constexpr int kWindowWidth = 1360, kWindowHeight = 880;
// What a window's frame may add to the size a browser is asked for: a title bar and borders.
inline constexpr int kFrameWidth = 16, kFrameHeight = 48;

// The browser's arguments for the editor's app window at `page`. Where the visible frame holds the
// window and its frame, or is unknown, the window asks for 1360 × 880 alone; on a smaller screen it
// asks for the largest size whose frame fits, centred in the visible frame, so that its title bar and
// close button are on screen.
std::vector<std::string> appWindowArguments(const std::string& page, const std::optional<platform::ScreenArea>& visible);

}  // namespace nubrio::editor
