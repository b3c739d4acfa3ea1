// The queue of work sent to a user-interface thread, given processors and clocks.
#include "platform/ui/sent_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace plk::platform {
namespace {

thread_local bool t_owner = false;
std::atomic<int64_t> g_fakeUs{0};
// Time that moves a microsecond a look, and as far as the work says.
HandOffPolicy::Clock::time_point FakeNow() noexcept {
    return HandOffPolicy::Clock::time_point(std::chrono::microseconds(g_fakeUs.fetch_add(1)));
}

// Where the two sides run, and whether each piece takes the whole burst.
const struct {
    const char* name;
    int (*processor)();
    bool fakeClock;
} kCases[] = {
    {"one processor", [] { return 0; }, false},
    {"processors apart", [] { return t_owner ? 0 : 1; }, false},
    {"one processor, pieces a burst long", [] { return 0; }, true},
    {"processors apart, pieces a burst long", [] { return t_owner ? 0 : 1; }, true},
};

// Senders as a talking board's monitor and the bridge send: every piece runs
// once, on the owner's thread, each sender's in order, wherever the two sides
// run; a burst that is over hands the loop back, which is woken for the rest.
TEST(SentQueue, EveryPieceRunsOnceInOrderWithinTheBurst) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const HandOffPolicy policy{.now = c.fakeClock ? FakeNow : HandOffPolicy::Clock::now,
                                   .processor = c.processor};
        SentQueue queue(policy);
        constexpr int kSenders = 3, kEach = 2000;
        std::vector<int> ran(kSenders);  // the owner's only
        int wrong = 0, mostInOneServe = 0;
        Event done;
        std::thread owner([&] {
            t_owner = true;
            while (!done.IsSet()) {
                const Waitable objects[] = {done.waitable(), queue.pending().waitable()};
                WaitAny(objects);
                const int before = ran[0] + ran[1] + ran[2];
                queue.Serve();
                mostInOneServe = std::max(mostInOneServe, ran[0] + ran[1] + ran[2] - before);
            }
        });
        std::vector<std::thread> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&, s] {
                for (int i = 0; i < kEach; ++i) {
                    ASSERT_TRUE(queue.SendAndWait([&] {
                        wrong += (ran[s]++ != i) + !t_owner;
                        g_fakeUs += policy.burst.count();
                    }));
                }
            });
        }
        for (std::thread& t : senders) {
            t.join();
        }
        done.Set();
        owner.join();
        EXPECT_EQ(ran, std::vector<int>(kSenders, kEach));
        EXPECT_EQ(wrong, 0);
        EXPECT_TRUE(!c.fakeClock || mostInOneServe == 1) << mostInOneServe;
    }
}

// A message box's loop inside a piece of work serves a later send first; a
// sender parked when the queue closes is released without its work running.
TEST(SentQueue, NestedLoopServesLaterSendsAndCloseReleasesParkedSenders) {
    SentQueue queue(HandOffPolicy{.senderSpin = {}});
    Event started, innerDone, outerDone;
    std::vector<int> order;
    std::thread owner([&] { queue.ServeUntil(outerDone); });
    std::thread outer([&] {
        EXPECT_TRUE(queue.SendAndWait([&] {
            started.Set();
            queue.ServeUntil(innerDone);
            order.push_back(1);
        }));
        outerDone.Set();
    });
    WaitAny(std::array{started.waitable()});
    EXPECT_TRUE(queue.SendAndWait([&] {
        order.push_back(2);
        innerDone.Set();
    }));
    outer.join();
    owner.join();
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    bool ranAfterClose = false;
    std::thread parked([&] { EXPECT_FALSE(queue.SendAndWait([&] { ranAfterClose = true; })); });
    WaitAny(std::array{queue.pending().waitable()});
    queue.Close();
    parked.join();
    EXPECT_FALSE(queue.SendAndWait([&] { ranAfterClose = true; }));
    EXPECT_FALSE(ranAfterClose);
}

}  // namespace
}  // namespace plk::platform
