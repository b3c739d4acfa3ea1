// Work that other threads hand to a window's user-interface thread and wait
// for: the synchronous send of a window, shared by every window layer.
//
// A talking board sends a piece per byte and waits for each, so while both
// sides are busy the work passes without a system call: the owner serves in
// bursts and looks for more after real work, a sender for its result before it
// sleeps. Two threads on one processor cannot meet in a spin, so there each
// hands the processor to the other. Nobody looks unless work was just sent or
// done: an idle queue costs nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>

#include "platform/sys/event.h"
#include "platform/sys/processor.h"

namespace plk::platform {

// The hand-off's fixed times, and its clock and processor (a test's own).
struct HandOffPolicy {
    using Clock = std::chrono::steady_clock;
    using Us = std::chrono::microseconds;
    // A sender's look for its result before it sleeps: long enough to cover an
    // owner that must first come out of its loop (tens of microseconds on a
    // busy machine), or each byte of a line would cost two wake-ups.
    Us senderSpin{200};
    // The owner's look for the next piece after real work before it returns
    // to its loop: the next byte of a talking board is as a rule this close.
    Us ownerLinger{30};
    // Either side's turns on a processor it shares with the other (a yield
    // each): a few of the other's turns.
    Us sharedTurns{20};
    // How long the owner serves while work keeps coming, so that user input
    // waits no longer than this.
    Us burst{2000};
    Clock::time_point (*now)() = &Clock::now;
    // The caller's processor, or -1 when unknown (then the two sides spin).
    int (*processor)() = &CurrentProcessor;
};

class SentQueue {
public:
    explicit SentQueue(HandOffPolicy policy = {}) : policy_(policy) {}

    // From any thread but the owner's: queues `work` and returns once the owner
    // has run it (true), or once the queue is closed before it ran (false). A
    // closed queue refuses at once. Nothing is allocated.
    template <typename Work>
    requires std::is_invocable_v<Work&>
    bool SendAndWait(Work&& work) {
        using W = std::remove_reference_t<Work>;
        return SendAndWait([](void* w) { (*static_cast<W*>(w))(); },
                           const_cast<void*>(static_cast<const void*>(std::addressof(work))));
    }
    bool SendAndWait(void (*run)(void*), void* context);
    // Owner's thread: runs everything queued, and what comes in a burst after it.
    void Serve();
    // Owner's thread: sleeps until `done` is set, running what is sent meanwhile.
    // False when the wait itself failed.
    bool ServeUntil(const Event& done);
    // From now on every send fails; those waiting are released without running.
    void Close();
    bool closed() const;
    // Set while work may wait and the owner is not serving (now and then also
    // when nothing does: the next Serve resets it); the owner's loop wakes on it.
    const Event& pending() const { return pending_; }

private:
    enum State : int { kQueued, kRan, kRefused };
    struct Item {
        void (*run)(void*);
        void* context;
        Item* next = nullptr;
        // The owner's last touch of the item (release); its sender may return
        // once it reads anything but kQueued (acquire).
        std::atomic<int> state{kQueued};
    };

    Item* PopLocked();
    // Under mutex_, so that a sender that sees its result and sends again at
    // once does not find the lock taken and sleep on it, and so that a sender
    // that parks cannot miss the wake. The item is not touched after its state.
    void Finish(Item& item, State state);

    const HandOffPolicy policy_;
    mutable std::mutex mutex_;
    // Under mutex_: the queue, whether it is closed, whether the owner is
    // serving (and will look again before it returns, so a sender need not
    // wake it), and whether pending_ was set since the last Serve began.
    Item* first_ = nullptr;
    Item* last_ = nullptr;
    bool closed_ = false;
    bool serving_ = false;
    bool signalled_ = false;
    // Items queued, raised after the lock is left: tells a lingering owner when
    // to take the lock (relaxed: the queue itself is read under it).
    std::atomic<uint64_t> queued_{0};
    // Senders asleep for their result, under mutex_; they are woken by every
    // finished item, since a work item's nested loop may finish later items
    // first. Not an atomic wait: where the library has no futex (MinGW's
    // GCC 12) that can sleep through its notify for good.
    int parked_ = 0;
    std::condition_variable finished_;
    // Where each side last ran (relaxed: a stale hint costs one spin or sleep).
    std::atomic<int> ownerCpu_{-1};
    std::atomic<int> senderCpu_{-1};
    Event pending_;
};

}  // namespace plk::platform
