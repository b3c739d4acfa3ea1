#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/net/socket.h"
#include "platform/sys/deadline.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {

namespace {

// Waits until `fd` is ready for `events`, `stop` is set, or the deadline
// passes. The stop signal wins over a ready socket. Every socket here is
// non-blocking: waits happen here, never inside a socket call.
NetStatus WaitReady(int fd, short events, Waitable stop, const Deadline& deadline) {
    for (;;) {
        pollfd fds[2] = {
            {stop.native == Waitable::kNone ? -1 : static_cast<int>(stop.native), POLLIN, 0},
            {fd, events, 0}};
        const int n = poll(fds, 2, deadline.RemainingMs());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastError(errno);
            return NetStatus::kFailed;
        }
        if (fds[0].revents != 0) {
            return NetStatus::kStopped;
        }
        if (n == 0) {
            return NetStatus::kTimeout;
        }
        // An error or hang-up also counts as ready: the call that follows says which.
        return NetStatus::kOk;
    }
}

int Fd(std::intptr_t native) {
    return static_cast<int>(native);
}

}  // namespace

bool SocketLibraryStartup() {
    return true;
}
void SocketLibraryCleanup() {}

Socket Socket::CreateTcp() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetLastError(errno);
        return Socket{};
    }
    return Socket{fd};
}

void Socket::Close() {
    if (valid()) {
        close(Fd(native_));
        native_ = kInvalid;
    }
}

bool Socket::BindLoopback(uint16_t port) {
    // Linux lets a listener bind over connections in TIME_WAIT with this, but
    // never over another listener.
    const int one = 1;
    if (setsockopt(Fd(native_), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        SetLastError(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(Fd(native_), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

bool Socket::Listen(int backlog) {
    if (listen(Fd(native_), backlog) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

uint16_t Socket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (!valid() || getsockname(Fd(native_), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(address.sin_port);
}

NetStatus Socket::Accept(Socket& client, Waitable stop, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        const NetStatus ready = WaitReady(Fd(native_), POLLIN, stop, deadline);
        if (ready != NetStatus::kOk) {
            return ready;
        }
        const int fd = accept4(Fd(native_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            client = Socket{fd};
            return NetStatus::kOk;
        }
        // A connection that was reset while it queued is simply gone.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        SetLastError(errno);
        return NetStatus::kFailed;
    }
}

NetStatus Socket::Receive(std::span<uint8_t> buffer, std::size_t& received, Waitable stop,
                          int timeoutMs, bool waitFirst) {
    received = 0;
    const Deadline deadline(timeoutMs);
    // Bytes already there are taken at once: a request arrives whole as a
    // rule, and a wait first would cost a system call for nothing. Only a read
    // that finds nothing waits (and looks at the stop signal).
    for (bool wait = buffer.empty() || waitFirst;; wait = true) {
        if (wait) {
            const NetStatus ready = WaitReady(Fd(native_), POLLIN, stop, deadline);
            if (ready != NetStatus::kOk) {
                return ready;
            }
        }
        const ssize_t n = recv(Fd(native_), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            return NetStatus::kOk;
        }
        if (n == 0) {
            return buffer.empty() ? NetStatus::kOk : NetStatus::kClosed;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            continue;
        }
        SetLastError(errno);
        return NetStatus::kFailed;
    }
}

NetStatus Socket::SendAll(std::span<const uint8_t> data, Waitable stop, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    while (!data.empty()) {
        const ssize_t n = send(Fd(native_), data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            data = data.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            SetLastError(errno);
            return NetStatus::kFailed;
        }
        const NetStatus ready = WaitReady(Fd(native_), POLLOUT, stop, deadline);
        if (ready != NetStatus::kOk) {
            return ready;
        }
    }
    return NetStatus::kOk;
}

bool Socket::ShutdownSend() {
    if (shutdown(Fd(native_), SHUT_WR) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

NetStatus Socket::Delivery() const {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(Fd(native_), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        SetLastError(errno);
        return NetStatus::kFailed;
    }
    if (error != 0) {
        SetLastError(error);
        return NetStatus::kFailed;
    }
    // Sent and not yet acknowledged; a reset leaves it above zero for good.
    int unacknowledged = 0;
    if (ioctl(Fd(native_), SIOCOUTQ, &unacknowledged) != 0) {
        SetLastError(errno);
        return NetStatus::kFailed;
    }
    return unacknowledged == 0 ? NetStatus::kOk : NetStatus::kTimeout;
}

}  // namespace plk::platform
