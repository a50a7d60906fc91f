#pragma once
#include <QRect>
#include <QString>

#include "platform/screen.h"

namespace nubrio::linux_platform {

// What a Wayland compositor keeps for its panels when it does not say: one panel's height, the
// largest that desktops ship (KDE's 44 px, GNOME's 32 px top bar).
inline constexpr int kUnknownPanelsHeight = 48;

// The visible frame from what Qt knows of the screen. X11 window managers publish their work area
// and Qt passes it on; a Wayland compositor gives out only the whole output, so there the visible
// frame keeps room for a panel.
platform::ScreenArea visibleFrameOf(const QString& platformName, const QRect& geometry, const QRect& available);

// The primary screen as Qt sees it.
class LinuxScreen final : public platform::Screen {
public:
    std::optional<platform::ScreenArea> visibleFrame() override;
};

}  // namespace nubrio::linux_platform
