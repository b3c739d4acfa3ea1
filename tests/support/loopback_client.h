// A browser stand-in: a plain TCP client on the loopback interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plk::test {

// A port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort();

// How a connection's stream ended, as the client saw it.
enum class StreamEnd { kOrderly, kReset, kTimeout };

// As a time-out: no limit, and plain blocking reads with no poll before each,
// so that a benchmark's client costs what a page's does.
inline constexpr int kNoLimit = -1;

struct Reply {
    std::string data;
    StreamEnd end = StreamEnd::kTimeout;
};

class LoopbackClient {
public:
    // Connects at once; connected() tells whether that worked.
    explicit LoopbackClient(uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends all of `bytes` (blocking).
    bool Send(std::string_view bytes);
    // Reads until `count` bytes came, the stream ended, or `timeoutMs` passed.
    std::string Read(std::size_t count, int timeoutMs);
    // Reads until the server ends the stream, or `timeoutMs` passed.
    Reply ReadToEnd(int timeoutMs);
    // Closes with a reset instead of an orderly end.
    void Abort();
    // Closes in order (the server sees our end of stream).
    void Close();
    // Ends our sending side only, as raw tools do after their request.
    void ShutdownSend();

private:
    Reply ReadUntil(std::size_t count, int timeoutMs);

    int fd_ = -1;
};

// Connect, send `request`, read until the end of the stream.
Reply Exchange(uint16_t port, std::string_view request, int timeoutMs = 5000);

}  // namespace plk::test
