#include "platform/linux/shell/burst_limit.h"

#include <algorithm>

namespace nubrio::linux_platform {

BurstLimit::BurstLimit() : BurstLimit(Policy{}) {}

BurstLimit::BurstLimit(Policy policy) : policy_(policy), tokens_(policy.burst) {}

void BurstLimit::refill(TimePoint now) {
    if (!started_) {
        started_ = true;
        refilled_ = now;
        return;
    }
    if (now <= refilled_) return;
    const double earned = std::chrono::duration<double>(now - refilled_) / policy_.refill;
    tokens_ = std::min<double>(policy_.burst, tokens_ + earned);
    refilled_ = now;
}

BurstLimit::Verdict BurstLimit::offer(const std::string& key, TimePoint now) {
    refill(now);
    std::erase_if(recent_, [&](const auto& entry) { return now - entry.second >= policy_.together; });
    ++arrived_;
    lastArrival_ = now;
    if (auto found = recent_.find(key); found != recent_.end()) {
        found->second = now;
        ++joined_;
        return Verdict::Joined;
    }
    if (recent_.size() >= kMaxRecent)
        recent_.erase(std::min_element(recent_.begin(), recent_.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; }));
    recent_.emplace(key, now);
    // What waits goes first: a new request may not overtake it.
    if (!waiting_ && tokens_ >= 1) {
        tokens_ -= 1;
        ++ranAtOnce_;
        return Verdict::Now;
    }
    waiting_ = true;
    ++coalesced_;
    return Verdict::Coalesced;
}

std::optional<BurstLimit::TimePoint> BurstLimit::releaseAt() const {
    if (!waiting_) return std::nullopt;
    if (tokens_ >= 1) return refilled_;
    const auto missing = std::chrono::duration<double>((1 - tokens_) * policy_.refill);
    return refilled_ + std::chrono::ceil<std::chrono::milliseconds>(missing);
}

bool BurstLimit::release(TimePoint now) {
    refill(now);
    // Rounding may leave a hair short of a whole token at the release's time.
    if (!waiting_ || tokens_ < 1 - 1e-6) return false;
    tokens_ = std::max(0.0, tokens_ - 1);
    waiting_ = false;
    ++releases_;
    return true;
}

std::optional<BurstLimit::TimePoint> BurstLimit::quietAt() const {
    if (!lastArrival_ || waiting_) return std::nullopt;
    return *lastArrival_ + policy_.together;
}

std::optional<std::string> BurstLimit::endBurst(TimePoint now, const std::string& what) {
    const std::optional<TimePoint> quiet = quietAt();
    if (!quiet || now < *quiet) return std::nullopt;
    std::optional<std::string> line;
    if (joined_ > 0 || coalesced_ > 0)
        line = std::to_string(arrived_) + " " + what + " in a burst: " + std::to_string(ranAtOnce_) +
               " ran at once, " + std::to_string(coalesced_) + " that came too fast ran as " +
               std::to_string(releases_) + ", " + std::to_string(joined_) +
               " repeated one that had just come and were joined to it";
    lastArrival_.reset();
    arrived_ = ranAtOnce_ = joined_ = coalesced_ = releases_ = 0;
    return line;
}

}  // namespace nubrio::linux_platform
