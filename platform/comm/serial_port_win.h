// The Win32 calls the serial port makes on an open device, behind one seam, so
// that tests can make a device fail or hang the way real drivers do (a USB
// adapter pulled out, a driver that never finishes a cancelled request). The
// program itself only ever uses the system's calls, through OpenSerialPort.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/comm/serial_port.h"
#include "platform/sys/win32.h"

namespace plk::platform {

// Each member makes the system call of the same name; a double overrides the
// ones it needs. Called from the port's owner and from its queue watcher
// thread at once, so an override must be thread-safe.
class CommCalls {
public:
    virtual ~CommCalls() = default;
    virtual BOOL WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* overlapped);
    virtual BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status);
    virtual BOOL ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* count,
                          OVERLAPPED* overlapped);
    virtual BOOL WriteFile(HANDLE port, const void* buffer, DWORD length, DWORD* count,
                           OVERLAPPED* overlapped);
    virtual BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* count, BOOL wait);
    virtual BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped);
    virtual BOOL PurgeComm(HANDLE port, DWORD flags);
    virtual BOOL SetCommMask(HANDLE port, DWORD mask);
    virtual BOOL GetCommMask(HANDLE port, DWORD* mask);
};

// OpenSerialPort, with every call on the open device made through `calls`.
std::unique_ptr<SerialPort> OpenSerialPortThrough(int portNumber, std::shared_ptr<CommCalls> calls);

// Requests that a driver did not end within the bound after they were
// cancelled, kept alive for the rest of the process since it may still
// write into them.
std::size_t RetainedRequestCount();

}  // namespace plk::platform
