// The drawn status icon on the real backend: coverage at tray sizes and on 2x screens, the image's
// flags.
#include <gtest/gtest.h>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <cmath>

#include "platform/linux/tray/icon_painting.h"
#include "support/status_icon_checks.h"

namespace nubrio::linux_platform {
namespace {

TEST(StatusIconRendering, CoversTheShapesAndNothingBetweenAtEverySize) {
    struct Case {
        int size;
        qreal ratio;
    };
    const QColor tint(0x12, 0x34, 0x56);
    for (const Case& c : {Case{18, 1.0}, Case{36, 1.0}, Case{18, 2.0}, Case{22, 1.0}}) {
        SCOPED_TRACE(::testing::Message() << c.size << " px at " << c.ratio << "x");
        const QImage image = renderStatusIcon(statusImage(), c.size, tint, c.ratio);
        ASSERT_EQ(image.width(), std::lround(c.size * c.ratio));
        ASSERT_EQ(image.height(), std::lround(c.size * c.ratio));
        EXPECT_EQ(image.devicePixelRatio(), c.ratio);
        expectStatusIcon(image, tint);
    }
}

TEST(StatusIconRendering, HonoursFlippedAndTemplateFlags) {
    // A band along the top 20 units of whatever coordinate system the handler is given.
    const platform::DrawingHandler band = [](const platform::Rect& rect, platform::DrawingContext& context) {
        const double s = rect.width / 100;
        context.beginPath();
        context.moveTo(0, 0);
        context.lineTo(100 * s, 0);
        context.lineTo(100 * s, 20 * s);
        context.lineTo(0, 20 * s);
        context.closePath();
        context.setFillBlack();
        context.fillPath();
        return true;
    };
    const QColor tint(Qt::red);

    const QImage flipped = renderStatusIcon(platform::Image{18, 18, true, true, band}, 36, tint);
    EXPECT_EQ(at(flipped, 50, 5).alpha(), 255);
    EXPECT_EQ(at(flipped, 50, 95).alpha(), 0);

    // y grows upwards: the band lies along the bottom; not a template: painted as drawn, black.
    const QImage upright = renderStatusIcon(platform::Image{18, 18, false, false, band}, 36, tint);
    EXPECT_EQ(at(upright, 50, 5).alpha(), 0);
    EXPECT_EQ(at(upright, 50, 95), QColor(Qt::black));

    const QImage failed = renderStatusIcon(
        platform::Image{18, 18, true, true,
                        [&](const platform::Rect& r, platform::DrawingContext& c) { return band(r, c) && false; }},
        36, tint);
    EXPECT_EQ(at(failed, 50, 5).alpha(), 0) << "a handler that fails draws nothing";
}

// A tray that asks for the picture, through whichever copy of the icon it holds, is told of once.
TEST(StatusIconRendering, TheFirstPictureAskedForIsToldOfOnce) {
    auto painted = std::make_shared<std::function<void()>>();
    int told = 0;
    *painted = [&] { ++told; };
    const QIcon icon(new StatusIconEngine(statusImage(), Qt::white, painted));
    const QIcon copy = icon;
    EXPECT_EQ(told, 0) << "making and copying the icon paints nothing";
    (void)StatusIconEngine::coverage(statusImage(), QSize(22, 22));
    EXPECT_EQ(told, 0) << "reading the coverage is not a tray asking";

    expectStatusIcon(copy.pixmap(QSize(22, 22)).toImage(), Qt::white);
    EXPECT_EQ(told, 1);
    QImage canvas(24, 24, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&canvas);
    icon.paint(&painter, QRect(0, 0, 24, 24));
    (void)icon.pixmap(QSize(48, 48));
    EXPECT_EQ(told, 1);
    EXPECT_FALSE(*painted) << "the handler is let go once called";
}

}  // namespace
}  // namespace nubrio::linux_platform
