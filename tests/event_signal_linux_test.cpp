// The wait on events when signals keep arriving.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sys/event.h"

namespace plk::platform {
namespace {

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
