#include "serial/serial_link.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "platform/sys/sys_error.h"

namespace plk {

namespace {

constexpr uint32_t kTimeoutMs = kWriteTimeoutMs;
constexpr char kEventChar = 'q';

std::string Format(const char* format, auto... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) {
        std::snprintf(out.data(), out.size() + 1, format, args...);
    }
    return out;
}

// The definition text keeps whatever it does not name, so settings another
// program left on the device would stay and lose data: XON/XOFF eats the
// board's 0x11 and 0x13 bytes (and one 0x13 holds every command back), CTS or
// DSR output flow holds writes until they time out, DSR sensitivity drops
// input while DSR is low, and an abort on error fails every transfer after one
// framing error from a board that resets. DTR stays as the device had it:
// some boards reset on it.
void LeaveNoFlowControl(platform::LineSettings& s) {
    s.outX = false;
    s.inX = false;
    s.outxCtsFlow = false;
    s.outxDsrFlow = false;
    s.dsrSensitivity = false;
    s.abortOnError = false;
}

}  // namespace

CSerialLink::CSerialLink(platform::SerialPortOpener openPort) : m_openPort(std::move(openPort)) {
    m_writeTakenEvent.Set();  // nothing staged yet
}

CSerialLink::~CSerialLink() {
    StopMonitor();
    std::lock_guard guard(m_lock);
    m_port.reset();
}

void CSerialLink::StopMonitor() {
    if (!m_monitorThread.joinable()) {
        return;
    }
    // The thread may not have reached its wait yet; the stop event is
    // manual-reset, so it sees the request whenever it gets there.
    SignalStop();
    if (m_owner != nullptr) {
        m_owner->WaitServingSends(m_monitorEnded);
    } else {
        const platform::Waitable ended[] = {m_monitorEnded.waitable()};
        platform::WaitAny(ended);
    }
    m_monitorThread.join();
}

bool CSerialLink::HasPort() const {
    // Only meaningful while no monitor runs: the monitor clears m_port before
    // it lowers its flag, so reading the flag first orders the two.
    (void)m_monitorAlive.load(std::memory_order_acquire);
    return m_port != nullptr;
}

bool CSerialLink::PortLockFree() {
    std::unique_lock guard(m_lock, std::try_to_lock);
    return guard.owns_lock();
}

int CSerialLink::OpenPort(platform::Window* owner, int portNumber, int baudRate, char parity,
                          int dataBits, int stopBits, uint32_t eventMask, int writeBufferSize) {
    // No port is ever opened under a running monitor thread.
    StopMonitor();

    // Drop the shutdown request left over from before (the write request goes
    // with the old buffer, below).
    m_stopRequested.store(false, std::memory_order_release);
    m_stopEvent.Reset();
    if (!m_writeEvent.valid() || !m_stopEvent.valid() || !m_monitorListening.valid() ||
        !m_monitorEnded.valid() || !m_writeTakenEvent.valid()) {
        return 0;
    }

    // The owner, a fresh write buffer and the port's settings, for the monitor
    // this open may start. The write request is dropped together with the
    // buffer it stands for: one staged between the two would otherwise be
    // written over the new buffer's zeros.
    m_owner = owner;
    {
        std::lock_guard guard(m_bufferLock);
        m_writeEvent.Reset();
        m_writeTakenEvent.Set();
        m_writeTaken.store(true, std::memory_order_release);
        m_writeBuffer.assign(writeBufferSize > 0 ? static_cast<std::size_t>(writeBufferSize) : 0,
                             0);
        m_writeBufferSize = writeBufferSize;
    }
    m_portNumber = portNumber;
    m_eventMask = eventMask;

    const char* failedStep = nullptr;
    int failedCode = 0;
    {
        std::lock_guard guard(m_lock);
        // A port left from an earlier open is closed before the new one opens.
        m_port.reset();

        const std::string definition =
            Format("baud=%d parity=%c data=%d stop=%d", baudRate, parity, dataBits, stopBits);

        m_port = m_openPort(portNumber);
        if (!m_port) {
            return 0;
        }

        // Configure: each step only when every one before it succeeded.
        m_timeouts =
            platform::CommTimeouts{kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs};
        if (!m_port->SetTimeouts(m_timeouts)) {
            failedStep = "SetCommTimeouts()";
        } else if (!m_port->SetEventMask(eventMask)) {
            failedStep = "SetCommMask()";
        } else if (!m_port->GetLineSettings(m_lineSettings)) {
            failedStep = "GetCommState()";
        } else {
            m_lineSettings.rtsControl = platform::RtsControl::kDisable;
            m_lineSettings.evtChar = kEventChar;
            if (!platform::BuildLineSettings(definition, m_lineSettings)) {
                failedStep = "BuildCommDCB()";
            } else {
                LeaveNoFlowControl(m_lineSettings);
                if (!m_port->SetLineSettings(m_lineSettings)) {
                    failedStep = "SetCommState()";
                }
            }
        }
        if (failedStep != nullptr) {
            failedCode = platform::LastError();
        }

        // Whatever the configuration did, a port that opened counts as opened.
        m_port->Purge();
    }
    // The box waits for the user; it must not hold the port's lock meanwhile.
    if (failedStep != nullptr) {
        platform::SetLastError(failedCode);
        ReportCommError(failedStep);
    }
    return 1;
}

int CSerialLink::StartMonitor() {
    if (m_monitorThread.joinable()) {
        return 0;
    }
    m_monitorListening.Reset();
    m_monitorEnded.Reset();
    m_monitorExitCode.store(0, std::memory_order_relaxed);
    m_monitorAlive.store(1, std::memory_order_release);
    try {
        m_monitorThread = std::thread([this] { MonitorProc(this); });
    } catch (const std::system_error&) {
        // No thread (the system is out of threads or memory): the port stays
        // open without a monitor, and nobody waits for a take that cannot come.
        m_monitorAlive.store(0, std::memory_order_release);
        NoMoreTakes();
        return 0;
    }
    return 1;
}

void CSerialLink::QueueWrite(const char* text) {
    const std::size_t length = std::strlen(text);
    // The text goes in with its terminating zero, which the write leaves out.
    Stage(reinterpret_cast<const uint8_t*>(text), length + 1, length);
}

void CSerialLink::QueueWrite(const uint8_t* bytes, uint32_t count) {
    Stage(bytes, count, count);
}

void CSerialLink::Stage(const uint8_t* bytes, std::size_t copy, std::size_t length) {
    std::lock_guard guard(m_bufferLock);
    // A request never runs past the buffer (nor goes anywhere before the first
    // open made one); what does not fit is dropped rather than cut, so the board
    // never gets half a command.
    if (copy > m_writeBuffer.size()) {
        return;
    }
    std::memcpy(m_writeBuffer.data(), bytes, copy);
    m_writeLength = static_cast<int>(length);
    m_writeTaken.store(false, std::memory_order_release);
    m_writeEvent.Set();
}

void CSerialLink::TakeRequest(std::vector<uint8_t>& out) {
    std::lock_guard guard(m_bufferLock);
    m_writeEvent.Reset();
    out.assign(m_writeBuffer.begin(), m_writeBuffer.begin() + m_writeLength);
    m_writeTaken.store(true, std::memory_order_release);
    if (m_takenWaiters > 0) {
        m_writeTakenEvent.Set();
    }
}

void CSerialLink::NoMoreTakes() {
    std::lock_guard guard(m_bufferLock);
    m_writeTakenEvent.Set();
    m_writeTaken.store(true, std::memory_order_release);
}

bool CSerialLink::WaitWriteTaken(platform::Waitable stop, int timeoutMs) {
    // A monitor that has ended (or never ran) takes nothing; one that ends
    // during the wait says so through the taken event.
    if (!MonitorAlive() || m_writeTaken.load(std::memory_order_acquire)) {
        return true;
    }
    {
        // The event is lowered only here, while the request is known to be
        // untaken: the take after it sets it again, since it sees a waiter.
        std::lock_guard guard(m_bufferLock);
        if (m_writeTaken.load(std::memory_order_relaxed)) {
            return true;
        }
        if (m_takenWaiters++ == 0) {
            m_writeTakenEvent.Reset();
        }
    }
    const platform::Waitable handles[] = {stop, m_writeTakenEvent.waitable()};
    const bool taken = platform::WaitAny(handles, timeoutMs) != 0;
    std::lock_guard guard(m_bufferLock);
    --m_takenWaiters;
    return taken;
}

void CSerialLink::SignalStop() {
    m_stopRequested.store(true, std::memory_order_release);
    m_stopEvent.Set();
}

void CSerialLink::RequestClose() {
    SignalStop();
}

void CSerialLink::ReportCommError(const char* callName) {
    const int code = platform::LastError();
    const std::string text =
        Format("WARNING:  %s Failed with the following error: \n%s\nPort: %d\n", callName,
               platform::ErrorText(code).c_str(), m_portNumber);
    if (m_owner != nullptr) {
        m_owner->MessageBox(text, "Application Error", platform::kMbOk | platform::kMbIconError);
    } else {
        std::fputs(text.c_str(), stderr);
    }
}

void CSerialLink::ReportDiscarded(platform::DiscardedInput earlier) {
    earlier.Add(m_port->TakeDiscarded());
    if (earlier.count != 0) {
        Notify(WM_PORT_DISCARD, earlier.EndsInsideALine() ? 1 : 0);
    }
}

void CSerialLink::Notify(uint32_t message, platform::WParam wParam) {
    if (m_owner != nullptr) {
        m_owner->Send(message, wParam, m_portNumber);
    }
}

}  // namespace plk
