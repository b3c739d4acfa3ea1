// Manual-reset events and a wait on several waitable objects at once.
#pragma once

#include <cstdint>
#include <span>

namespace plk::platform {

// Something a thread can sleep on: an event, or a serial device's "something
// happened" state. On POSIX `native` is a file descriptor polled for input; on
// Windows it is a HANDLE. A Waitable with native == kNone is skipped by WaitAny.
struct Waitable {
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t native = kNone;
};

// A manual-reset event: once set it stays set until Reset. Safe to use from any
// thread. Creation failure is reported by valid().
class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool valid() const { return native_ != Waitable::kNone; }
    void Set();
    void Reset();
    bool IsSet() const;
    Waitable waitable() const { return Waitable{native_}; }

private:
    std::intptr_t native_ = Waitable::kNone;
};

inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;
inline constexpr int kInfinite = -1;

// Sleeps until at least one of `objects` is signalled, and returns the lowest
// signalled index; kWaitTimeout after `timeoutMs` (kInfinite: no limit),
// kWaitFailed when the wait itself failed.
int WaitAny(std::span<const Waitable> objects, int timeoutMs = kInfinite);

}  // namespace plk::platform
