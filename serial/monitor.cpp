// The monitor thread: the only reader and writer of the port while it runs.
#include <chrono>
#include <thread>
#include <vector>

#include "platform/sys/sys_error.h"
#include "serial/serial_link.h"

namespace plk {

namespace {

using platform::IoStatus;

IoStatus QueryQueue(std::mutex& lock, platform::SerialPort& port, uint32_t& count) {
    std::lock_guard guard(lock);
    const IoStatus status = port.InputQueue(count);
    // A failed query counts as an empty queue: a port that keeps failing must
    // not keep the read step going forever.
    if (status != IoStatus::kOk) {
        count = 0;
    }
    return status;
}

}  // namespace

// Reads every byte waiting in the input queue, one at a time, and hands each to
// the owner; the next byte is read only once the owner has handled the last.
Step ReceivePending(CSerialLink& link) {
    platform::SerialPort& port = *link.m_port;
    uint32_t count = 0;
    if (QueryQueue(link.m_lock, port, count) == IoStatus::kGone) {
        return Step::kDeviceGone;
    }
    while (count != 0) {
        uint8_t byte = 0;
        IoStatus status;
        {
            std::lock_guard guard(link.m_lock);
            status = port.ReadByte(byte);
        }
        if (status == IoStatus::kOk) {
            link.Notify(WM_PORT_CHAR, byte);
        } else if (status == IoStatus::kGone) {
            return Step::kDeviceGone;
        } else {
            // A failed read carries no byte from the port, so nothing is sent.
            link.ReportCommError(status == IoStatus::kFailedAfterWait
                                     ? "GetOverlappedResults() in ReadFile()"
                                     : "ReadFile()");
        }
        if (QueryQueue(link.m_lock, port, count) == IoStatus::kGone) {
            return Step::kDeviceGone;
        }
    }
    return Step::kDone;
}

Step WritePending(CSerialLink& link, bool deviceGone) {
    link.m_writeEvent.Reset();
    if (deviceGone) {
        return Step::kDeviceGone;  // already reported; the request has nowhere to go
    }
    IoStatus status;
    {
        std::lock_guard guard(link.m_lock);
        // Throw away what the board sent but nobody read, without cutting the
        // output of the previous command short.
        link.m_port->DrainThenPurge();
        std::vector<uint8_t> data;
        {
            std::lock_guard bufferGuard(link.m_bufferLock);
            data.assign(link.m_writeBuffer.begin(),
                        link.m_writeBuffer.begin() + link.m_writeLength);
        }
        status = link.m_port->Write(data.data(), data.size());
    }
    if (status == IoStatus::kGone) {
        return Step::kDeviceGone;
    }
    if (status == IoStatus::kFailed) {
        link.ReportCommError("WriteFile()");
    }
    return Step::kDone;
}

unsigned MonitorProc(CSerialLink* linkPointer) {
    CSerialLink& link = *linkPointer;
    link.m_monitorAlive.store(1, std::memory_order_release);
    if (link.m_port) {
        link.m_port->Purge();
    }
    // Once the device has gone away (a USB board unplugged) it is reported once,
    // and from then on only the shutdown and write requests are waited for.
    bool deviceGone = !link.m_port;
    auto noteGone = [&](Step step, const char* callName) {
        if (step == Step::kDeviceGone && !deviceGone) {
            deviceGone = true;
            link.ReportCommError(callName);
        }
    };

    for (;;) {
        platform::Waitable handles[3] = {
            link.m_stopEvent.waitable(), {}, link.m_writeEvent.waitable()};
        if (!deviceGone) {
            switch (link.m_port->StartEventWait()) {
                case platform::EventWaitStart::kCompleted: {
                    uint32_t count = 0;
                    if (link.m_port->InputQueue(count) != IoStatus::kOk || count == 0) {
                        continue;
                    }
                    break;
                }
                case platform::EventWaitStart::kPending:
                    break;
                case platform::EventWaitStart::kFailed:
                    link.ReportCommError("WaitCommEvent()");
                    break;
            }
            handles[1] = link.m_port->waitable();
        }

        switch (platform::WaitAny(handles)) {
            case 0: {
                link.m_port.reset();
                link.m_monitorAlive.store(0, std::memory_order_release);
                link.m_monitorExitCode.store(kMonitorExitCode, std::memory_order_release);
                link.m_monitorEnded.Set();
                return kMonitorExitCode;
            }
            case 1: {
                uint32_t mask = 0;
                link.m_port->GetEventMask(mask);
                if ((mask & platform::kEvRxChar) != 0) {
                    noteGone(ReceivePending(link), "ReadFile()");
                }
                if ((mask & platform::kEvCts) != 0) {
                    link.Notify(WM_PORT_CTS, 0);
                }
                if ((mask & platform::kEvBreak) != 0) {
                    link.Notify(WM_PORT_BREAK, 0);
                }
                if ((mask & platform::kEvErr) != 0) {
                    link.Notify(WM_PORT_ERROR, 0);
                }
                if ((mask & platform::kEvRing) != 0) {
                    link.Notify(WM_PORT_RING, 0);
                }
                if ((mask & platform::kEvRxFlag) != 0) {
                    link.Notify(WM_PORT_EVTCHAR, 0);
                }
                break;
            }
            case 2:
                noteGone(WritePending(link, deviceGone), "WriteFile()");
                break;
            default:
                // The wait itself failed; pause so that a wait that keeps
                // failing cannot turn this loop into a spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                break;
        }
    }
}

}  // namespace plk
