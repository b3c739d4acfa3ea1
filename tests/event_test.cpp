// Manual-reset events and the wait on several.
#include "platform/sys/event.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
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

// Signals that keep interrupting a bounded wait must not keep it going.
TEST(Event, SignalsDoNotStretchABoundedWait) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        // Bounded, so that a wait that restarts on every signal fails, not hangs.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!done.load() && std::chrono::steady_clock::now() < until) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    Event never;
    const Waitable one[] = {never.waitable()};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitAny(one, 150), kWaitTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_LT(took, std::chrono::seconds(2)) << "each signal restarted the whole wait";
}

}  // namespace
}  // namespace plk::platform
