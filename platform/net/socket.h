// TCP sockets on the loopback interface, as the bridge server needs them: one
// listener, one connection at a time, every wait bounded and able to be cut
// short by a stop signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "platform/sys/event.h"

namespace plk::platform {

// Sets up the system's socket library for this process (a no-op on POSIX).
// Each successful call is paired with one SocketLibraryCleanup.
bool SocketLibraryStartup();
void SocketLibraryCleanup();

enum class NetStatus {
    kOk,       // done (for a receive: at least one byte)
    kClosed,   // the peer ended its stream
    kTimeout,  // nothing happened within the time allowed
    kStopped,  // the stop signal was set
    kFailed,   // the call failed; LastError() tells why
};

class Socket {
public:
    Socket() = default;
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept
        : native_(std::exchange(other.native_, kInvalid)),
          readiness_(std::exchange(other.readiness_, kInvalid)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Close();
            native_ = std::exchange(other.native_, kInvalid);
            readiness_ = std::exchange(other.readiness_, kInvalid);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A TCP stream socket over IPv4; invalid when it cannot be created
    // (LastError() tells why).
    static Socket CreateTcp();

    bool valid() const { return native_ != kInvalid; }
    void Close();

    // Binds to 127.0.0.1:`port` (0: any free port). An address left in
    // TIME_WAIT by an earlier run may be taken at once; a port that another
    // live socket listens on still fails.
    bool BindLoopback(uint16_t port);
    bool Listen(int backlog);
    // The bound port, 0 when unknown.
    uint16_t LocalPort() const;

    // Waits for a connection, at most `timeoutMs` (kInfinite: no limit), and
    // accepts it into `client`. kStopped as soon as `stop` is signalled.
    NetStatus Accept(Socket& client, Waitable stop, int timeoutMs = kInfinite);

    // Waits at most `timeoutMs` for bytes to read, then reads what is there, at
    // most `buffer.size()` bytes, once. `received` is the count on kOk, else 0.
    // Bytes already there are taken without a wait, unless `waitFirst` says
    // that none are expected yet (a hint: a look first would cost a call).
    NetStatus Receive(std::span<uint8_t> buffer, std::size_t& received, Waitable stop,
                      int timeoutMs, bool waitFirst = false);

    // Sends all of `data` within `timeoutMs`, in as many pieces as the system
    // takes. kOk only when every byte was handed over; otherwise the rest is
    // given up. A peer that has gone away never raises a signal.
    NetStatus SendAll(std::span<const uint8_t> data, Waitable stop, int timeoutMs);

    // Ends the sending direction: the peer reads an orderly end of stream.
    bool ShutdownSend();

    // Whether what was sent reached the peer, asked without waiting: kOk once
    // the peer has acknowledged every byte (our end of stream too, once sent),
    // kFailed when it reset the connection (a peer that had closed before the
    // bytes came; LastError() tells), kTimeout while neither is known yet.
    // Where the system cannot tell acknowledgements, only a reset it has
    // already reported counts, and kOk stands for the rest.
    NetStatus Delivery() const;

private:
    static constexpr std::intptr_t kInvalid = -1;
    explicit Socket(std::intptr_t native) : native_(native) {}

    std::intptr_t native_ = kInvalid;
    // A listener's readiness signal, made by Listen and kept until Close,
    // where the system has one apart from the socket (kInvalid elsewhere).
    std::intptr_t readiness_ = kInvalid;
};

}  // namespace plk::platform
