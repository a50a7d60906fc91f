#include "editor/editor_window.h"

#include <algorithm>

namespace nubrio::editor {

std::vector<std::string> appWindowArguments(const std::string& page, const std::optional<platform::ScreenArea>& visible) {
    std::vector<std::string> arguments = {"--app=" + page};
    const auto size = [](int width, int height) {
        return "--window-size=" + std::to_string(width) + "," + std::to_string(height);
    };
    const int roomWidth = visible ? visible->width - kFrameWidth : 0;
    const int roomHeight = visible ? visible->height - kFrameHeight : 0;
    // No screen, or one smaller than a frame alone: nothing better to ask for than the usual size.
    const bool unknown = !visible || roomWidth <= 0 || roomHeight <= 0;
    if (unknown || (roomWidth >= kWindowWidth && roomHeight >= kWindowHeight)) {
        arguments.push_back(size(kWindowWidth, kWindowHeight));
        return arguments;
    }
    const int width = std::min(kWindowWidth, roomWidth), height = std::min(kWindowHeight, roomHeight);
    arguments.push_back(size(width, height));
    // Where the window manager takes a position; Wayland compositors place the window themselves.
    const int x = visible->x + (visible->width - width) / 2, y = visible->y + (visible->height - height) / 2;
    arguments.push_back("--window-position=" + std::to_string(x) + "," + std::to_string(y));
    return arguments;
}

}  // namespace nubrio::editor
