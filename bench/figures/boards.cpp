#include "boards.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "cpu.h"

namespace plk::bench {

Flood::Flood(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}

Flood::~Flood() {
    Stop();
}

void Flood::Stop() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
}

double Flood::cpu() {
    return ThreadCpu(thread_);
}

void Flood::Run(int fd) {
    std::string block;
    while (block.size() < 4096) {
        block += "yes\n";
    }
    while (!stop_.load(std::memory_order_relaxed)) {
        const ssize_t n = write(fd, block.data(), block.size());
        if (n > 0) {
            written_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 5);
        }
    }
}

LineRateBoard::LineRateBoard(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}

LineRateBoard::~LineRateBoard() {
    stop_.store(true);
    thread_.join();
}

double LineRateBoard::cpu() {
    return ThreadCpu(thread_);
}

void LineRateBoard::Run(int fd) {
    const std::string line = std::string(59, 'a') + "&abc\n";  // 64 bytes
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(line.size()) / kLineRate));
    auto next = Clock::now();
    while (!stop_.load(std::memory_order_relaxed)) {
        if (write(fd, line.data(), line.size()) > 0) {
            written_.fetch_add(line.size(), std::memory_order_relaxed);
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
}

EchoBoard::EchoBoard(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}

EchoBoard::~EchoBoard() {
    stop_.store(true);
    thread_.join();
}

void EchoBoard::Run(int fd) {
    std::string pending;
    while (!stop_.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string answer = "ok&" + pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            [[maybe_unused]] const ssize_t w = write(fd, answer.data(), answer.size());
        }
    }
}

void FlushBoardInput(const test::PtyBoard& board) {
    tcflush(board.slaveFd(), TCIFLUSH);
}

std::string ReadLines(int masterFd, std::size_t count, int timeoutMs) {
    std::string got;
    std::size_t lines = 0;
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (lines < count && Clock::now() < until) {
        pollfd p{masterFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
            lines += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
        }
    }
    return got;
}

std::string ReadAvailable(int masterFd) {
    std::string got;
    for (;;) {
        pollfd p{masterFd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = poll(&p, 1, 0) > 0 ? read(masterFd, buffer, sizeof buffer) : 0;
        if (n <= 0) {
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace plk::bench
