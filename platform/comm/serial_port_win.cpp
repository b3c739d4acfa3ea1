// Serial devices on Windows: "\\.\COMn" opened exclusively for overlapped I/O.
// The event wait and the reads and writes each have an OVERLAPPED record and an
// event of their own, so that a write started while the event wait is still
// pending can never be taken for finished when the wait completes.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

#include "platform/comm/serial_port.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {

namespace {

using Clock = std::chrono::steady_clock;

// On an open port these mean the device itself has gone (a USB adapter pulled
// out, a driver that gave up); nothing more will come from it. An aborted
// transfer is not among them: a port that aborts on line errors ends every
// transfer with it until the error is cleared, and the device is still there.
bool IsGoneError(DWORD code) {
    return code == ERROR_DEVICE_REMOVED || code == ERROR_GEN_FAILURE || code == ERROR_BAD_COMMAND;
}

// Records the calling thread's Win32 error as our last error and returns it.
DWORD RecordLastError() {
    const DWORD code = ::GetLastError();
    SetLastError(static_cast<int>(code));
    return code;
}

IoStatus FailedStatus(DWORD code, IoStatus otherwise) {
    return IsGoneError(code) ? IoStatus::kGone : otherwise;
}

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle& operator=(UniqueHandle&&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset() {
        if (*this) {
            ::CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// The output side of a purge. The input side is read away instead (see
// ReadAwayInput), so that what it throws away is known.
constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;

// Where the driver cannot wait for port events (Wine on a pseudo-terminal),
// a watcher looks at the input queue this often instead.
constexpr DWORD kQueueWatchMs = 10;
// Event waits that complete at once, in a row, with nothing to read, before
// the port stops trusting them.
constexpr int kImmediateCompletionsTrusted = 2;
// How often the wait for earlier output looks at the output queue.
constexpr int kDrainPollMs = 2;

class WinSerialPort final : public SerialPort {
public:
    WinSerialPort(UniqueHandle port, UniqueHandle eventWaitDone, UniqueHandle ioDone,
                  UniqueHandle watchStop)
        : port_(std::move(port)),
          eventWaitDone_(std::move(eventWaitDone)),
          ioDone_(std::move(ioDone)),
          watchStop_(std::move(watchStop)) {
        eventOverlapped_.hEvent = eventWaitDone_.get();
        ioOverlapped_.hEvent = ioDone_.get();
    }

    ~WinSerialPort() override {
        if (watcher_.joinable()) {
            ::SetEvent(watchStop_.get());
            watcher_.join();
        }
        // The kernel still owns the event word and record of a pending wait:
        // end it and let it finish before they and the port go away.
        if (eventWaitPending_) {
            ::SetCommMask(port_.get(), 0);
            ::CancelIoEx(port_.get(), &eventOverlapped_);
            DWORD ignored = 0;
            ::GetOverlappedResult(port_.get(), &eventOverlapped_, &ignored, TRUE);
        }
    }

    bool SetTimeouts(const CommTimeouts& t) override {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = t.readIntervalTimeout;
        timeouts.ReadTotalTimeoutMultiplier = t.readTotalTimeoutMultiplier;
        timeouts.ReadTotalTimeoutConstant = t.readTotalTimeoutConstant;
        timeouts.WriteTotalTimeoutMultiplier = t.writeTotalTimeoutMultiplier;
        timeouts.WriteTotalTimeoutConstant = t.writeTotalTimeoutConstant;
        if (!::SetCommTimeouts(port_.get(), &timeouts)) {
            RecordLastError();
            return false;
        }
        timeouts_ = t;
        return true;
    }

    bool SetEventMask(uint32_t mask) override {
        if (!::SetCommMask(port_.get(), mask)) {
            RecordLastError();
            return false;
        }
        mask_ = mask;
        return true;
    }

    // Some drivers (Wine's on a pseudo-terminal) report no mask at all; the
    // mask in force is then the one this port set.
    bool GetEventMask(uint32_t& mask) override {
        DWORD reported = 0;
        if (!::GetCommMask(port_.get(), &reported)) {
            RecordLastError();
            mask = mask_;
            return false;
        }
        mask = reported != 0 ? reported : mask_;
        return true;
    }

    bool GetLineSettings(LineSettings& s) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(port_.get(), &dcb)) {
            RecordLastError();
            return false;
        }
        dcb_ = dcb;
        s = FromDcb(dcb);
        return true;
    }

    bool SetLineSettings(const LineSettings& s) override {
        // Laid over the state last read, so that what LineSettings does not
        // carry (XON/XOFF characters and limits, error replacement) stays.
        DCB dcb = dcb_;
        if (dcb.DCBlength == 0 && !::GetCommState(port_.get(), &dcb)) {
            RecordLastError();
            return false;
        }
        ToDcb(s, dcb);
        if (!::SetCommState(port_.get(), &dcb)) {
            RecordLastError();
            return false;
        }
        dcb_ = dcb;
        return true;
    }

    bool Purge() override {
        const bool read = ReadAwayInput();
        if (!::PurgeComm(port_.get(), kPurgeOutput | PURGE_RXABORT)) {
            RecordLastError();
            return false;
        }
        return read;
    }

    bool DrainThenPurge(Waitable stop) override {
        // Purging the output throws away what has not been clocked out yet:
        // wait, bounded by the write time-out, for the driver's output queue
        // to empty, and purge it only when it will not or a stop cuts it short.
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(timeouts_.writeTotalTimeoutConstant);
        bool drained = false;
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(port_.get(), &errors, &status) || status.cbOutQue == 0) {
                drained = true;
                break;
            }
            // The driver does not tell when its output queue empties: look
            // again shortly, but never past the deadline or a stop.
            const Waitable stopOnly[] = {stop};
            if (Clock::now() >= deadline || WaitAny(stopOnly, kDrainPollMs) == 0) {
                break;
            }
        }
        ReadAwayInput();
        if (!drained && !::PurgeComm(port_.get(), kPurgeOutput)) {
            RecordLastError();
        }
        return drained;
    }

    bool DropInput() override { return ReadAwayInput(); }
    DiscardedInput TakeDiscarded() override { return std::exchange(discarded_, {}); }

    EventWaitStart StartEventWait() override {
        if (watcher_.joinable()) {
            // The watcher sets the event while bytes wait; one that arrived
            // before this reset is seen again at its next look.
            ::ResetEvent(eventWaitDone_.get());
            return EventWaitStart::kPending;
        }
        if (eventWaitPending_) {
            if (!HasOverlappedIoCompleted(&eventOverlapped_)) {
                // A write request woke the monitor while this wait went on;
                // it is still the one to wait for.
                return EventWaitStart::kPending;
            }
            eventWaitPending_ = false;
            DWORD ignored = 0;
            if (!::GetOverlappedResult(port_.get(), &eventOverlapped_, &ignored, FALSE)) {
                // Ended without an event. Either the device has gone, or a
                // line error aborted it (cleared by now), or the driver cannot
                // wait at all and ends every wait at once.
                const DWORD code = RecordLastError();
                if (!DeviceAnswers()) {
                    ::SetEvent(eventWaitDone_.get());
                    return EventWaitStart::kPending;
                }
                if (!AbortedByLineError(code)) {
                    return WatchQueue();
                }
            } else {
                // It ended with an event, which may not have been served yet
                // (a write woke the monitor): the monitor looks at the queue,
                // and starts the next wait when nothing is there.
                ::SetEvent(eventWaitDone_.get());
                return EventWaitStart::kCompleted;
            }
        }
        for (bool retried = false;; retried = true) {
            lineErrorSeen_ = false;
            eventWord_ = 0;
            ::ResetEvent(eventWaitDone_.get());
            if (::WaitCommEvent(port_.get(), &eventWord_, &eventOverlapped_)) {
                if (++immediateCompletions_ > kImmediateCompletionsTrusted) {
                    return WatchQueue();
                }
                ::SetEvent(eventWaitDone_.get());
                return EventWaitStart::kCompleted;
            }
            const DWORD code = RecordLastError();
            if (code == ERROR_IO_PENDING) {
                eventWaitPending_ = true;
                immediateCompletions_ = 0;
                return EventWaitStart::kPending;
            }
            if (!DeviceAnswers()) {
                // Wake the monitor now: its look at the queue finds the device
                // gone and reports it once.
                ::SetEvent(eventWaitDone_.get());
                return EventWaitStart::kPending;
            }
            if (!retried && AbortedByLineError(code)) {
                continue;  // the error is cleared: wait again
            }
            // The driver cannot wait for events: watch the queue instead. An
            // invalid parameter is what some drivers say for "no waits here".
            WatchQueue();
            SetLastError(static_cast<int>(code));
            return code == ERROR_INVALID_PARAMETER ? EventWaitStart::kPending
                                                   : EventWaitStart::kFailed;
        }
    }

    Waitable waitable() const override {
        return Waitable{reinterpret_cast<std::intptr_t>(eventWaitDone_.get())};
    }

    IoStatus InputQueue(uint32_t& count) override {
        COMSTAT status{};
        if (!QueryAndClearErrors(status)) {
            return FailedStatus(RecordLastError(), IoStatus::kFailed);
        }
        count = status.cbInQue;
        if (count != 0) {
            immediateCompletions_ = 0;
        }
        return IoStatus::kOk;
    }

    IoStatus ReadByte(uint8_t& byte) override {
        DWORD count = 0;
        const IoStatus status = Transfer(
            [&](DWORD, DWORD& started) {
                return ::ReadFile(port_.get(), &byte, 1, &started, &ioOverlapped_);
            },
            count);
        if (status == IoStatus::kOk && count != 1) {
            SetLastError(ERROR_TIMEOUT);  // the read time-outs ran out with nothing read
            return IoStatus::kFailedAfterWait;
        }
        return status;
    }

    IoStatus Write(const uint8_t* data, std::size_t length, Waitable stop) override {
        DWORD count = 0;
        const IoStatus status = Transfer(
            [&](DWORD done, DWORD& started) {
                return ::WriteFile(port_.get(), data + done, static_cast<DWORD>(length - done),
                                   &started, &ioOverlapped_);
            },
            count, stop);
        if (status == IoStatus::kOk && count != length) {
            SetLastError(ERROR_TIMEOUT);  // the write time-outs ran out part way
            return IoStatus::kFailedAfterWait;
        }
        return status;
    }

private:
    static LineSettings FromDcb(const DCB& dcb) {
        LineSettings s;
        s.baudRate = dcb.BaudRate;
        static constexpr char kParities[] = {'N', 'O', 'E', 'M', 'S'};
        s.parity = dcb.Parity < sizeof kParities ? kParities[dcb.Parity] : 'N';
        s.dataBits = dcb.ByteSize;
        s.stopBits = dcb.StopBits == ONE5STOPBITS  ? StopBits::kOneAndHalf
                     : dcb.StopBits == TWOSTOPBITS ? StopBits::kTwo
                                                   : StopBits::kOne;
        s.rtsControl = static_cast<RtsControl>(dcb.fRtsControl);
        s.dtrControl = static_cast<DtrControl>(
            dcb.fDtrControl > DTR_CONTROL_HANDSHAKE ? DTR_CONTROL_ENABLE : dcb.fDtrControl);
        s.outxCtsFlow = dcb.fOutxCtsFlow != 0;
        s.outxDsrFlow = dcb.fOutxDsrFlow != 0;
        s.dsrSensitivity = dcb.fDsrSensitivity != 0;
        s.outX = dcb.fOutX != 0;
        s.inX = dcb.fInX != 0;
        s.txContinueOnXoff = dcb.fTXContinueOnXoff != 0;
        s.abortOnError = dcb.fAbortOnError != 0;
        s.evtChar = dcb.EvtChar;
        return s;
    }

    static void ToDcb(const LineSettings& s, DCB& dcb) {
        dcb.DCBlength = sizeof dcb;
        dcb.fBinary = TRUE;  // Windows supports no other mode
        dcb.BaudRate = s.baudRate;
        switch (s.parity) {
            case 'O':
                dcb.Parity = ODDPARITY;
                break;
            case 'E':
                dcb.Parity = EVENPARITY;
                break;
            case 'M':
                dcb.Parity = MARKPARITY;
                break;
            case 'S':
                dcb.Parity = SPACEPARITY;
                break;
            default:
                dcb.Parity = NOPARITY;
                break;
        }
        dcb.fParity = dcb.Parity != NOPARITY;
        dcb.ByteSize = s.dataBits;
        dcb.StopBits = s.stopBits == StopBits::kOneAndHalf ? ONE5STOPBITS
                       : s.stopBits == StopBits::kTwo      ? TWOSTOPBITS
                                                           : ONESTOPBIT;
        dcb.fRtsControl = static_cast<DWORD>(s.rtsControl);
        dcb.fDtrControl = static_cast<DWORD>(s.dtrControl);
        dcb.fOutxCtsFlow = s.outxCtsFlow;
        dcb.fOutxDsrFlow = s.outxDsrFlow;
        dcb.fDsrSensitivity = s.dsrSensitivity;
        dcb.fOutX = s.outX;
        dcb.fInX = s.inX;
        dcb.fTXContinueOnXoff = s.txContinueOnXoff;
        dcb.fAbortOnError = s.abortOnError;
        dcb.EvtChar = s.evtChar;
    }

    // One read or write on the I/O record, waited for to its end or, when
    // `stop` is given, until it is signalled (kStopped). `start(done, count)`
    // starts the transfer of what follows the first `done` bytes; `done` is
    // what was transferred in all. A line error on a port that aborts on
    // errors ends the transfer, and every later one until it is cleared: it
    // is cleared and the rest transferred, once.
    template <typename Start>
    IoStatus Transfer(Start start, DWORD& done, Waitable stop = {}) {
        done = 0;
        for (bool resumed = false;; resumed = true) {
            ::ResetEvent(ioDone_.get());
            ioOverlapped_.Offset = 0;
            ioOverlapped_.OffsetHigh = 0;
            DWORD count = 0;
            if (start(done, count)) {
                done += count;
                return IoStatus::kOk;
            }
            DWORD code = RecordLastError();
            IoStatus failed = IoStatus::kFailed;
            if (code == ERROR_IO_PENDING) {
                if (stop.native != Waitable::kNone) {
                    const Waitable both[] = {
                        Waitable{reinterpret_cast<std::intptr_t>(ioDone_.get())}, stop};
                    if (WaitAny(both) == 1) {
                        // The kernel owns the record and the buffer until the
                        // cancelled request has finished; the purge drops what
                        // the driver still holds, so that the close after it
                        // has nothing to wait for.
                        ::CancelIoEx(port_.get(), &ioOverlapped_);
                        ::GetOverlappedResult(port_.get(), &ioOverlapped_, &count, TRUE);
                        done += count;
                        ::PurgeComm(port_.get(), PURGE_TXABORT | PURGE_TXCLEAR);
                        SetLastError(ERROR_OPERATION_ABORTED);
                        return IoStatus::kStopped;
                    }
                }
                const bool ok = ::GetOverlappedResult(port_.get(), &ioOverlapped_, &count, TRUE);
                done += count;
                if (ok) {
                    return IoStatus::kOk;
                }
                code = RecordLastError();
                failed = IoStatus::kFailedAfterWait;
            }
            if (code != ERROR_OPERATION_ABORTED || resumed) {
                return FailedStatus(code, failed);
            }
            COMSTAT status{};
            if (!QueryAndClearErrors(status)) {
                return FailedStatus(RecordLastError(), failed);
            }
        }
    }

    // Empties the driver's input queue by reading what it holds now, so that
    // what went is known; what arrives meanwhile stays for the next read, as
    // it would after a purge. False when the queue could not be read.
    bool ReadAwayInput() {
        COMSTAT status{};
        if (!QueryAndClearErrors(status)) {
            RecordLastError();
            return false;
        }
        std::array<uint8_t, 4096> scratch;
        for (DWORD left = status.cbInQue; left != 0;) {
            const DWORD ask = std::min<DWORD>(left, static_cast<DWORD>(scratch.size()));
            DWORD count = 0;
            const IoStatus read = Transfer(
                [&](DWORD done, DWORD& started) {
                    return ::ReadFile(port_.get(), scratch.data() + done, ask - done, &started,
                                      &ioOverlapped_);
                },
                count);
            discarded_.Add(scratch.data(), count);
            if (read != IoStatus::kOk || count == 0) {
                return read == IoStatus::kOk;
            }
            left -= std::min(left, count);
        }
        return true;
    }

    // Queries the port's queues and clears its error state, noting a line
    // error (framing, parity, overrun, break) for the event wait.
    bool QueryAndClearErrors(COMSTAT& status) {
        DWORD errors = 0;
        if (!::ClearCommError(port_.get(), &errors, &status)) {
            return false;
        }
        lineErrorSeen_ = lineErrorSeen_ || errors != 0;
        return true;
    }

    // Whether an event wait that ended with `code` was ended by a line error,
    // on a port that aborts on errors, since it started. Wine's driver on a
    // pseudo-terminal ends every wait with the same code and reports no line
    // errors: that one is watched instead.
    bool AbortedByLineError(DWORD code) const {
        return code == ERROR_OPERATION_ABORTED && lineErrorSeen_;
    }

    // Whether the device still answers a status query (which clears a line
    // error); a failure with one of the "gone" codes says it has left.
    bool DeviceAnswers() {
        COMSTAT status{};
        if (QueryAndClearErrors(status)) {
            return true;
        }
        return !IsGoneError(::GetLastError());
    }

    // From now on a watcher thread stands in for the driver's event wait: it
    // sets the port event whenever bytes wait (or the device has gone), so
    // the monitor still sleeps until there is something to read.
    EventWaitStart WatchQueue() {
        if (!watcher_.joinable()) {
            watcher_ = std::thread([this] {
                while (::WaitForSingleObject(watchStop_.get(), kQueueWatchMs) == WAIT_TIMEOUT) {
                    DWORD errors = 0;
                    COMSTAT status{};
                    const bool ok = ::ClearCommError(port_.get(), &errors, &status) != 0;
                    if ((ok && status.cbInQue != 0) || (!ok && IsGoneError(::GetLastError()))) {
                        ::SetEvent(eventWaitDone_.get());
                    }
                }
            });
        }
        ::ResetEvent(eventWaitDone_.get());
        return EventWaitStart::kPending;
    }

    UniqueHandle port_;
    UniqueHandle eventWaitDone_;
    UniqueHandle ioDone_;
    UniqueHandle watchStop_;
    std::thread watcher_;
    OVERLAPPED eventOverlapped_{};
    OVERLAPPED ioOverlapped_{};
    DWORD eventWord_ = 0;
    bool eventWaitPending_ = false;
    // A line error was cleared since the event wait started.
    bool lineErrorSeen_ = false;
    int immediateCompletions_ = 0;
    uint32_t mask_ = 0;
    CommTimeouts timeouts_;
    DCB dcb_{};
    DiscardedInput discarded_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(int portNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
    UniqueHandle port(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
    if (!port) {
        RecordLastError();
        return nullptr;
    }
    UniqueHandle eventWaitDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle ioDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle watchStop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!eventWaitDone || !ioDone || !watchStop) {
        RecordLastError();
        return nullptr;
    }
    return std::make_unique<WinSerialPort>(std::move(port), std::move(eventWaitDone),
                                           std::move(ioDone), std::move(watchStop));
}

}  // namespace plk::platform
