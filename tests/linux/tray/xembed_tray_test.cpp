// The XEmbed tray's side of the icon's colour: the colours a tray publishes, and the tray's colour
// read off the screen behind the icon.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPainter>

#include "platform/linux/tray/icon_painting.h"
#include "platform/linux/tray/xembed_tray.h"
#include "support/status_icon_checks.h"

namespace nubrio::linux_platform {
namespace {

TEST(XEmbedTray, ReadsTheTrayColoursAndThePixelsBehindTheIcon) {
    const auto published =
        trayForegroundFrom({0x1e1e, 0x3a3a, 0x8a8a, 0xcccc, 0, 0, 0xf5f5, 0x7979, 0, 0x4e4e, 0x9a9a, 0x0606});
    ASSERT_TRUE(published);
    EXPECT_EQ(published->name(), QStringLiteral("#1e3a8a"));
    EXPECT_EQ(trayForegroundFrom({0x10000, 0xffff, 0})->name(), QStringLiteral("#ffff00")) << "16 bits at most";
    EXPECT_FALSE(trayForegroundFrom({0xffff, 0xffff}));

    // The screen where the icon sits: the tray's grey, and the icon painted over it in black.
    const platform::Image image = statusImage();
    const QImage coverage = StatusIconEngine::coverage(image, QSize(22, 22));
    QImage shot(22, 22, QImage::Format_RGB32);
    shot.fill(QColor(0xdc, 0xdc, 0xdc));
    {
        QPainter painter(&shot);
        painter.drawImage(0, 0, renderStatusIcon(image, 22, Qt::black));
    }
    const auto behind = backgroundBehind(shot, coverage);
    ASSERT_TRUE(behind);
    EXPECT_EQ(behind->name(), QStringLiteral("#dcdcdc"));

    QImage covered(22, 22, QImage::Format_ARGB32);
    covered.fill(Qt::black);
    EXPECT_FALSE(backgroundBehind(shot, covered)) << "nothing of the tray shows";
    EXPECT_FALSE(backgroundBehind(shot, coverage.scaled(20, 20))) << "sizes differ";
}

}  // namespace
}  // namespace nubrio::linux_platform
