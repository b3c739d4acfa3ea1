// Waits for what a test expects to happen: on an event, or on a condition
// looked at until it holds. Only a failing test waits out the time-out.
#pragma once

#include <chrono>
#include <thread>

#include "platform/sys/deadline.h"
#include "platform/sys/event.h"

namespace plk::test {

// Generous: a sanitized build on a machine shared with other builds is slow.
inline constexpr int kTimeout = 5000;

inline bool WaitSet(const platform::Event& event, int timeoutMs = kTimeout) {
    const platform::Waitable one[] = {event.waitable()};
    return platform::WaitAny(one, timeoutMs) == 0;
}

// For what signals nothing: `condition` is looked at every millisecond.
template <typename Condition>
bool WaitUntil(Condition&& condition, int timeoutMs = kTimeout) {
    const platform::Deadline deadline(timeoutMs);
    while (!condition()) {
        if (deadline.Expired()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace plk::test
