// The monitor thread: the only reader and writer of the port while it runs.
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sys/sys_error.h"
#include "serial/serial_link.h"

namespace plk {

namespace {

using platform::IoStatus;

// After a failure that may repeat at once (a queue query or read that fails
// while the device still signals input), the port is left unwatched this long,
// so that no port state can turn the loop into a spin. Stop and write requests
// are still served at once meanwhile.
constexpr int kFailurePauseMs = 50;

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

Step QueryOutcome(IoStatus status) {
    return status == IoStatus::kGone ? Step::kDeviceGone : Step::kFailed;
}

}  // namespace

// Reads every byte waiting in the input queue, one at a time, and hands each to
// the owner; the next byte is read only once the owner has handled the last.
// A stop or a write request ends the step before the next byte: a board that
// never pauses keeps the queue from ever running empty, and would otherwise
// hold every command back until the bridge gave up waiting for it.
Step ReceivePending(CSerialLink& link) {
    platform::SerialPort& port = *link.m_port;
    uint32_t count = 0;
    if (const IoStatus status = QueryQueue(link.m_lock, port, count); status != IoStatus::kOk) {
        return QueryOutcome(status);
    }
    while (count != 0 && !link.StopRequested() && !link.WriteWaiting()) {
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
            return Step::kFailed;
        }
        if (status = QueryQueue(link.m_lock, port, count); status != IoStatus::kOk) {
            return QueryOutcome(status);
        }
    }
    return Step::kDone;
}

Step WritePending(CSerialLink& link, bool deviceGone) {
    std::vector<uint8_t>& data = link.m_writeScratch;
    link.TakeRequest(data);
    if (deviceGone) {
        return Step::kDeviceGone;  // already reported; the request has nowhere to go
    }
    const platform::Waitable stop = link.m_stopEvent.waitable();
    IoStatus status;
    {
        std::lock_guard guard(link.m_lock);
        // Throw away what the board sent but nobody read, without cutting the
        // output of the previous command short.
        link.m_port->DrainThenPurge(stop);
        status = link.StopRequested() ? IoStatus::kStopped
                                      : link.m_port->Write(data.data(), data.size(), stop);
    }
    // After the write, so that the command is not held up; before any byte
    // read after the purge, so that the owner knows where the board's lines
    // were cut.
    link.ReportDiscarded();
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
    if (link.m_port) {
        link.m_port->Purge();
        // What this purge and the open's threw away, and what went with the
        // port the last monitor closed: the line in assembly may have lost
        // its middle, and the first bytes from here on may be a line's tail.
        link.ReportDiscarded(std::exchange(link.m_closedWithPort, {}));
    }
    // Once the device has gone away (a USB board unplugged) it is reported once,
    // and from then on only the shutdown and write requests are waited for.
    bool deviceGone = !link.m_port;
    bool pause = false;
    // A write request that found the read step busy is served before the port
    // is looked at again: the port's event would otherwise win every wait
    // while the board talks.
    bool writeFirst = false;
    int emptyCompletions = 0;
    bool listening = false;
    auto note = [&](Step step, const char* callName) {
        if (step == Step::kFailed) {
            pause = true;
        } else if (step == Step::kDeviceGone && !deviceGone) {
            deviceGone = true;
            link.ReportCommError(callName);
        }
    };

    for (;;) {
        platform::Waitable handles[3] = {
            link.m_stopEvent.waitable(), {}, link.m_writeEvent.waitable()};
        const bool pausing = pause;
        pause = false;
        const bool watchPort = !deviceGone && !pausing && !writeFirst;
        writeFirst = false;
        if (watchPort) {
            switch (link.m_port->StartEventWait()) {
                case platform::EventWaitStart::kCompleted: {
                    uint32_t count = 0;
                    const IoStatus status = link.m_port->InputQueue(count);
                    if (status != IoStatus::kOk) {
                        note(QueryOutcome(status), "ClearCommError()");
                        continue;
                    }
                    if (count == 0) {
                        // An event wait that keeps completing at once on an
                        // empty queue would otherwise never let the loop sleep.
                        pause = ++emptyCompletions > 1;
                        continue;
                    }
                    emptyCompletions = 0;
                    break;
                }
                case platform::EventWaitStart::kPending:
                    emptyCompletions = 0;
                    break;
                case platform::EventWaitStart::kFailed:
                    link.ReportCommError("WaitCommEvent()");
                    break;
            }
            handles[1] = link.m_port->waitable();
        }

        // The port is watched from here on: a board that speaks now is heard,
        // whichever way its driver tells of input.
        if (!listening) {
            listening = true;
            link.m_monitorListening.Set();
        }
        switch (platform::WaitAny(handles, pausing ? kFailurePauseMs : platform::kInfinite)) {
            case 0: {
                if (link.m_port) {
                    // Closing throws the unread input away; what it was tells
                    // the next monitor whether a line was cut here.
                    link.m_port->DropInput();
                    link.m_closedWithPort = link.m_port->TakeDiscarded();
                }
                link.m_port.reset();
                link.m_monitorAlive.store(0, std::memory_order_release);
                link.NoMoreTakes();
                link.m_monitorExitCode.store(kMonitorExitCode, std::memory_order_release);
                link.m_monitorEnded.Set();
                return kMonitorExitCode;
            }
            case 1: {
                uint32_t mask = 0;
                link.m_port->GetEventMask(mask);
                if ((mask & platform::kEvRxChar) != 0) {
                    note(ReceivePending(link), "ReadFile()");
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
                writeFirst = link.WriteWaiting();
                break;
            }
            case 2:
                note(WritePending(link, deviceGone), "WriteFile()");
                break;
            case platform::kWaitTimeout:
                break;  // the pause after a failure is over
            default:
                // The wait itself failed; pause so that a wait that keeps
                // failing cannot turn this loop into a spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                break;
        }
    }
}

}  // namespace plk
