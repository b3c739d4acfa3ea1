// CSerialLink: one serial port, its write buffer, and the monitor thread that
// does all reading and writing on it and reports to an owner window.
//
// OpenPort lays the definition text over the device's settings, then turns off
// whatever flow control (XON/XOFF, CTS/DSR), DSR sensitivity and abort-on-error
// another program left there; DTR stays as it was. Purges read the input away
// rather than flush it unseen, so that the window hears how much went and
// whether a line was cut (m_closedWithPort carries what a closing monitor threw
// away to the next monitor's first report).
//
// A device that goes away while open (unplugged, hung up) is reported once; the
// monitor then waits only for the stop and write requests. On Windows every code
// a driver gives for a removal counts, on whichever call meets it first. A
// transfer that a line error aborted is no such thing: the error is cleared and
// the port goes on. No close waits on a driver for ever: every transfer is
// bounded by the port's own time-outs (plus a grace), and on Windows a request
// the driver never gives back keeps its memory for the rest of the process while
// the close goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/comm/serial_port.h"
#include "platform/sys/event.h"
#include "platform/ui/window.h"

namespace plk {

// Notifications sent to the owner window; lParam is always the port number.
inline constexpr uint32_t WM_PORT_BREAK = platform::kWmUser + 1;    // 1025
inline constexpr uint32_t WM_PORT_CTS = platform::kWmUser + 2;      // 1026
inline constexpr uint32_t WM_PORT_ERROR = platform::kWmUser + 4;    // 1028
inline constexpr uint32_t WM_PORT_RING = platform::kWmUser + 5;     // 1029
inline constexpr uint32_t WM_PORT_CHAR = platform::kWmUser + 7;     // 1031, wParam the byte
inline constexpr uint32_t WM_PORT_EVTCHAR = platform::kWmUser + 8;  // 1032
// Input from the board was thrown away unread (by a purge, or with a closed
// port); wParam 1 when the last byte thrown away was not a line feed, so that
// the line it belonged to is broken, else 0.
inline constexpr uint32_t WM_PORT_DISCARD = platform::kWmUser + 9;  // 1033

inline constexpr unsigned kMonitorExitCode = 100;

// How long a write may take before it counts as failed, and so how long a
// caller waits for the link to take its previous request.
inline constexpr int kWriteTimeoutMs = 1000;

// Outcome of the monitor's read or write step. kFailed: the port failed in a way
// that may repeat at once, so the monitor pauses before it watches the port
// again; kDeviceGone: the device went away.
enum class Step { kDone, kFailed, kDeviceGone };

class CSerialLink {
public:
    // `openPort` opens a port by its number; the system's opener unless a test
    // gives its own.
    explicit CSerialLink(platform::SerialPortOpener openPort = platform::OpenSerialPort);
    virtual ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    // Nonzero when the port was opened (even if a configuration step failed and
    // was reported), 0 when it could not be opened.
    int OpenPort(platform::Window* owner, int portNumber, int baudRate, char parity, int dataBits,
                 int stopBits, uint32_t eventMask, int writeBufferSize);
    // 0 when the thread cannot be created; the port then stays open, unread.
    int StartMonitor();
    // Replace any request not yet written; never waits for the port. Any thread.
    void QueueWrite(const char* text);
    void QueueWrite(const uint8_t* bytes, uint32_t count);
    // Waits until the monitor has taken the request staged last (or no monitor
    // runs to take it), for at most `timeoutMs`, so that a caller about to stage
    // the next one does not replace it. False when `stop` ended the wait.
    bool WaitWriteTaken(platform::Waitable stop, int timeoutMs = kWriteTimeoutMs);
    void RequestClose();
    void ReportCommError(const char* callName);

    // For tests and diagnostics.
    bool HasPort() const;
    bool MonitorAlive() const { return m_monitorAlive.load(std::memory_order_acquire) != 0; }
    unsigned MonitorExitCode() const { return m_monitorExitCode.load(std::memory_order_acquire); }
    bool WriteRequested() const { return m_writeEvent.IsSet(); }
    // Whether the port's lock is free right now (a box must never be shown under it).
    bool PortLockFree();
    // Set once the monitor has purged the port it starts with and watches it:
    // what the board sends from then on is read.
    const platform::Event& MonitorListening() const { return m_monitorListening; }
    // Set once the monitor thread has closed the port and lowered its flag.
    const platform::Event& MonitorEnded() const { return m_monitorEnded; }

private:
    friend unsigned MonitorProc(CSerialLink* link);
    friend Step ReceivePending(CSerialLink& link);
    friend Step WritePending(CSerialLink& link, bool deviceGone);

    // Stops a running monitor thread and joins it, serving the owner's sent
    // messages meanwhile, so that a monitor blocked on a send cannot deadlock us.
    void StopMonitor();
    void SignalStop();
    bool StopRequested() const { return m_stopRequested.load(std::memory_order_acquire); }
    // A request is staged and the monitor has not taken it yet.
    bool WriteWaiting() const { return !m_writeTaken.load(std::memory_order_acquire); }
    void Stage(const uint8_t* bytes, std::size_t copy, std::size_t length);
    // The monitor's side of Stage: copies the staged request out and lowers the
    // write request in one step, so that a request staged meanwhile is neither
    // lost nor written twice.
    void TakeRequest(std::vector<uint8_t>& out);
    // Tells waiters that no monitor remains to take a request.
    void NoMoreTakes();
    void Notify(uint32_t message, platform::WParam wParam);
    // Tells the owner what the port's purges threw away since the last report,
    // together with `earlier` (what went with the previous port).
    void ReportDiscarded(platform::DiscardedInput earlier = {});

    const platform::SerialPortOpener m_openPort;

    // Guarded by m_bufferLock: the buffer, its size and the pending length; and
    // the state of m_writeEvent (a request is staged), m_writeTaken and
    // m_writeTakenEvent, which change only under it.
    std::mutex m_bufferLock;
    int m_writeLength = 1;
    std::vector<uint8_t> m_writeBuffer;
    // No request is staged, or no monitor is left to take it (release stores
    // under m_bufferLock, acquire loads): a caller whose last request was
    // taken learns it without a system call.
    std::atomic<bool> m_writeTaken{true};
    // Set when m_writeTaken rises while a caller waits for it (m_takenWaiters
    // of them, under m_bufferLock), and whenever no monitor is left; staging
    // and taking a request cost no call on it otherwise.
    platform::Event m_writeTakenEvent;
    int m_takenWaiters = 0;
    // The monitor's copy of the request it writes; the monitor thread only.
    std::vector<uint8_t> m_writeScratch;
    // Input thrown away with the port when the last monitor closed it, for the
    // next monitor to report. Written by a monitor as it ends, read by the next
    // as it starts: the join and the thread start order the two.
    platform::DiscardedInput m_closedWithPort;

    // The device; touched by OpenPort only while no monitor runs, otherwise by
    // the monitor thread alone. I/O on it is serialised by m_lock.
    std::unique_ptr<platform::SerialPort> m_port;
    std::thread m_monitorThread;
    std::mutex m_lock;
    // Raised by StartMonitor before the thread starts, so that a request
    // staged meanwhile counts as one a monitor will take; lowered by the
    // monitor thread as it ends (release stores, acquire loads).
    std::atomic<int> m_monitorAlive{0};
    std::atomic<unsigned> m_monitorExitCode{0};
    platform::Event m_monitorListening;
    platform::Event m_monitorEnded;
    platform::Event m_writeEvent;
    platform::Event m_stopEvent;
    // Mirrors m_stopEvent for the read step, which looks at it before every byte
    // (set and cleared with the event; release stores, acquire loads).
    std::atomic<bool> m_stopRequested{false};
    platform::CommTimeouts m_timeouts;
    platform::LineSettings m_lineSettings;
    // Set by OpenPort before the monitor starts; read-only while it runs.
    platform::Window* m_owner = nullptr;
    int m_portNumber = 0;
    uint32_t m_eventMask = 0;
    int m_writeBufferSize = 0;
};

unsigned MonitorProc(CSerialLink* link);

}  // namespace plk
