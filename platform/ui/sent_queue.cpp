#include "platform/ui/sent_queue.h"

#include <algorithm>
#include <thread>

namespace plk::platform {

namespace {

// Until `found` or `until`: spins (a pause spares the core's other thread), or
// hands the processor over when the other side may be waiting for it. The
// clock comes by value: the policy shares a cache line with the lock, which
// the other side takes meanwhile.
template <typename Found>
void Look(HandOffPolicy::Clock::time_point (*now)(), HandOffPolicy::Clock::time_point until,
          bool yield, Found found) {
    while (!found() && now() < until) {
        if (yield) {
            std::this_thread::yield();
        } else {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }
}

bool Shares(int cpu, const std::atomic<int>& other) {
    return cpu >= 0 && other.load(std::memory_order_relaxed) == cpu;
}

}  // namespace

bool SentQueue::SendAndWait(void (*run)(void*), void* context) {
    Item item{run, context};
    const int cpu = policy_.processor();
    senderCpu_.store(cpu, std::memory_order_relaxed);
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        (last_ != nullptr ? last_->next : first_) = &item;
        last_ = &item;
        // A serving owner looks again before it returns; one in its loop must
        // be woken, once.
        wake = !serving_ && !signalled_;
        signalled_ = signalled_ || wake;
    }
    // Only now that the lock is free: a system call under it would make the
    // owner sleep on the lock.
    if (wake) {
        pending_.Set();
    }
    queued_.fetch_add(1, std::memory_order_relaxed);
    auto ran = [&] { return item.state.load(std::memory_order_acquire) != kQueued; };
    // An owner asleep in its loop on this processor can only wake once this
    // thread sleeps; one asleep elsewhere may be woken onto this processor,
    // where a yield lets it run and a spin would keep it off.
    const bool shared = Shares(cpu, ownerCpu_);
    if (!(wake && shared)) {
        Look(policy_.now, policy_.now() + (shared ? policy_.sharedTurns : policy_.senderSpin),
             shared || wake, ran);
    }
    if (!ran()) {
        std::unique_lock lock(mutex_);
        ++parked_;
        finished_.wait(lock, ran);
        --parked_;
    }
    return item.state.load(std::memory_order_acquire) == kRan;
}

SentQueue::Item* SentQueue::PopLocked() {
    Item* item = first_;
    if (item != nullptr) {
        first_ = item->next;
        last_ = first_ != nullptr ? last_ : nullptr;
    }
    return item;
}

void SentQueue::Finish(Item& item, State state) {
    item.state.store(state, std::memory_order_release);
    if (parked_ != 0) {
        finished_.notify_all();
    }
}

void SentQueue::Serve() {
    const auto burstEnd = policy_.now() + policy_.burst;
    ownerCpu_.store(policy_.processor(), std::memory_order_relaxed);
    std::unique_lock lock(mutex_);
    serving_ = true;
    signalled_ = false;
    lock.unlock();
    // Outside the lock, and every time: a sender's Set just after this is
    // reset by the next Serve after one wake-up that finds nothing.
    pending_.Reset();
    lock.lock();
    for (bool served = false;; served = true) {
        Item* item = PopLocked();
        if (item == nullptr && served && policy_.now() < burstEnd) {
            // Look for the sender's next piece; one on this processor runs only
            // while this thread does not.
            const uint64_t seen = queued_.load(std::memory_order_relaxed);
            lock.unlock();
            const int cpu = policy_.processor();
            ownerCpu_.store(cpu, std::memory_order_relaxed);
            const bool shared = Shares(cpu, senderCpu_);
            const auto end = policy_.now() + (shared ? policy_.sharedTurns : policy_.ownerLinger);
            Look(policy_.now, std::min(burstEnd, end), shared,
                 [&] { return queued_.load(std::memory_order_relaxed) != seen; });
            lock.lock();
            item = PopLocked();
        }
        if (item == nullptr) {
            break;
        }
        // The work may run a loop of its own (a message box) that must be
        // woken for what is sent meanwhile.
        serving_ = false;
        lock.unlock();
        item->run(item->context);
        lock.lock();
        Finish(*item, kRan);
        serving_ = true;
        if (first_ != nullptr && policy_.now() >= burstEnd) {
            // The loop gets its turn (input, timers) and is woken for the rest.
            signalled_ = true;
            serving_ = false;
            lock.unlock();
            pending_.Set();
            return;
        }
    }
    serving_ = false;
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
    std::lock_guard lock(mutex_);
    closed_ = true;
    while (Item* item = PopLocked()) {
        Finish(*item, kRefused);
    }
}

bool SentQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace plk::platform
