#include "platform/ui/sent_queue.h"

#include <chrono>

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
            pending_.Set();
        }
    }
    // Told only now that the lock is free, so that the owner's spin, which
    // then takes it, does not find it held and sleep on it.
    queued_.fetch_add(1, std::memory_order_relaxed);
    // The owner answers within microseconds when it is serving, and within
    // tens of them when it must first come out of its loop: worth a look
    // before sleeping, which would cost a system call on both sides and make
    // the owner's own look for the next piece of work come too early.
    {
        const auto spinUntil = Clock::now() + std::chrono::microseconds(senderSpin_.Next());
        do {
            const int state = item.state.load(std::memory_order_acquire);
            if (state != kQueued) {
                senderSpin_.Hit();
                return state == kRan;
            }
            CpuRelax();
        } while (Clock::now() < spinUntil);
        senderSpin_.Miss();
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
    std::unique_lock lock(mutex_);
    serving_ = true;
    if (signalled_) {
        signalled_ = false;
        pending_.Reset();
    }
    for (;;) {
        Item* item = PopLocked();
        if (item == nullptr) {
            // Nothing queued: after real work, look for more for a moment
            // (the next byte of a talking board is as a rule microseconds
            // away), then give the loop back.
            const uint64_t seen = queued_.load(std::memory_order_relaxed);
            lock.unlock();
            bool more = false;
            if (servedAny) {
                const auto spinEnd =
                    std::min(burstEnd, Clock::now() + std::chrono::microseconds(ownerSpin_.Next()));
                do {
                    if (queued_.load(std::memory_order_relaxed) != seen) {
                        more = true;
                        break;
                    }
                    CpuRelax();
                } while (Clock::now() < spinEnd);
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
                signalled_ = true;
                pending_.Set();
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
            signalled_ = true;
            pending_.Set();
            serving_ = false;
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
