// A pseudo-terminal standing in for a board, reachable as <name> under a
// temporary device root.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/serial_port.h"

namespace plk::test {

// A temporary folder of devices, and an opener that opens ports there.
class FakeDevRoot {
public:
    FakeDevRoot();
    ~FakeDevRoot();
    FakeDevRoot(const FakeDevRoot&) = delete;
    FakeDevRoot& operator=(const FakeDevRoot&) = delete;

    const std::string& path() const { return path_; }
    // Opens port n as the device the port scheme names in this folder.
    platform::SerialPortOpener Opener() const;
    // Makes <root>/<name> a link to `target`, replacing an older one.
    void Link(const std::string& name, const std::string& target) const;
    void Unlink(const std::string& name) const;

private:
    std::string path_;
};

class PtyBoard {
public:
    PtyBoard();
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int slaveFd() const { return slave_; }
    int masterFd() const { return master_; }

    void Send(const std::string& bytes) const;
    // Collects what the link wrote, until `count` bytes came or `timeoutMs` passed.
    std::string Receive(std::size_t count, int timeoutMs) const;
    // Everything that arrives within `quietMs` of the last byte (or of the call).
    std::string Drain(int quietMs) const;
    // The board goes away: both ends of the pseudo-terminal are closed here.
    void HangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// The board talks without pause, as one printing in a loop does, for as long
// as this lives: whatever room the link's input queue has is filled at once.
class BoardFlood {
public:
    explicit BoardFlood(const PtyBoard& board, std::string chunk = "y\n");
    ~BoardFlood();
    BoardFlood(const BoardFlood&) = delete;
    BoardFlood& operator=(const BoardFlood&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace plk::test
