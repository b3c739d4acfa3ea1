// Serial devices on Windows: "\\.\COMn" opened exclusively for overlapped I/O.
// The event wait and the reads and writes each have an OVERLAPPED record and an
// event of their own, so that a write started while the event wait is still
// pending can never be taken for finished when the wait completes.
#include "platform/comm/serial_port_win.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/comm/serial_port.h"
#include "platform/sys/deadline.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {

namespace {

// On an open port these mean the device itself has gone (a USB adapter pulled
// out, a driver that gave up); nothing more will come from it. Drivers differ
// in what they say on a surprise removal: many USB-serial drivers fail every
// call with "access denied", others with "invalid handle", "device does not
// exist" or "not connected". An aborted transfer is not among them: a port
// that aborts on line errors ends every transfer with it until the error is
// cleared, and the device is still there.
bool IsGoneError(DWORD code) {
    switch (code) {
        case ERROR_DEVICE_REMOVED:
        case ERROR_GEN_FAILURE:
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
            return true;
        default:
            return false;
    }
}

// Records the calling thread's Win32 error as our last error and returns it.
DWORD RecordLastError() {
    const DWORD code = ::GetLastError();
    SetLastError(static_cast<int>(code));
    return code;
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

// One overlapped request: its record, the event the record signals, and the
// memory the driver fills or reads while the request runs.
struct Request {
    explicit Request(UniqueHandle event) : done(std::move(event)) {
        overlapped.hEvent = done.get();
    }
    // Ready for the next start: offsets cleared, event non-signalled.
    void Restart() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = done.get();
        ::ResetEvent(done.get());
    }
    Waitable waitable() const { return Waitable{reinterpret_cast<std::intptr_t>(done.get())}; }

    OVERLAPPED overlapped{};
    UniqueHandle done;
    DWORD eventWord = 0;          // what an event wait reports
    std::vector<uint8_t> buffer;  // what a read fills or a write sends
};

std::unique_ptr<Request> NewRequest() {
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        RecordLastError();
        return nullptr;
    }
    return std::make_unique<Request>(std::move(event));
}

struct RetainedRequests {
    std::mutex lock;
    std::vector<std::unique_ptr<Request>> requests;
};

// A request that the driver did not give back within the bound after it was
// cancelled still belongs to the driver, which may write into its record, its
// event word or its buffer, and signal its event, at any later time. It is
// kept here, never freed and its event never closed, for the rest of the
// process: deliberately, and not destroyed among the statics at exit either.
// Only a driver that breaks its contract costs this memory.
RetainedRequests& Retained() {
    static RetainedRequests* const retained = std::make_unique<RetainedRequests>().release();
    return *retained;
}

void Retain(std::unique_ptr<Request> request) {
    RetainedRequests& retained = Retained();
    std::lock_guard guard(retained.lock);
    retained.requests.push_back(std::move(request));
}

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
// How long a cancelled request may take to end when the port sets no write
// time-out to go by.
constexpr DWORD kCancelBoundMs = 1000;
// What a driver gets beyond the port's own time-outs to end a transfer.
constexpr DWORD kDriverGraceMs = 1000;

// How long a transfer of `length` bytes may take by the time-outs `constant`
// and `perByte`, with the driver's grace; INFINITE when they set no limit.
DWORD TransferBound(uint32_t constant, uint32_t perByte, std::size_t length) {
    if (constant == 0 && perByte == 0) {
        return INFINITE;
    }
    const uint64_t ms = uint64_t{constant} + uint64_t{perByte} * length + kDriverGraceMs;
    return ms < INT_MAX ? static_cast<DWORD>(ms) : INT_MAX;
}

int AsWaitMs(DWORD ms) {
    return ms == INFINITE ? kInfinite : static_cast<int>(std::min<DWORD>(ms, INT_MAX));
}

class WinSerialPort final : public SerialPort {
public:
    WinSerialPort(std::shared_ptr<CommCalls> calls, UniqueHandle port,
                  std::unique_ptr<Request> eventWait, std::unique_ptr<Request> io,
                  UniqueHandle watchStop)
        : calls_(std::move(calls)),
          port_(std::move(port)),
          event_(std::move(eventWait)),
          io_(std::move(io)),
          watchStop_(std::move(watchStop)) {}

    ~WinSerialPort() override {
        if (watcher_.joinable()) {
            ::SetEvent(watchStop_.get());
            watcher_.join();
        }
        // The kernel still owns the event word and record of a pending wait:
        // end it and let it finish before they and the port go away; a driver
        // that will not finish it keeps them (see Retain).
        if (eventWaitPending_) {
            calls_->SetCommMask(port_.get(), 0);
            if (!EndCancelled(*event_)) {
                Retain(std::move(event_));
            }
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
        if (!calls_->SetCommMask(port_.get(), mask)) {
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
        if (!calls_->GetCommMask(port_.get(), &reported)) {
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
        if (!calls_->PurgeComm(port_.get(), kPurgeOutput | PURGE_RXABORT)) {
            RecordLastError();
            return false;
        }
        return read;
    }

    bool DrainThenPurge(Waitable stop) override {
        // Purging the output throws away what has not been clocked out yet:
        // wait, bounded by the write time-out, for the driver's output queue
        // to empty, and purge it only when it will not or a stop cuts it short.
        const Deadline deadline(timeouts_.writeTotalTimeoutConstant);
        bool drained = false;
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!calls_->ClearCommError(port_.get(), &errors, &status) || status.cbOutQue == 0) {
                drained = true;
                break;
            }
            // The driver does not tell when its output queue empties: look
            // again shortly, but never past the deadline or a stop.
            const Waitable stopOnly[] = {stop};
            if (deadline.Expired() || WaitAny(stopOnly, kDrainPollMs) == 0) {
                break;
            }
        }
        ReadAwayInput();
        if (!drained && !calls_->PurgeComm(port_.get(), kPurgeOutput)) {
            RecordLastError();
        }
        return drained;
    }

    bool DropInput() override { return ReadAwayInput(); }
    DiscardedInput TakeDiscarded() override { return std::exchange(discarded_, {}); }

    EventWaitStart StartEventWait() override {
        if (goneCode_ != 0) {
            return WakeForGone();
        }
        if (watcher_.joinable()) {
            // The watcher sets the event while bytes wait; one that arrived
            // before this reset is seen again at its next look.
            ::ResetEvent(event_->done.get());
            return EventWaitStart::kPending;
        }
        if (eventWaitPending_) {
            if (!HasOverlappedIoCompleted(&event_->overlapped)) {
                // A write request woke the monitor while this wait went on;
                // it is still the one to wait for.
                return EventWaitStart::kPending;
            }
            eventWaitPending_ = false;
            DWORD ignored = 0;
            if (!calls_->GetOverlappedResult(port_.get(), &event_->overlapped, &ignored, FALSE)) {
                // Ended without an event. Either the device has gone, or a
                // line error aborted it (cleared by now), or the driver cannot
                // wait at all and ends every wait at once.
                const DWORD code = RecordLastError();
                if (MarkIfGone(code) || !DeviceAnswers()) {
                    return WakeForGone();
                }
                if (!AbortedByLineError(code)) {
                    return WatchQueue();
                }
            } else {
                // It ended with an event, which may not have been served yet
                // (a write woke the monitor): the monitor looks at the queue,
                // and starts the next wait when nothing is there.
                ::SetEvent(event_->done.get());
                return EventWaitStart::kCompleted;
            }
        }
        for (bool retried = false;; retried = true) {
            lineErrorSeen_ = false;
            event_->eventWord = 0;
            event_->Restart();
            if (calls_->WaitCommEvent(port_.get(), &event_->eventWord, &event_->overlapped)) {
                if (++immediateCompletions_ > kImmediateCompletionsTrusted) {
                    return WatchQueue();
                }
                ::SetEvent(event_->done.get());
                return EventWaitStart::kCompleted;
            }
            const DWORD code = RecordLastError();
            if (code == ERROR_IO_PENDING) {
                eventWaitPending_ = true;
                immediateCompletions_ = 0;
                return EventWaitStart::kPending;
            }
            if (MarkIfGone(code) || !DeviceAnswers()) {
                return WakeForGone();
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

    Waitable waitable() const override { return event_->waitable(); }

    IoStatus InputQueue(uint32_t& count) override {
        if (goneCode_ != 0) {
            return GoneStatus();
        }
        COMSTAT status{};
        if (!QueryAndClearErrors(status)) {
            return Failed(RecordLastError(), IoStatus::kFailed);
        }
        count = status.cbInQue;
        if (count != 0) {
            immediateCompletions_ = 0;
        }
        return IoStatus::kOk;
    }

    IoStatus ReadByte(uint8_t& byte) override {
        if (goneCode_ != 0) {
            return GoneStatus();
        }
        DWORD count = 0;
        const IoStatus status = Transfer(
            [&](Request& r, DWORD, DWORD& started) {
                r.buffer.resize(1);
                return calls_->ReadFile(port_.get(), r.buffer.data(), 1, &started, &r.overlapped);
            },
            count,
            TransferBound(timeouts_.readTotalTimeoutConstant, timeouts_.readTotalTimeoutMultiplier,
                          1));
        if (status == IoStatus::kOk && count != 1) {
            SetLastError(ERROR_TIMEOUT);  // the read time-outs ran out with nothing read
            return IoStatus::kFailedAfterWait;
        }
        if (status == IoStatus::kOk) {
            byte = io_->buffer[0];
        }
        return status;
    }

    IoStatus Write(const uint8_t* data, std::size_t length, Waitable stop) override {
        if (goneCode_ != 0) {
            return GoneStatus();
        }
        if (!io_ && !(io_ = NewRequest())) {
            return IoStatus::kFailed;
        }
        // The driver reads the bytes from memory of the request's own, which
        // outlives a request it will not give back.
        io_->buffer.assign(data, data + length);
        DWORD count = 0;
        const IoStatus status = Transfer(
            [&](Request& r, DWORD done, DWORD& started) {
                return calls_->WriteFile(port_.get(), r.buffer.data() + done,
                                         static_cast<DWORD>(r.buffer.size() - done), &started,
                                         &r.overlapped);
            },
            count,
            TransferBound(timeouts_.writeTotalTimeoutConstant,
                          timeouts_.writeTotalTimeoutMultiplier, length),
            stop);
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

    // One read or write on the I/O request, waited for to its end; `boundMs`
    // (the port's own time-outs and a grace) limits the wait, and `stop`, when
    // given, ends it early (kStopped). `start(request, done, count)` starts
    // the transfer of what follows the first `done` bytes of the request's
    // buffer; `done` is what was transferred in all. A line error on a port
    // that aborts on errors ends the transfer, and every later one until it
    // is cleared: it is cleared and the rest transferred, once.
    template <typename Start>
    IoStatus Transfer(Start start, DWORD& done, DWORD boundMs, Waitable stop = {}) {
        done = 0;
        for (bool resumed = false;; resumed = true) {
            if (!io_ && !(io_ = NewRequest())) {
                return IoStatus::kFailed;
            }
            Request& request = *io_;
            request.Restart();
            DWORD count = 0;
            if (start(request, done, count)) {
                done += count;
                return IoStatus::kOk;
            }
            DWORD code = RecordLastError();
            IoStatus failed = IoStatus::kFailed;
            if (code == ERROR_IO_PENDING) {
                const Waitable handles[] = {request.waitable(), stop};
                const int woke = WaitAny(handles, AsWaitMs(boundMs));
                if (woke != 0) {
                    // Stopped, or the driver overran its own time-outs. The
                    // kernel owns the record and the buffer until the
                    // cancelled request has ended; a driver that will not end
                    // it keeps them (see Retain).
                    if (EndCancelled(request)) {
                        calls_->GetOverlappedResult(port_.get(), &request.overlapped, &count,
                                                    FALSE);
                        done += count;
                    } else {
                        Retain(std::move(io_));
                    }
                    if (woke == 1) {
                        // The purge drops what the driver still holds, so
                        // that the close after it has nothing to wait for.
                        calls_->PurgeComm(port_.get(), PURGE_TXABORT | PURGE_TXCLEAR);
                        SetLastError(ERROR_OPERATION_ABORTED);
                        return IoStatus::kStopped;
                    }
                    SetLastError(ERROR_TIMEOUT);
                    return IoStatus::kFailedAfterWait;
                }
                const bool ok =
                    calls_->GetOverlappedResult(port_.get(), &request.overlapped, &count, FALSE);
                done += count;
                if (ok) {
                    return IoStatus::kOk;
                }
                code = RecordLastError();
                failed = IoStatus::kFailedAfterWait;
            }
            if (code != ERROR_OPERATION_ABORTED || resumed) {
                return Failed(code, failed);
            }
            COMSTAT status{};
            if (!QueryAndClearErrors(status)) {
                return Failed(RecordLastError(), failed);
            }
        }
    }

    // Cancels `request` and waits for it to end, at most the write time-out
    // (the bound a close is promised). False when it did not end: the driver
    // still holds it.
    bool EndCancelled(Request& request) {
        calls_->CancelIoEx(port_.get(), &request.overlapped);
        const DWORD boundMs = timeouts_.writeTotalTimeoutConstant != 0
                                  ? timeouts_.writeTotalTimeoutConstant
                                  : kCancelBoundMs;
        const Deadline deadline(boundMs);
        while (!HasOverlappedIoCompleted(&request.overlapped)) {
            const int left = deadline.RemainingMs();
            if (left == 0) {
                return false;
            }
            if (::WaitForSingleObject(request.done.get(), static_cast<DWORD>(left)) ==
                    WAIT_OBJECT_0 &&
                !HasOverlappedIoCompleted(&request.overlapped)) {
                // Set by this port to wake the monitor, not by the driver: the
                // driver sets it again when the request ends.
                ::ResetEvent(request.done.get());
            }
        }
        return true;
    }

    // Notes a "gone" code: from then on every call says so at once, without
    // asking a device that is no longer there.
    bool MarkIfGone(DWORD code) {
        if (IsGoneError(code)) {
            goneCode_ = code;
        }
        return goneCode_ != 0;
    }

    IoStatus Failed(DWORD code, IoStatus otherwise) {
        return MarkIfGone(code) ? IoStatus::kGone : otherwise;
    }

    IoStatus GoneStatus() const {
        SetLastError(static_cast<int>(goneCode_));
        return IoStatus::kGone;
    }

    // Wakes the monitor now: its look at the queue finds the device gone and
    // reports it once.
    EventWaitStart WakeForGone() {
        ::SetEvent(event_->done.get());
        return EventWaitStart::kPending;
    }

    // Empties the driver's input queue by reading what it holds now, so that
    // what went is known; what arrives meanwhile stays for the next read, as
    // it would after a purge. False when the queue could not be read.
    bool ReadAwayInput() {
        if (goneCode_ != 0) {
            GoneStatus();
            return false;
        }
        COMSTAT status{};
        if (!QueryAndClearErrors(status)) {
            MarkIfGone(RecordLastError());
            return false;
        }
        constexpr DWORD kChunk = 4096;
        for (DWORD left = status.cbInQue; left != 0;) {
            const DWORD ask = std::min(left, kChunk);
            DWORD count = 0;
            const IoStatus read = Transfer(
                [&](Request& r, DWORD done, DWORD& started) {
                    r.buffer.resize(ask);
                    return calls_->ReadFile(port_.get(), r.buffer.data() + done, ask - done,
                                            &started, &r.overlapped);
                },
                count,
                TransferBound(timeouts_.readTotalTimeoutConstant,
                              timeouts_.readTotalTimeoutMultiplier, ask));
            if (io_) {
                discarded_.Add(io_->buffer.data(), count);
            }
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
        if (!calls_->ClearCommError(port_.get(), &errors, &status)) {
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
        return !MarkIfGone(RecordLastError());
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
                    const bool ok = calls_->ClearCommError(port_.get(), &errors, &status) != 0;
                    if ((ok && status.cbInQue != 0) || (!ok && IsGoneError(::GetLastError()))) {
                        ::SetEvent(event_->done.get());
                    }
                }
            });
        }
        ::ResetEvent(event_->done.get());
        return EventWaitStart::kPending;
    }

    const std::shared_ptr<CommCalls> calls_;
    UniqueHandle port_;
    // The event wait's request (its event is the port's waitable) and the
    // reads' and writes' one. Either may be handed to Retain: the I/O one is
    // then made anew for the next transfer.
    std::unique_ptr<Request> event_;
    std::unique_ptr<Request> io_;
    UniqueHandle watchStop_;
    std::thread watcher_;
    bool eventWaitPending_ = false;
    // A line error was cleared since the event wait started.
    bool lineErrorSeen_ = false;
    // The "gone" code a call met, once one has; 0 while the device is there.
    DWORD goneCode_ = 0;
    int immediateCompletions_ = 0;
    uint32_t mask_ = 0;
    CommTimeouts timeouts_;
    DCB dcb_{};
    DiscardedInput discarded_;
};

}  // namespace

BOOL CommCalls::WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* overlapped) {
    return ::WaitCommEvent(port, events, overlapped);
}
BOOL CommCalls::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) {
    return ::ClearCommError(port, errors, status);
}
BOOL CommCalls::ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* count,
                         OVERLAPPED* overlapped) {
    return ::ReadFile(port, buffer, length, count, overlapped);
}
BOOL CommCalls::WriteFile(HANDLE port, const void* buffer, DWORD length, DWORD* count,
                          OVERLAPPED* overlapped) {
    return ::WriteFile(port, buffer, length, count, overlapped);
}
BOOL CommCalls::GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* count, BOOL wait) {
    return ::GetOverlappedResult(port, overlapped, count, wait);
}
BOOL CommCalls::CancelIoEx(HANDLE port, OVERLAPPED* overlapped) {
    return ::CancelIoEx(port, overlapped);
}
BOOL CommCalls::PurgeComm(HANDLE port, DWORD flags) {
    return ::PurgeComm(port, flags);
}
BOOL CommCalls::SetCommMask(HANDLE port, DWORD mask) {
    return ::SetCommMask(port, mask);
}
BOOL CommCalls::GetCommMask(HANDLE port, DWORD* mask) {
    return ::GetCommMask(port, mask);
}

std::unique_ptr<SerialPort> OpenSerialPortThrough(int portNumber,
                                                  std::shared_ptr<CommCalls> calls) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
    UniqueHandle port(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
    if (!port) {
        RecordLastError();
        return nullptr;
    }
    std::unique_ptr<Request> eventWait = NewRequest();
    std::unique_ptr<Request> io = NewRequest();
    UniqueHandle watchStop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!eventWait || !io || !watchStop) {
        RecordLastError();
        return nullptr;
    }
    return std::make_unique<WinSerialPort>(std::move(calls), std::move(port), std::move(eventWait),
                                           std::move(io), std::move(watchStop));
}

std::size_t RetainedRequestCount() {
    RetainedRequests& retained = Retained();
    std::lock_guard guard(retained.lock);
    return retained.requests.size();
}

std::unique_ptr<SerialPort> OpenSerialPort(int portNumber) {
    return OpenSerialPortThrough(portNumber, std::make_shared<CommCalls>());
}

}  // namespace plk::platform
