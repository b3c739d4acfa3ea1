// A message target that records what the window was sent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/ui/window.h"

namespace plk::test {

struct Message {
    uint32_t message;
    platform::WParam wParam;
    platform::LParam lParam;
    bool operator==(const Message&) const = default;
};

class Recorder final : public platform::MessageTarget {
public:
    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override;

    std::vector<Message> Messages() const;
    // The bytes of the WM_PORT_CHAR messages, in order.
    std::string Chars() const;
    // Waits until `predicate` holds over the messages, up to `timeoutMs`.
    bool WaitUntil(const std::function<bool(const std::vector<Message>&)>& predicate,
                   int timeoutMs) const;
    bool WaitForChars(std::size_t count, int timeoutMs) const;
    // Runs on the window's thread before each message is recorded.
    void SetHook(std::function<void(const Message&)> hook);

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;
    std::function<void(const Message&)> hook_;
};

}  // namespace plk::test
