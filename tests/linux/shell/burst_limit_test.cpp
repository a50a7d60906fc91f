// What hand-overs that open windows may cost, in virtual time: identical ones together are one, a
// handful run at once, the rest are coalesced into one run per refill, and a burst ends in one line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/shell/burst_limit.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Verdict = BurstLimit::Verdict;

const BurstLimit::TimePoint kStart{std::chrono::hours(1)};

struct Outcome {
    int runs = 0;  // at once, and releases of what was coalesced
    int joined = 0;
    std::vector<std::string> lines;
};

// Offers each request at its time, releases what waits when its time comes, and ends bursts as the
// program's timers would.
Outcome simulate(const std::vector<std::pair<std::chrono::milliseconds, std::string>>& arrivals) {
    BurstLimit limit;
    Outcome outcome;
    auto catchUp = [&](BurstLimit::TimePoint until) {
        for (;;) {
            const std::optional<BurstLimit::TimePoint> release = limit.releaseAt();
            const std::optional<BurstLimit::TimePoint> quiet = limit.quietAt();
            if (release && *release <= until) {
                if (limit.release(*release)) ++outcome.runs;
                continue;
            }
            if (quiet && *quiet <= until) {
                if (auto line = limit.endBurst(*quiet, "link hand-overs")) outcome.lines.push_back(*line);
                continue;
            }
            return;
        }
    };
    for (const auto& [at, key] : arrivals) {
        catchUp(kStart + at);
        switch (limit.offer(key, kStart + at)) {
            case Verdict::Now: ++outcome.runs; break;
            case Verdict::Joined: ++outcome.joined; break;
            case Verdict::Coalesced: break;
        }
    }
    catchUp(kStart + std::chrono::hours(1));
    return outcome;
}

std::vector<std::pair<std::chrono::milliseconds, std::string>> arrivals(int count, std::chrono::milliseconds apart,
                                                                       bool distinct) {
    std::vector<std::pair<std::chrono::milliseconds, std::string>> list;
    for (int i = 0; i < count; ++i)
        list.emplace_back(i * apart, distinct ? "nubrio://connect?n=" + std::to_string(i) : "nubrio://connect");
    return list;
}

TEST(BurstLimit, WhatAFloodOfHandOversOpens) {
    const struct {
        const char* name;
        std::vector<std::pair<std::chrono::milliseconds, std::string>> arrivals;
        int runs, joined;
        bool logged;
    } table[] = {
        {"200 copies of one link within 2 s", arrivals(200, 10ms, false), 1, 199, true},
        {"20 link starts, 100 ms apart", arrivals(20, 100ms, false), 1, 19, true},
        {"200 different links within 2 s: a handful, then one for the rest", arrivals(200, 10ms, true), 5, 0, true},
        {"a different link every second for a minute: the first four, then one per 3 s",
         arrivals(60, 1000ms, true), 4 + 60 / 3, 0, true},
        {"a link every 5 s: each opens", arrivals(10, 5000ms, true), 10, 0, false},
        {"the same link again after a pause: it opens again", arrivals(3, 2500ms, false), 3, 0, false},
        {"four different links at once: all open", arrivals(4, 0ms, true), 4, 0, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const Outcome outcome = simulate(row.arrivals);
        EXPECT_EQ(outcome.runs, row.runs);
        EXPECT_EQ(outcome.joined, row.joined);
        EXPECT_EQ(outcome.lines.size(), row.logged ? 1u : 0u) << "one line per burst that dropped anything";
    }
}

TEST(BurstLimit, TheBurstsLineSaysWhatWasJoinedAndCoalesced) {
    auto list = arrivals(6, 10ms, true);
    list.emplace_back(70ms, "nubrio://connect?n=0");
    const Outcome outcome = simulate(list);
    ASSERT_EQ(outcome.lines.size(), 1u);
    EXPECT_EQ(outcome.lines[0],
              "7 link hand-overs in a burst: 4 ran at once, 2 that came too fast ran as 1, 1 repeated one that had "
              "just come and were joined to it");
}

TEST(BurstLimit, WhatWaitsRunsBeforeANewcomerAndTheBurstEndsOnlyOnceItRan) {
    BurstLimit limit;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(limit.offer("a" + std::to_string(i), kStart), Verdict::Now);
    EXPECT_EQ(limit.offer("waits", kStart), Verdict::Coalesced);
    ASSERT_TRUE(limit.releaseAt());
    EXPECT_EQ(*limit.releaseAt(), kStart + 3s);
    EXPECT_EQ(limit.quietAt(), std::nullopt) << "not over while one waits";
    EXPECT_FALSE(limit.release(kStart + 2s));
    // A token has come back, but the one that waits takes it.
    EXPECT_EQ(limit.offer("newcomer", kStart + 3s), Verdict::Coalesced);
    EXPECT_TRUE(limit.release(kStart + 3s));
    EXPECT_EQ(limit.releaseAt(), std::nullopt);
    EXPECT_EQ(limit.endBurst(kStart + 4s, "x"), std::nullopt) << "before its quiet time";
    EXPECT_THAT(limit.endBurst(kStart + 5s, "link hand-overs").value_or(""), HasSubstr("6 link hand-overs"));
    EXPECT_EQ(limit.quietAt(), std::nullopt);
}

}  // namespace
}  // namespace nubrio::linux_platform
