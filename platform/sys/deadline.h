// The end of a bounded wait that takes several system waits to reach: one cut
// short by a signal, a partial transfer or a periodic look goes on for what
// is left, never for the whole time again.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

namespace plk::platform {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    // `timeoutMs` from now; a negative time never passes.
    explicit Deadline(std::int64_t timeoutMs)
        : end_(timeoutMs < 0
                   ? Clock::time_point::max()
                   : Clock::now() + std::chrono::milliseconds(std::min(timeoutMs, kLongestMs))) {}

    // What is left, for a system wait that counts in milliseconds: -1 when the
    // deadline never passes, 0 once it has. Rounded up: a wait for the time
    // rounded down would end before the deadline, and the caller would take
    // that for the deadline.
    int RemainingMs() const {
        if (end_ == Clock::time_point::max()) {
            return -1;
        }
        const auto left = end_ - Clock::now();
        if (left <= Clock::duration::zero()) {
            return 0;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return ms < INT_MAX ? static_cast<int>(ms) : INT_MAX;
    }

    bool Expired() const { return Clock::now() >= end_; }

private:
    // Far beyond any wait here, and far from overflowing the clock.
    static constexpr std::int64_t kLongestMs = std::int64_t{1} << 40;

    Clock::time_point end_;
};

}  // namespace plk::platform
