#pragma once
#include <optional>

namespace nubrio::platform {

// A rectangle of the screen in logical pixels, the units a browser takes for its window's size and
// position; y grows downwards.
struct ScreenArea {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ScreenArea&) const = default;
};

// The screen that new windows open on.
class Screen {
public:
    virtual ~Screen() = default;
    // The part of the main screen that windows may take (without the desktop's panels and docks);
    // none when there is no screen.
    virtual std::optional<ScreenArea> visibleFrame() = 0;
};

}  // namespace nubrio::platform
