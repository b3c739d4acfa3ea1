#include "support/recorder.h"

#include <chrono>
#include <string>

#include "serial/serial_link.h"

namespace plk::test {

platform::LResult Recorder::WindowProc(uint32_t message, platform::WParam wParam,
                                       platform::LParam lParam) {
    std::function<void(const Message&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    const Message m{message, wParam, lParam};
    if (hook) {
        hook(m);
    }
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(m);
    }
    changed_.notify_all();
    return 0;
}

std::vector<Message> Recorder::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::string Recorder::Chars() const {
    std::string out;
    for (const Message& m : Messages()) {
        if (m.message == WM_PORT_CHAR) {
            out.push_back(static_cast<char>(m.wParam));
        }
    }
    return out;
}

bool Recorder::WaitUntil(const std::function<bool(const std::vector<Message>&)>& predicate,
                         int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return predicate(messages_); });
}

bool Recorder::WaitForChars(std::size_t count, int timeoutMs) const {
    return WaitUntil(
        [count](const std::vector<Message>& all) {
            std::size_t n = 0;
            for (const Message& m : all) {
                n += m.message == WM_PORT_CHAR ? 1 : 0;
            }
            return n >= count;
        },
        timeoutMs);
}

void Recorder::SetHook(std::function<void(const Message&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

}  // namespace plk::test
