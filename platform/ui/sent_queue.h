// Work that other threads hand to a window's user-interface thread and wait
// for: the synchronous send of a window, shared by every window layer.
//
// A board that talks sends one piece of work per byte, and the sender waits for
// each. So the queue hands work over without a system call while both sides
// are busy on processors of their own: the owner serves in bursts and looks
// for more for a few microseconds after real work before it returns to its
// loop, and a sender looks for its result for a few microseconds before it
// sleeps. Neither spins unless work has just been done, so an idle queue costs
// nothing. Two threads on one processor cannot meet in a spin, so there
// neither spins: each hands the processor to the other (a yield) for a few
// turns before it sleeps or goes back to its loop, whose wake-ups cost more.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>

#include "platform/sys/event.h"

namespace plk::platform {

class SentQueue {
public:
    // How long the owner goes on serving before it returns to its loop while
    // work keeps coming, so that user input waits no longer than this.
    static constexpr int kBurstLimitUs = 2000;
    // How long the owner looks for more work after it has served some, and a
    // sender for its result before it sleeps.
    static constexpr int kOwnerSpinUs = 30;
    static constexpr int kSenderSpinUs = 60;
    // How long a sender that had to wake the owner's loop looks for its result:
    // a loop's wake-up takes tens of microseconds on a busy machine.
    static constexpr int kWakeSpinUs = 200;
    // How long either side, sharing a processor with the other, keeps handing
    // it over (a yield a turn) before it sleeps or returns: a few turns.
    static constexpr int kTurnUs = 20;

    // From any thread but the owner's: queues `work` and returns once the owner
    // has run it (true), or once the queue is closed before it ran (false). A
    // closed queue refuses at once.
    bool SendAndWait(const std::function<void()>& work);
    // The same for any callable, without wrapping it: nothing is allocated.
    template <typename Work>
    requires std::is_invocable_v<Work&>
    bool SendAndWait(Work&& work) {
        using W = std::remove_reference_t<Work>;
        return SendAndWait([](void* w) { (*static_cast<W*>(w))(); },
                           const_cast<void*>(static_cast<const void*>(std::addressof(work))));
    }
    // The same as a plain function and its argument.
    bool SendAndWait(void (*run)(void*), void* context);
    // Owner's thread: runs everything queued, and what comes in a burst after it.
    void Serve();
    // Owner's thread: sleeps until `done` is set, running what is sent meanwhile.
    // False when the wait itself failed.
    bool ServeUntil(const Event& done);
    // From now on every send fails; those waiting are released without running.
    void Close();
    bool closed() const;
    // Set while work may be waiting and the owner is not serving (now and
    // then also when nothing is: the next Serve resets it); the owner's loop
    // wakes on it.
    const Event& pending() const { return pending_; }

private:
    enum State : int { kQueued, kRan, kRefused };
    struct Item {
        void (*run)(void*);
        void* context;
        Item* next = nullptr;
        // Lowered by the owner under mutex_ as its last touch of the item; the
        // sender may read it without the lock (acquire) and then return.
        std::atomic<int> state{kQueued};
        bool sleeping = false;  // under mutex_: the sender waits on served_
    };

    // How long a spin may go on: the full time while spins find what they
    // wait for, halved after each that does not, so that two threads that
    // take turns on one core (a machine with more work than cores) soon stop
    // spinning; every 16th wait then tries the full time again. Any thread
    // (relaxed: a stale budget only costs a spin of another length).
    class SpinBudget {
    public:
        explicit SpinBudget(int fullUs) : fullUs_(fullUs), budgetUs_(fullUs) {}
        int Next();
        void Hit() { budgetUs_.store(fullUs_, std::memory_order_relaxed); }
        void Miss() {
            budgetUs_.store(budgetUs_.load(std::memory_order_relaxed) / 2,
                            std::memory_order_relaxed);
        }

    private:
        const int fullUs_;
        std::atomic<int> budgetUs_;
        std::atomic<unsigned> waits_{0};
    };

    // Under mutex_: the first queued item, or null.
    Item* PopLocked();
    // Under mutex_: `item` ran; its sender is woken if it sleeps.
    bool FinishLocked(Item* item, State state);
    // Sender: whether the owner was last seen on processor `cpu` (its own).
    bool OwnerShares(int cpu) const;
    // Owner's thread: notes where it runs; true when the last sender sent
    // from the same processor.
    bool SenderShares();

    mutable std::mutex mutex_;
    std::condition_variable served_;
    // Under mutex_: the queue (first to last), whether it is closed, whether
    // the owner is serving (and will look again before it sleeps, so a sender
    // need not wake it), and whether a sender has set pending_ since the
    // owner's last Serve began (so that the next one need not).
    Item* first_ = nullptr;
    Item* last_ = nullptr;
    bool closed_ = false;
    bool serving_ = false;
    bool signalled_ = false;
    // Counts every queued item, raised after the lock is left; the owner's
    // spin watches it (relaxed: it only says when to take the lock, under
    // which the queue itself is read).
    std::atomic<uint64_t> queued_{0};
    // The processor the owner was last seen on when it served, and the one the
    // last sender was on when it sent: whether a spin can meet the other side
    // (relaxed: hints; a stale one costs one spin or one sleep).
    std::atomic<int> ownerCpu_{-1};
    std::atomic<int> senderCpu_{-1};
    SpinBudget ownerSpin_{kOwnerSpinUs};
    SpinBudget senderSpin_{kSenderSpinUs};
    SpinBudget wakeSpin_{kWakeSpinUs};
    Event pending_;
};

}  // namespace plk::platform
