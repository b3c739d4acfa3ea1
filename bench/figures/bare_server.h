// The anchor of every exchange, and the request a page's fetch sends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace plk::bench {

// What Chromium sends for a page's fetch: about 600 bytes, more than one read.
std::string BrowserRequest(const std::string& target);

// The least a server can do for the same client on the same machine. It
// accepts, reads once, reads the rest of the head, answers (when told to) or
// relays the request target to a board, ends its side and waits for the
// client's end, and closes; blocking calls, no time-outs.
class BareServer {
public:
    enum class Mode { kSilent, kAnswer, kRelay };

    BareServer();
    ~BareServer();
    BareServer(const BareServer&) = delete;
    BareServer& operator=(const BareServer&) = delete;

    uint16_t port() const { return port_; }
    void SetMode(Mode mode, int relayFd = -1);

private:
    void Run();

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<Mode> mode_{Mode::kSilent};
    std::atomic<int> relayFd_{-1};
    std::thread thread_;
};

}  // namespace plk::bench
