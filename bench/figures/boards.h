// Boards on the far side of a pseudo-terminal: one that floods, one that prints
// at the line rate, one that echoes; and reads of what reached the board.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "cpu.h"
#include "support/pty_board.h"

namespace plk::bench {

inline constexpr double kLineRate = 11520.0;  // 115200 baud, 8N1: bytes per second

// A board that talks without pause: whatever room the pseudo-terminal has is
// filled at once. Counts what it wrote.
class Flood {
public:
    explicit Flood(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}
    ~Flood() { Stop(); }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    uint64_t written() const { return written_.load(std::memory_order_relaxed); }
    double cpu() { return ThreadCpu(thread_); }

private:
    void Run(int fd) {
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
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// A board printing 64-byte lines without pause at exactly the line rate.
class LineRateBoard {
public:
    explicit LineRateBoard(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}
    ~LineRateBoard() {
        stop_.store(true);
        thread_.join();
    }
    uint64_t written() const { return written_.load(std::memory_order_relaxed); }
    double cpu() { return ThreadCpu(thread_); }

private:
    void Run(int fd) {
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
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// A board that answers every line at once with "ok&<line>".
class EchoBoard {
public:
    explicit EchoBoard(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}
    ~EchoBoard() {
        stop_.store(true);
        thread_.join();
    }

private:
    void Run(int fd) {
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
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Drops what the board's input queue holds: a flood's backlog.
void FlushBoardInput(const test::PtyBoard& board);
// Everything the board's side holds now, without waiting.
std::string ReadAvailable(int masterFd);

}  // namespace plk::bench
