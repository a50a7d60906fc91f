#include "platform/linux/shell/screen.h"

#include <QGuiApplication>
#include <QScreen>

namespace nubrio::linux_platform {

platform::ScreenArea visibleFrameOf(const QString& platformName, const QRect& geometry, const QRect& available) {
    QRect visible = available;
    if (platformName.startsWith(QLatin1String("wayland")) && available == geometry)
        visible.adjust(0, kUnknownPanelsHeight / 2, 0, -kUnknownPanelsHeight / 2);
    return {visible.x(), visible.y(), visible.width(), visible.height()};
}

std::optional<platform::ScreenArea> LinuxScreen::visibleFrame() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    // Offscreen there is a screen of Qt's own making, which no browser window will open on.
    if (!screen || QGuiApplication::platformName() == QLatin1String("offscreen")) return std::nullopt;
    return visibleFrameOf(QGuiApplication::platformName(), screen->geometry(), screen->availableGeometry());
}

}  // namespace nubrio::linux_platform
