// Manual-reset events and the wait on several.
#include "platform/sys/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace plk::platform {
namespace {

TEST(Event, ManualResetAndLowestIndexWins) {
    Event a, b, c;
    ASSERT_TRUE(a.valid() && b.valid() && c.valid());
    EXPECT_FALSE(a.IsSet());
    a.Set();
    a.Set();
    EXPECT_TRUE(a.IsSet());  // stays set until reset
    EXPECT_TRUE(a.IsSet());
    a.Reset();
    EXPECT_FALSE(a.IsSet());

    const Waitable all[] = {a.waitable(), b.waitable(), c.waitable()};
    EXPECT_EQ(WaitAny(all, 0), kWaitTimeout);
    c.Set();
    b.Set();
    EXPECT_EQ(WaitAny(all), 1);
    a.Set();
    EXPECT_EQ(WaitAny(all), 0);
    // An absent object is skipped, not waited on.
    const Waitable gap[] = {Waitable{}, c.waitable()};
    EXPECT_EQ(WaitAny(gap), 1);
}

TEST(Event, WakesAWaiterOnAnotherThread) {
    Event e;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        e.Set();
    });
    const Waitable one[] = {e.waitable()};
    EXPECT_EQ(WaitAny(one, 5000), 0);
    setter.join();
}

}  // namespace
}  // namespace plk::platform
