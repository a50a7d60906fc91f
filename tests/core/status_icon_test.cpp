#include <gtest/gtest.h>

#include "app/statusbar/status_icon.h"

namespace nubrio {
namespace {

struct RecordingContext : platform::DrawingContext {
    std::vector<std::string> calls;
    std::vector<std::pair<double, double>> points;
    void beginPath() override { calls.push_back("begin"); }
    void moveTo(double x, double y) override {
        calls.push_back("move");
        points.emplace_back(x, y);
    }
    void lineTo(double x, double y) override {
        calls.push_back("line");
        points.emplace_back(x, y);
    }
    void closePath() override { calls.push_back("close"); }
    void setFillBlack() override { calls.push_back("black"); }
    void fillPath() override { calls.push_back("fill"); }
};

TEST(StatusIcon, DrawsThreeClosedShapesAndFillsOnce) {
    RecordingContext context;
    EXPECT_TRUE(drawStatusIcon({0, 0, 18, 18}, context));
    const std::vector<std::string> expected = {
        "begin", "move", "line", "line", "line", "line", "line", "close",
        "move",  "line", "line", "line", "line", "line", "close",
        "move",  "line", "line", "close", "black", "fill"};
    EXPECT_EQ(context.calls, expected);
    EXPECT_DOUBLE_EQ(context.points[1].first, 12.42);  // (69, 3) at 18 points
    EXPECT_DOUBLE_EQ(context.points[1].second, 0.54);
    EXPECT_DOUBLE_EQ(context.points[13].first, 12.42);  // the triangle's tip
    EXPECT_DOUBLE_EQ(context.points[13].second, 9.0);
}

TEST(StatusIcon, ScalesByWidthAloneAndIgnoresTheOrigin) {
    RecordingContext at18, at36, wide;
    drawStatusIcon({0, 0, 18, 18}, at18);
    drawStatusIcon({5, 7, 36, 36}, at36);
    drawStatusIcon({0, 0, 36, 10}, wide);
    ASSERT_EQ(at18.points.size(), at36.points.size());
    for (std::size_t i = 0; i < at18.points.size(); ++i) {
        EXPECT_DOUBLE_EQ(at36.points[i].first, 2 * at18.points[i].first);
        EXPECT_DOUBLE_EQ(at36.points[i].second, 2 * at18.points[i].second);
        EXPECT_EQ(wide.points[i], at36.points[i]);
    }
}

TEST(StatusIcon, ShapesAreExactlyTheDesignGrid) {
    const std::array<std::vector<double>, 3> expected = {{
        {0, 3, 69, 3, 69, 16, 13, 16, 13, 67, 0, 67},
        {100, 97, 31, 97, 31, 84, 87, 84, 87, 33, 100, 33},
        {37.5, 31, 69, 50, 37.5, 69},
    }};
    EXPECT_EQ(statusIconShapes, expected);
}

TEST(StatusIcon, SecondBracketIsTheFirstTurnedAboutTheCentre) {
    const auto& first = statusIconShapes[0];
    const auto& second = statusIconShapes[1];
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_DOUBLE_EQ(second[i], 100 - first[i]);
}

}  // namespace
}  // namespace nubrio
