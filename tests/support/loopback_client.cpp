#include "support/loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sys/deadline.h"

namespace plk::test {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

LoopbackClient::LoopbackClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (fd_ >= 0 &&
        connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

LoopbackClient::~LoopbackClient() {
    Close();
}

bool LoopbackClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string LoopbackClient::Read(std::size_t count, int timeoutMs) {
    return ReadUntil(count, timeoutMs).data;
}

Reply LoopbackClient::ReadToEnd(int timeoutMs) {
    return ReadUntil(std::string::npos, timeoutMs);
}

Reply LoopbackClient::ReadUntil(std::size_t count, int timeoutMs) {
    Reply reply;
    const platform::Deadline deadline(timeoutMs);
    while (reply.data.size() < count) {
        if (timeoutMs != kNoLimit) {
            pollfd p{fd_, POLLIN, 0};
            const int n = poll(&p, 1, deadline.RemainingMs());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                reply.end = StreamEnd::kTimeout;
                return reply;
            }
        }
        char buffer[4096];
        const ssize_t got =
            recv(fd_, buffer, std::min(sizeof buffer, count - reply.data.size()), 0);
        if (got > 0) {
            reply.data.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            reply.end = StreamEnd::kOrderly;
            return reply;
        } else if (errno != EINTR) {
            reply.end = StreamEnd::kReset;
            return reply;
        }
    }
    return reply;
}

void LoopbackClient::Abort() {
    if (fd_ < 0) {
        return;
    }
    const linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd_);
    fd_ = -1;
}

void LoopbackClient::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void LoopbackClient::ShutdownSend() {
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_WR);
    }
}

Reply Exchange(uint16_t port, std::string_view request, int timeoutMs) {
    LoopbackClient client(port);
    if (!client.connected() || !client.Send(request)) {
        return Reply{{}, StreamEnd::kReset};
    }
    return client.ReadToEnd(timeoutMs);
}

}  // namespace plk::test
