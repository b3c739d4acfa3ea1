// Boards on the far side of a pseudo-terminal: one that floods, one that prints
// at the line rate, one that echoes; and reads of what reached the board.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "support/pty_board.h"

namespace plk::bench {

inline constexpr double kLineRate = 11520.0;  // 115200 baud, 8N1: bytes per second

// A board that talks without pause: whatever room the pseudo-terminal has is
// filled at once. Counts what it wrote.
class Flood {
public:
    explicit Flood(int masterFd);
    ~Flood();
    void Stop();
    uint64_t written() const { return written_.load(std::memory_order_relaxed); }
    double cpu();

private:
    void Run(int fd);
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// A board printing 64-byte lines without pause at exactly the line rate.
class LineRateBoard {
public:
    explicit LineRateBoard(int masterFd);
    ~LineRateBoard();
    uint64_t written() const { return written_.load(std::memory_order_relaxed); }
    double cpu();

private:
    void Run(int fd);
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// A board that answers every line at once with "ok&<line>".
class EchoBoard {
public:
    explicit EchoBoard(int masterFd);
    ~EchoBoard();

private:
    void Run(int fd);
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Drops what the board's input queue holds: a flood's backlog.
void FlushBoardInput(const test::PtyBoard& board);
// Reads the board's side until `count` line feeds came (or `timeoutMs`).
std::string ReadLines(int masterFd, std::size_t count, int timeoutMs);
// Everything the board's side holds now, without waiting.
std::string ReadAvailable(int masterFd);

}  // namespace plk::bench
