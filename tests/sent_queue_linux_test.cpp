// The queue of work sent to a user-interface thread, with the owner and its
// senders on one processor and on processors of their own: the two placements
// take different paths (taking turns on the processor, spinning).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/sys/event.h"
#include "platform/ui/sent_queue.h"

namespace plk::platform {
namespace {

// Puts the calling thread on the `index`-th processor it may use; false when
// it may use fewer.
bool PinToAllowed(int index) {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return false;
    }
    for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed) && seen++ == index) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
        }
    }
    return false;
}

struct Placement {
    const char* name;
    int ownerProcessor;
    int senderProcessor;
};

class SentQueuePlacement : public testing::TestWithParam<Placement> {};

// Bursts from two senders, as a talking board's monitor and the bridge send
// them: every piece runs once, on the owner's thread, each sender's in order,
// and no sender is left waiting when a burst ends between two pieces.
TEST_P(SentQueuePlacement, EveryPieceRunsOnceInOrder) {
    const Placement placement = GetParam();
    constexpr int kSenders = 2;
    constexpr int kBursts = 40;
    constexpr int kPerBurst = 64;
    SentQueue queue;
    Event done;
    std::atomic<bool> pinned{true};
    std::array<int, kSenders> ran{};  // the owner's only
    std::atomic<int> outOfOrder{0}, offThread{0};
    std::thread::id ownerId;
    std::thread owner([&] {
        ownerId = std::this_thread::get_id();
        pinned = PinToAllowed(placement.ownerProcessor) && pinned;
        queue.ServeUntil(done);
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            pinned = PinToAllowed(placement.senderProcessor) && pinned;
            for (int b = 0; b < kBursts; ++b) {
                for (int i = 0; i < kPerBurst; ++i) {
                    const int expected = b * kPerBurst + i;
                    ASSERT_TRUE(queue.SendAndWait([&] {
                        if (std::this_thread::get_id() != ownerId) {
                            ++offThread;
                        }
                        if (ran[s]++ != expected) {
                            ++outOfOrder;
                        }
                    }));
                }
                // The pause between two lines of a board: the owner's wait for
                // the next piece runs out, and it goes back to its loop.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    for (std::thread& t : senders) {
        t.join();
    }
    done.Set();
    owner.join();
    if (!pinned) {
        GTEST_SKIP() << "this machine has not the processors for " << placement.name;
    }
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_EQ(offThread.load(), 0);
    for (int s = 0; s < kSenders; ++s) {
        EXPECT_EQ(ran[s], kBursts * kPerBurst) << "sender " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Placements, SentQueuePlacement,
                         testing::Values(Placement{"one processor", 0, 0},
                                         Placement{"two processors", 0, 1}),
                         [](const testing::TestParamInfo<Placement>& info) {
                             return info.param.ownerProcessor == info.param.senderProcessor
                                        ? std::string("OneProcessor")
                                        : std::string("TwoProcessors");
                         });

}  // namespace
}  // namespace plk::platform
