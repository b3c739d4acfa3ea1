#include "platform/ui/sent_queue.h"

#include <chrono>
#include <thread>

#include "platform/sys/processor.h"

namespace plk::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Tells the processor that this is a spin, so that it spares the other thread
// of its core and the memory bus.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

int SentQueue::SpinBudget::Next() {
    const int budget = budgetUs_.load(std::memory_order_relaxed);
    if (budget < fullUs_ / 4 && waits_.fetch_add(1, std::memory_order_relaxed) % 16 == 0) {
        return fullUs_;
    }
    return budget;
}

bool SentQueue::SendAndWait(const std::function<void()>& work) {
    return SendAndWait([](void* w) { (*static_cast<const std::function<void()>*>(w))(); },
                       const_cast<void*>(static_cast<const void*>(&work)));
}

bool SentQueue::SendAndWait(void (*run)(void*), void* context) {
    Item item{run, context};
    const int cpu = CurrentProcessor();
    senderCpu_.store(cpu, std::memory_order_relaxed);
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        if (last_ != nullptr) {
            last_->next = &item;
        } else {
            first_ = &item;
        }
        last_ = &item;
        // An owner in a burst looks again before it sleeps; one in its loop
        // must be woken.
        if (!serving_ && !signalled_) {
            signalled_ = true;
            wake = true;
        }
    }
    // Both told only now that the lock is free: a system call under it would
    // make the owner sleep on the lock, and the owner's spin takes the lock as
    // soon as it sees the count move.
    if (wake) {
        pending_.Set();
    }
    queued_.fetch_add(1, std::memory_order_relaxed);
    // The owner answers within microseconds when it is serving, and within
    // tens of them when it must first come out of its loop: worth a look
    // before sleeping, which would cost a system call on both sides. A sender
    // that sleeps would also wake too late for the owner's look for its next
    // piece of work, and the next byte would again find the owner in its loop.
    // An owner last seen on this processor can only run once this thread
    // stops: spinning would keep it off.
    if (!OwnerShares(cpu)) {
        SpinBudget& budget = wake ? wakeSpin_ : senderSpin_;
        const auto spinStart = Clock::now();
        const auto spinUntil = spinStart + std::chrono::microseconds(budget.Next());
        for (auto now = spinStart;; now = Clock::now()) {
            const int state = item.state.load(std::memory_order_acquire);
            if (state != kQueued) {
                budget.Hit();
                return state == kRan;
            }
            if (now >= spinUntil || OwnerShares(cpu)) {
                break;
            }
            CpuRelax();
        }
        budget.Miss();
    }
    // Sharing a processor with an owner that is serving, the two take turns
    // on it: handing it straight to the owner costs one call a turn, sleeping
    // on the condition two or more. An owner still asleep in its loop cannot
    // take a turn until it has woken, wherever that is: sleep.
    if (!wake && OwnerShares(cpu)) {
        const auto until = Clock::now() + std::chrono::microseconds(kTurnUs);
        do {
            std::this_thread::yield();
            const int state = item.state.load(std::memory_order_acquire);
            if (state != kQueued) {
                return state == kRan;
            }
        } while (Clock::now() < until);
    }
    std::unique_lock lock(mutex_);
    item.sleeping = true;
    served_.wait(lock, [&] { return item.state.load(std::memory_order_relaxed) != kQueued; });
    return item.state.load(std::memory_order_relaxed) == kRan;
}

SentQueue::Item* SentQueue::PopLocked() {
    Item* item = first_;
    if (item != nullptr) {
        first_ = item->next;
        if (first_ == nullptr) {
            last_ = nullptr;
        }
    }
    return item;
}

bool SentQueue::FinishLocked(Item* item, State state) {
    // The sender may return as soon as it sees the state: nothing of the item
    // is touched after it.
    const bool wake = item->sleeping;
    item->state.store(state, std::memory_order_release);
    return wake;
}

void SentQueue::Serve() {
    const auto start = Clock::now();
    const auto burstEnd = start + std::chrono::microseconds(kBurstLimitUs);
    bool servedAny = false;
    ownerCpu_.store(CurrentProcessor(), std::memory_order_relaxed);
    std::unique_lock lock(mutex_);
    serving_ = true;
    signalled_ = false;
    lock.unlock();
    // Outside the lock, and every time: a sender's Set may come just after
    // this (it leaves the lock first), and is then reset by the next Serve
    // after one wake-up that finds nothing.
    pending_.Reset();
    lock.lock();
    for (;;) {
        Item* item = PopLocked();
        if (item == nullptr) {
            // Nothing queued: after real work, look for more for a moment
            // (the next byte of a talking board is as a rule microseconds
            // away), then give the loop back.
            bool more = false;
            const uint64_t seen = queued_.load(std::memory_order_relaxed);
            lock.unlock();
            if (servedAny && SenderShares()) {
                // The sender runs only while this thread does not: hand it the
                // processor for its next piece a few times before giving the
                // loop back, whose wake-up would cost several calls a byte.
                const auto until =
                    std::min(burstEnd, Clock::now() + std::chrono::microseconds(kTurnUs));
                do {
                    std::this_thread::yield();
                } while (queued_.load(std::memory_order_relaxed) == seen && Clock::now() < until);
                more = queued_.load(std::memory_order_relaxed) != seen;
            } else if (servedAny) {
                const auto spinStart = Clock::now();
                const auto spinEnd =
                    std::min(burstEnd, spinStart + std::chrono::microseconds(ownerSpin_.Next()));
                for (auto now = spinStart;; now = Clock::now()) {
                    if (queued_.load(std::memory_order_relaxed) != seen) {
                        more = true;
                        break;
                    }
                    if (now >= spinEnd) {
                        break;
                    }
                    CpuRelax();
                }
                if (more) {
                    ownerSpin_.Hit();
                } else {
                    ownerSpin_.Miss();
                }
            }
            lock.lock();
            if (more || first_ != nullptr) {
                if (Clock::now() < burstEnd) {
                    continue;
                }
                // The burst is over while work still comes: the loop gets its
                // turn (input, timers) and is woken for the rest.
                serving_ = false;
                signalled_ = true;
                lock.unlock();
                pending_.Set();
                return;
            }
            serving_ = false;
            return;
        }
        // The work may run a loop of its own (a message box) that must be
        // woken for what is sent meanwhile: no burst is on while it runs.
        serving_ = false;
        lock.unlock();
        item->run(item->context);
        servedAny = true;
        lock.lock();
        serving_ = true;
        const bool wake = FinishLocked(item, kRan);
        if (wake) {
            lock.unlock();
            served_.notify_all();
            lock.lock();
        }
        if (Clock::now() >= burstEnd && first_ != nullptr) {
            serving_ = false;
            signalled_ = true;
            lock.unlock();
            pending_.Set();
            return;
        }
    }
}

bool SentQueue::ServeUntil(const Event& done) {
    while (!done.IsSet()) {
        const Waitable objects[] = {done.waitable(), pending_.waitable()};
        if (WaitAny(objects) == kWaitFailed) {
            return false;
        }
        Serve();
    }
    return true;
}

bool SentQueue::OwnerShares(int cpu) const {
    return cpu >= 0 && ownerCpu_.load(std::memory_order_relaxed) == cpu;
}

bool SentQueue::SenderShares() {
    const int cpu = CurrentProcessor();
    ownerCpu_.store(cpu, std::memory_order_relaxed);
    return cpu >= 0 && senderCpu_.load(std::memory_order_relaxed) == cpu;
}

void SentQueue::Close() {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        while (Item* item = PopLocked()) {
            wake = FinishLocked(item, kRefused) || wake;
        }
    }
    if (wake) {
        served_.notify_all();
    }
}

bool SentQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace plk::platform
