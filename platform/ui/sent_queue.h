// Work that other threads hand to a window's user-interface thread and wait
// for: the synchronous send of a window, shared by every window layer.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/sys/event.h"

namespace plk::platform {

class SentQueue {
public:
    // From any thread but the owner's: queues `work` and returns once the owner
    // has run it (true), or once the queue is closed before it ran (false). A
    // closed queue refuses at once.
    bool SendAndWait(const std::function<void()>& work);
    // Owner's thread: runs everything queued.
    void Serve();
    // Owner's thread: sleeps until `done` is set, running what is sent meanwhile.
    // False when the wait itself failed.
    bool ServeUntil(const Event& done);
    // From now on every send fails; those waiting are released without running.
    void Close();
    bool closed() const;
    // Set while work may be waiting; the owner's loop wakes on it.
    const Event& pending() const { return pending_; }

private:
    struct Item {
        const std::function<void()>* work;
        bool done = false;
        bool ran = false;
    };

    mutable std::mutex mutex_;
    std::condition_variable served_;
    std::deque<Item*> items_;
    bool closed_ = false;
    Event pending_;
};

}  // namespace plk::platform
