#include "platform/ui/sent_queue.h"

namespace plk::platform {

bool SentQueue::SendAndWait(const std::function<void()>& work) {
    Item item{&work};
    std::unique_lock lock(mutex_);
    if (closed_) {
        return false;
    }
    items_.push_back(&item);
    pending_.Set();
    served_.wait(lock, [&] { return item.done; });
    return item.ran;
}

void SentQueue::Serve() {
    for (;;) {
        Item* item = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty()) {
                pending_.Reset();
                return;
            }
            item = items_.front();
            items_.pop_front();
        }
        (*item->work)();
        {
            std::lock_guard lock(mutex_);
            item->done = true;
            item->ran = true;
        }
        served_.notify_all();
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
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (Item* item : items_) {
            item->done = true;
        }
        items_.clear();
    }
    served_.notify_all();
}

bool SentQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace plk::platform
