// Serial ports in memory, for tests of what sits above the device: each port
// number leads to a FakeBoard, which reads what the program wrote and sends it
// bytes. Portable: no pseudo-terminal, no device files.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/comm/serial_port.h"

namespace plk::test {

class FakeBoard {
public:
    // Bytes from the board, read by the port's owner.
    void Send(const std::string& bytes);
    // What the program wrote, until `count` bytes came or `timeoutMs` passed.
    std::string Receive(std::size_t count, int timeoutMs);
    // Everything written within `quietMs` of the last byte (or of the call).
    std::string Drain(int quietMs);

private:
    friend class FakeSerialPort;
    friend class FakeSerialPorts;

    std::mutex mutex_;
    std::condition_variable written_;
    std::string toBoard_;
    std::string fromBoard_;
    bool open_ = false;
    // Set while bytes from the board wait to be read.
    platform::Event inputWaiting_;
};

// The ports of a fake system. A port opens once at a time, as a real one does;
// numbers without a board do not exist.
class FakeSerialPorts {
public:
    FakeBoard& Add(int portNumber);
    // Opens ports of this set; it must outlive the ports it opens.
    platform::SerialPortOpener Opener();

private:
    std::map<int, std::shared_ptr<FakeBoard>> boards_;
};

}  // namespace plk::test
