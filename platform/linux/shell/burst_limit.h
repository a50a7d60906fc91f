#pragma once
// What other processes hand over that opens a window without asking first (connect links, the
// launcher's folder commands) costs a bounded amount however fast it comes. A request identical to
// one that arrived less than `together` ago joins it. Of the others a handful run at once, then one
// per `refill`: whatever arrives meanwhile is coalesced into that one. When a burst is over, one line
// says what it joined and coalesced. Plain logic on a clock the caller passes in.
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace nubrio::linux_platform {

class BurstLimit {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct Policy {
        int burst = 4;                             // at once
        std::chrono::milliseconds refill{3000};    // then one per this
        std::chrono::milliseconds together{2000};  // identical ones within this are one
    };
    enum class Verdict {
        Now,        // run it
        Joined,     // an identical one just ran or waits: nothing to do
        Coalesced,  // it waits, with whatever else comes, for the next release
    };

    BurstLimit();
    explicit BurstLimit(Policy policy);

    Verdict offer(const std::string& key, TimePoint now);

    // When the coalesced request may run; none while nothing waits.
    std::optional<TimePoint> releaseAt() const;
    // Whether the coalesced request runs now (called at releaseAt() or later).
    bool release(TimePoint now);

    // When the current burst is over: `together` after its last request, once nothing waits.
    std::optional<TimePoint> quietAt() const;
    // At quietAt() or later: ends the burst, with a line for the log when it joined or coalesced
    // anything (`what` names the requests, e.g. "link hand-overs").
    std::optional<std::string> endBurst(TimePoint now, const std::string& what);

private:
    void refill(TimePoint now);

    Policy policy_;
    double tokens_;
    TimePoint refilled_{};
    bool started_ = false;
    bool waiting_ = false;
    // Requests that arrived lately, by key, with when each last came.
    std::map<std::string, TimePoint> recent_;
    static constexpr std::size_t kMaxRecent = 64;
    // The current burst.
    std::optional<TimePoint> lastArrival_;
    std::size_t arrived_ = 0, ranAtOnce_ = 0, joined_ = 0, coalesced_ = 0, releases_ = 0;
};

}  // namespace nubrio::linux_platform
