// The real plinkor program, black box, in a private mount and network
// namespace: a pseudo-terminal shown as /dev/ttyUSB31 (with its entry under
// /sys/class/tty) is the board, loopback sockets are the browser. The host's
// /dev and /sys are never touched: everything is mounted over them in the
// namespace only. Needs root.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/pty_board.h"

namespace plk::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

inline constexpr const char* kMachineBoard = "/dev/ttyUSB31";

// The namespace and the mounts; everything goes with the process.
class PrivateMachine {
public:
    PrivateMachine() = default;
    PrivateMachine(const PrivateMachine&) = delete;
    PrivateMachine& operator=(const PrivateMachine&) = delete;
    ~PrivateMachine();

    // Empty on success, else why the machine could not be set up.
    std::string SetUp(const std::string& boardPath);
    // The board is plugged in again, now behind another pseudo-terminal.
    void Replug(const std::string& boardPath) const;

    const std::string& scratch() const { return scratch_; }

private:
    std::string scratch_;
};

// The program under test, its output kept in a file for failure reports.
class Program {
public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program();

    // Starts `path` with QT_QPA_PLATFORM=offscreen and a private runtime
    // folder under `machine`, unless `overrides` say otherwise.
    bool Start(const std::string& path, const PrivateMachine& machine,
               const Environment& overrides = {});
    bool Running() const;
    pid_t pid() const { return pid_; }
    // Sends `signal` and waits (at most 10 s) for the end; the wait status,
    // and how long it took.
    std::pair<int, std::chrono::steady_clock::duration> Stop(int signal);
    std::string Output() const;

private:
    pid_t pid_ = -1;
    std::string log_;
};

// A descriptor, closed when this goes.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1);

private:
    int fd_;
};

// 127.0.0.1:12345, where the bridge listens.
sockaddr_in BridgeAddress();

// One HTTP exchange on 127.0.0.1:12345: the request, then everything until the
// server closes. Empty optional when no connection could be made.
std::optional<std::string> BridgeExchange(const std::string& request, int timeoutMs = 10000);
// Retries the policy request until the bridge answers it; its answer.
std::optional<std::string> WaitForBridge(int timeoutMs = 10000);

// Whether nobody holds the serial device open.
bool PortFree(const std::string& path);

// What a board prints of its own accord: line n (from 1) every `period`.
struct Chatter {
    std::chrono::microseconds period{0};  // 0: nothing
    std::function<std::string(int n)> line;
};
// Numbered 64-byte lines that check themselves, printed without pause at the
// line rate of 115200 8N1, in whole lines as a native USB board sends them.
Chatter LineRateStream();
// The n-th line of that stream, as the board prints it.
std::string StreamLine(int n);
// The number of the stream line a poll's body carries (its "&" turned into a
// line feed, its own line feed left off), or 0 when it is none of them.
int StreamLineNumber(std::string_view body);

// A board that answers each line it receives with "ok&<line>" (the request
// target's leading slash left out), between the lines of its chatter, and, every
// `tickMs` if not 0, prints a counter line "tick&<n>". It keeps everything it
// received.
class SimBoard {
public:
    explicit SimBoard(const PtyBoard& board, int tickMs = 0, bool answer = true);
    SimBoard(const PtyBoard& board, Chatter chatter, bool answer);
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    std::string Received() const;
    // The command lines received, greetings taken off their front.
    std::vector<std::string> Lines() const;
    // Waits until `count` command lines came; false after `timeoutMs`.
    bool WaitLines(std::size_t count, int timeoutMs) const;
    // How many lines of its chatter it has printed (numbers lost to a full
    // queue are skipped).
    int Printed() const { return printed_.load(std::memory_order_relaxed); }

private:
    void Run(int fd, const Chatter& chatter, bool answer);

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::atomic<int> printed_{0};
    std::thread thread_;
};

}  // namespace plk::test
