#include "support/status_icon_checks.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/statusbar/status_icon.h"

namespace nubrio::linux_platform {

namespace {

struct GridPoint {
    double x, y;
};
// Well inside a shape even at 18 px: both bars of each bracket and the triangle.
const GridPoint kInside[] = {{5, 40}, {40, 9}, {95, 60}, {60, 90}, {45, 50}};
// Between the shapes and in the two empty corners.
const GridPoint kOutside[] = {{25, 50}, {80, 50}, {50, 25}, {90, 10}, {10, 90}};

}  // namespace

platform::Image statusImage() { return statusIconImage(); }

QColor at(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(std::floor(x / 100 * image.width())),
                            static_cast<int>(std::floor(y / 100 * image.height())));
}

void expectStatusIcon(const QImage& image, const QColor& tint) {
    for (const GridPoint& point : kInside) {
        const QColor pixel = at(image, point.x, point.y);
        EXPECT_EQ(pixel.alpha(), 255) << "(" << point.x << ", " << point.y << ") should be covered";
        EXPECT_EQ(pixel.rgb() & 0xffffff, tint.rgb() & 0xffffff) << "(" << point.x << ", " << point.y << ")";
    }
    for (const GridPoint& point : kOutside)
        EXPECT_EQ(at(image, point.x, point.y).alpha(), 0) << "(" << point.x << ", " << point.y << ") should be empty";
}

}  // namespace nubrio::linux_platform
