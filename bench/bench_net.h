// Loopback ports for the benchmarks' servers and clients.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace plk::bench {

// Binds `fd` to 127.0.0.1 on a port the system picks, and returns that port.
inline uint16_t BindLoopback(int fd) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A loopback port that was free a moment ago.
inline uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const uint16_t port = BindLoopback(fd);
    close(fd);
    return port;
}

}  // namespace plk::bench
