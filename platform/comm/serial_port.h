// The serial device as the link uses it: one exclusively opened port, its
// settings, its events and byte-wise I/O. One implementation per platform;
// the line-definition reader (line_settings.cpp) is common to all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/sys/event.h"

namespace plk::platform {

// Port event bits, as the link's event mask names them.
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvRxFlag = 0x0002;
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kEvRing = 0x0100;

struct CommTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

enum class StopBits : uint8_t { kOne, kOneAndHalf, kTwo };
enum class RtsControl : uint8_t { kDisable, kEnable, kHandshake, kToggle };
enum class DtrControl : uint8_t { kDisable, kEnable, kHandshake };

// The line settings of a port (the parts of a Windows DCB that matter here).
struct LineSettings {
    uint32_t baudRate = 9600;
    char parity = 'N';  // N, O, E, M or S
    uint8_t dataBits = 8;
    StopBits stopBits = StopBits::kOne;
    RtsControl rtsControl = RtsControl::kEnable;
    DtrControl dtrControl = DtrControl::kEnable;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    bool dsrSensitivity = false;
    bool outX = false;
    bool inX = false;
    bool txContinueOnXoff = false;
    // A line error (framing, parity, overrun) fails every read and write until
    // the error is cleared. Windows only; a tty has no such mode.
    bool abortOnError = false;
    char evtChar = 0;
};

// Applies a definition text such as "baud=115200 parity=N data=8 stop=1" to
// `settings`, as the Windows BuildCommDCB reads it (the older "9600,n,8,1" form
// too). Fields the text does not name keep their values. False, with the
// settings unchanged, when the text cannot be parsed.
bool BuildLineSettings(std::string_view definition, LineSettings& settings);

// Outcome of a device call. kGone: the device went away (unplugged, hung up);
// nothing more will come from it. kStopped: the caller's stop signal ended the
// wait; output not yet written was dropped.
enum class IoStatus { kOk, kFailed, kFailedAfterWait, kGone, kStopped };

enum class EventWaitStart { kCompleted, kPending, kFailed };

// Input a purge threw away before anyone read it: how many bytes, and the last.
// The line those bytes belonged to is broken unless the last was a line feed.
struct DiscardedInput {
    std::size_t count = 0;
    uint8_t last = 0;

    // Counts `bytes` as thrown away after what this already holds.
    void Add(const uint8_t* bytes, std::size_t length) {
        if (length != 0) {
            count += length;
            last = bytes[length - 1];
        }
    }
    void Add(const DiscardedInput& later) {
        if (later.count != 0) {
            count += later.count;
            last = later.last;
        }
    }
    bool EndsInsideALine() const { return count != 0 && last != '\n'; }
};

class SerialPort {
public:
    virtual ~SerialPort() = default;  // closes the device

    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual bool SetEventMask(uint32_t mask) = 0;
    // The mask as configured on the port (or, where the platform keeps none, as set).
    virtual bool GetEventMask(uint32_t& mask) = 0;
    virtual bool GetLineSettings(LineSettings& settings) = 0;
    virtual bool SetLineSettings(const LineSettings& settings) = 0;

    // Aborts pending I/O and empties both queues. The input is read away rather
    // than dropped unseen, so that TakeDiscarded can tell what went.
    virtual bool Purge() = 0;
    // Waits, bounded by the write time-out, until output already handed to the
    // device has gone out; false when it has not. Then empties the input queue,
    // and the output queue only when the wait ran out or `stop` was signalled.
    virtual bool DrainThenPurge(Waitable stop) = 0;
    // Empties the input queue alone, read away like a purge's.
    virtual bool DropInput() = 0;
    // The input the purges (and DropInput) have thrown away since the last call.
    virtual DiscardedInput TakeDiscarded() = 0;

    // Starts a wait for an event of the mask; `waitable()` is signalled when one
    // may have occurred. kFailed sets the last error.
    virtual EventWaitStart StartEventWait() = 0;
    virtual Waitable waitable() const = 0;

    // Bytes waiting in the input queue.
    virtual IoStatus InputQueue(uint32_t& count) = 0;
    // One byte, bounded by the read time-outs.
    virtual IoStatus ReadByte(uint8_t& byte) = 0;
    // The whole buffer, bounded by the write time-outs and cut short by `stop`
    // (kStopped), so that a port held up by flow control never holds up a close.
    virtual IoStatus Write(const uint8_t* data, std::size_t length, Waitable stop) = 0;
};

// Opens port `portNumber` for exclusive use. Null, with the last error set, when
// the port does not exist or another program holds it.
using SerialPortOpener = std::function<std::unique_ptr<SerialPort>(int portNumber)>;

// The system's own opener.
std::unique_ptr<SerialPort> OpenSerialPort(int portNumber);

}  // namespace plk::platform
