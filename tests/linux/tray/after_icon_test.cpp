// Chores that wait for the tray icon: none runs before the first status item, each runs once from the
// event loop after it, and one added later still waits its turn.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <chrono>
#include <vector>

#include "platform/linux/tray/status_bar.h"
#include "support/spin.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;
using testing::spinFor;
using testing::spinUntil;

TEST(AfterIconTest, ChoresRunOnceAMomentAfterTheFirstStatusItem) {
    LinuxStatusBar bar;
    std::vector<const char*> ran;
    bar.afterFirstItem([&] { ran.push_back("entry"); });
    spinFor(std::chrono::milliseconds(AfterIcon::kDelayMs + 500));
    EXPECT_TRUE(ran.empty()) << "a chore ran without a status item";

    QElapsedTimer sinceItem;
    sinceItem.start();
    const auto item = bar.statusItemWithLength(platform::StatusBar::VariableLength);
    EXPECT_TRUE(ran.empty()) << "a chore ran on the way to the icon";
    ASSERT_TRUE(spinUntil([&] { return !ran.empty(); }, 20s));
    // Qt's coarse timers may fire up to 5 % early.
    EXPECT_GE(sinceItem.elapsed(), AfterIcon::kDelayMs * 9 / 10);

    const auto second = bar.statusItemWithLength(platform::StatusBar::VariableLength);
    bar.afterFirstItem([&] { ran.push_back("later"); });
    EXPECT_EQ(ran.size(), 1u) << "a chore added after the item ran at once";
    ASSERT_TRUE(spinUntil([&] { return ran.size() == 2; }, 20s));
    spinFor(500ms);
    EXPECT_EQ(ran, (std::vector<const char*>{"entry", "later"}));
}

}  // namespace
}  // namespace nubrio::linux_platform
