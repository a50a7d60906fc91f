// The visible frame from what Qt reports of the screen: X11's work area as it is, Wayland's whole
// output less room for a panel.
#include <gtest/gtest.h>

#include "platform/linux/shell/screen.h"

namespace {

using nubrio::linux_platform::visibleFrameOf;
using nubrio::platform::ScreenArea;

TEST(ScreenTest, VisibleFrameKeepsRoomForPanelsWaylandDoesNotReport) {
    struct Case {
        const char* name;
        const char* platform;
        QRect geometry, available;
        ScreenArea visible;
    };
    const Case cases[] = {
        {"X11, a panel below", "xcb", {0, 0, 1280, 800}, {0, 0, 1280, 756}, {0, 0, 1280, 756}},
        {"X11, no panel", "xcb", {0, 0, 1280, 800}, {0, 0, 1280, 800}, {0, 0, 1280, 800}},
        {"X11, second screen", "xcb", {1920, 0, 1366, 768}, {1920, 32, 1366, 736}, {1920, 32, 1366, 736}},
        {"Wayland, whole output", "wayland", {0, 0, 1280, 800}, {0, 0, 1280, 800}, {0, 24, 1280, 752}},
        {"Wayland with EGL, whole output", "wayland-egl", {0, 0, 1366, 768}, {0, 0, 1366, 768}, {0, 24, 1366, 720}},
        {"Wayland, a compositor that tells", "wayland", {0, 0, 1280, 800}, {0, 32, 1280, 768}, {0, 32, 1280, 768}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(visibleFrameOf(QString::fromLatin1(c.platform), c.geometry, c.available), c.visible);
    }
}

}  // namespace
