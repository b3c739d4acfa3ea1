// Loopback TCP on Winsock 2.2. Every socket is non-blocking; a wait is
// WSAEventSelect's event and the stop event in one WaitForMultipleObjects, so
// a stop request ends any wait at once.
#include <algorithm>
#include <utility>

#include "platform/net/socket.h"
#include "platform/sys/deadline.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {

namespace {

// What is left of `deadline`, for a Win32 wait.
DWORD LeftMs(const Deadline& deadline) {
    const int ms = deadline.RemainingMs();
    return ms < 0 ? INFINITE : static_cast<DWORD>(ms);
}

// How long an accept waits on the listener's event before it looks again.
constexpr DWORD kAcceptRecheckMs = 100;

SOCKET Sock(std::intptr_t native) {
    return static_cast<SOCKET>(native);
}

int RecordSocketError() {
    const int code = ::WSAGetLastError();
    SetLastError(code);
    return code;
}

// Until `event` (selected for `socket`'s network events), the stop signal or
// `ms`. The stop signal wins over a ready socket.
NetStatus WaitForSocketEvent(SOCKET socket, WSAEVENT event, Waitable stop, DWORD ms) {
    HANDLE handles[2];
    DWORD count = 0;
    const bool watchStop = stop.native != Waitable::kNone;
    if (watchStop) {
        handles[count++] = reinterpret_cast<HANDLE>(stop.native);
    }
    handles[count++] = event;
    const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, ms);
    if (watchStop && result == WAIT_OBJECT_0) {
        return NetStatus::kStopped;
    }
    if (result == WAIT_TIMEOUT) {
        return NetStatus::kTimeout;
    }
    if (result != WAIT_OBJECT_0 + count - 1) {
        SetLastError(static_cast<int>(::GetLastError()));
        return NetStatus::kFailed;
    }
    // Resets the event; an error or a close also counts as ready, and the
    // call that follows says which.
    WSANETWORKEVENTS happened{};
    ::WSAEnumNetworkEvents(socket, event, &happened);
    return NetStatus::kOk;
}

// The network events of one call on one socket. While it lives the socket
// signals its event for `events`; at its end the socket is released from it.
class NetworkWait {
public:
    NetworkWait(SOCKET socket, long events) : socket_(socket), event_(::WSACreateEvent()) {
        if (event_ == WSA_INVALID_EVENT || ::WSAEventSelect(socket_, event_, events) != 0) {
            RecordSocketError();
            ok_ = false;
        }
    }
    ~NetworkWait() {
        if (event_ != WSA_INVALID_EVENT) {
            ::WSAEventSelect(socket_, nullptr, 0);
            ::WSACloseEvent(event_);
        }
    }
    NetworkWait(const NetworkWait&) = delete;
    NetworkWait& operator=(const NetworkWait&) = delete;

    bool ok() const { return ok_; }

    // Until one of the events, the stop signal or the deadline.
    NetStatus Wait(Waitable stop, const Deadline& deadline) {
        return WaitForSocketEvent(socket_, event_, stop, LeftMs(deadline));
    }

private:
    SOCKET socket_;
    WSAEVENT event_;
    bool ok_ = true;
};

// The stop signal wins over a socket that is ready already, as in any wait.
bool IsSet(Waitable stop) {
    return stop.native != Waitable::kNone &&
           ::WaitForSingleObject(reinterpret_cast<HANDLE>(stop.native), 0) == WAIT_OBJECT_0;
}

bool MakeNonBlocking(SOCKET socket) {
    u_long on = 1;
    if (::ioctlsocket(socket, FIONBIO, &on) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

}  // namespace

bool SocketLibraryStartup() {
    WSADATA data{};
    const int result = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        SetLastError(result);
        return false;
    }
    return true;
}

void SocketLibraryCleanup() {
    ::WSACleanup();
}

Socket Socket::CreateTcp() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        RecordSocketError();
        return Socket{};
    }
    // Not inherited by child processes, as on POSIX.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (!MakeNonBlocking(s)) {
        ::closesocket(s);
        return Socket{};
    }
    return Socket{static_cast<std::intptr_t>(s)};
}

void Socket::Close() {
    if (valid()) {
        ::closesocket(Sock(native_));
        native_ = kInvalid;
    }
    if (readiness_ != kInvalid) {
        ::WSACloseEvent(reinterpret_cast<WSAEVENT>(readiness_));
        readiness_ = kInvalid;
    }
}

bool Socket::BindLoopback(uint16_t port) {
    // No other socket may bind over ours, not even one that asks to share.
    const BOOL on = TRUE;
    if (::setsockopt(Sock(native_), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        RecordSocketError();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::bind(Sock(native_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

bool Socket::Listen(int backlog) {
    if (::listen(Sock(native_), backlog) != 0) {
        RecordSocketError();
        return false;
    }
    // One event for the listener's whole life. Selecting a fresh event for
    // every wait leans on the system re-arming FD_ACCEPT after each accept,
    // and Wine does not after an accept that fails.
    const WSAEVENT event = ::WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        RecordSocketError();
        return false;
    }
    if (::WSAEventSelect(Sock(native_), event, FD_ACCEPT) != 0) {
        RecordSocketError();
        ::WSACloseEvent(event);
        return false;
    }
    readiness_ = reinterpret_cast<std::intptr_t>(event);
    return true;
}

uint16_t Socket::LocalPort() const {
    sockaddr_in address{};
    int length = sizeof address;
    if (!valid() ||
        ::getsockname(Sock(native_), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
        return 0;
    }
    return ::ntohs(address.sin_port);
}

NetStatus Socket::Accept(Socket& client, Waitable stop, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    if (readiness_ == kInvalid) {
        SetLastError(WSAEINVAL);  // not listening
        return NetStatus::kFailed;
    }
    const auto event = reinterpret_cast<WSAEVENT>(readiness_);
    if (IsSet(stop)) {
        return NetStatus::kStopped;
    }
    for (bool timedOut = false;;) {
        const SOCKET s = ::accept(Sock(native_), nullptr, nullptr);
        if (s != INVALID_SOCKET) {
            // An accepted socket takes over the listener's event selection:
            // release it, and keep it non-blocking on its own.
            ::WSAEventSelect(s, nullptr, 0);
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
            if (!MakeNonBlocking(s)) {
                ::closesocket(s);
                return NetStatus::kFailed;
            }
            client = Socket{static_cast<std::intptr_t>(s)};
            return NetStatus::kOk;
        }
        const int code = ::WSAGetLastError();
        // A connection that was reset while it queued is simply gone.
        if (code != WSAEWOULDBLOCK && code != WSAECONNRESET && code != WSAEINTR) {
            SetLastError(code);
            return NetStatus::kFailed;
        }
        if (code != WSAEWOULDBLOCK) {
            continue;
        }
        if (timedOut) {
            return NetStatus::kTimeout;
        }
        // The event should tell of the next connection; should it stay
        // silent all the same, accept is tried again a little later, so that
        // a missed signal costs a connection some milliseconds and never
        // stops the bridge for good.
        const DWORD left = LeftMs(deadline);
        const NetStatus ready =
            WaitForSocketEvent(Sock(native_), event, stop, std::min(left, kAcceptRecheckMs));
        if (ready == NetStatus::kTimeout) {
            // The time is up after one more look: a connection whose signal
            // went missing is taken all the same.
            timedOut = left <= kAcceptRecheckMs;
        } else if (ready != NetStatus::kOk) {
            return ready;
        }
    }
}

NetStatus Socket::Receive(std::span<uint8_t> buffer, std::size_t& received, Waitable stop,
                          int timeoutMs, bool /*waitFirst*/) {
    received = 0;
    const Deadline deadline(timeoutMs);
    NetworkWait wait(Sock(native_), FD_READ | FD_CLOSE);
    if (!wait.ok()) {
        return NetStatus::kFailed;
    }
    if (IsSet(stop)) {
        return NetStatus::kStopped;
    }
    for (;;) {
        const int n = ::recv(Sock(native_), reinterpret_cast<char*>(buffer.data()),
                             static_cast<int>(buffer.size()), 0);
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            return NetStatus::kOk;
        }
        if (n == 0) {
            return buffer.empty() ? NetStatus::kOk : NetStatus::kClosed;
        }
        const int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK && code != WSAEINTR) {
            SetLastError(code);
            return NetStatus::kFailed;
        }
        const NetStatus ready = wait.Wait(stop, deadline);
        if (ready != NetStatus::kOk) {
            return ready;
        }
    }
}

NetStatus Socket::SendAll(std::span<const uint8_t> data, Waitable stop, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    NetworkWait wait(Sock(native_), FD_WRITE | FD_CLOSE);
    if (!wait.ok()) {
        return NetStatus::kFailed;
    }
    while (!data.empty()) {
        const int n = ::send(Sock(native_), reinterpret_cast<const char*>(data.data()),
                             static_cast<int>(data.size()), 0);
        if (n > 0) {
            data = data.subspan(static_cast<std::size_t>(n));
            continue;
        }
        const int code = ::WSAGetLastError();
        if (n < 0 && code != WSAEWOULDBLOCK && code != WSAEINTR) {
            SetLastError(code);
            return NetStatus::kFailed;
        }
        const NetStatus ready = wait.Wait(stop, deadline);
        if (ready != NetStatus::kOk) {
            return ready;
        }
    }
    return NetStatus::kOk;
}

bool Socket::ShutdownSend() {
    if (::shutdown(Sock(native_), SD_SEND) != 0) {
        RecordSocketError();
        return false;
    }
    return true;
}

NetStatus Socket::Delivery() const {
    // Winsock of the systems this runs on tells no acknowledgements: only a
    // reset it has seen counts against delivery.
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(Sock(native_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &length) != 0) {
        RecordSocketError();
        return NetStatus::kFailed;
    }
    if (error != 0) {
        SetLastError(error);
        return NetStatus::kFailed;
    }
    return NetStatus::kOk;
}

}  // namespace plk::platform
