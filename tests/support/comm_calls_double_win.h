// The Win32 comm calls of a real port, made to fail or hang on demand the way
// drivers do when a USB adapter is pulled out: a way to drive the real port,
// link and monitor under Wine into states a pseudo-terminal never reaches.
#pragma once

#include <atomic>
#include <mutex>
#include <set>

#include "platform/comm/serial_port_win.h"
#include "platform/sys/event.h"

namespace plk::test {

class CommCallsDouble final : public platform::CommCalls {
public:
    enum class Call { kWaitCommEvent, kClearCommError, kReadFile, kWriteFile };

    // The device goes: the next `first` call fails with `code`, and from then
    // on every call on the device does (cancelling and collecting results
    // still reach the system, for the requests it really holds).
    void Unplug(Call first, DWORD code);
    // The device is back: calls reach the system again.
    void PlugBackIn();
    // From now on each `call` (kWaitCommEvent or kWriteFile) starts a request
    // that never ends, not even when cancelled or its port closed.
    void Hang(Call call);
    // Set once a `call` request has been left hanging.
    const platform::Event& Hung(Call call) const { return hung_[static_cast<int>(call)]; }

    BOOL WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* overlapped) override;
    BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) override;
    BOOL ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* count,
                  OVERLAPPED* overlapped) override;
    BOOL WriteFile(HANDLE port, const void* buffer, DWORD length, DWORD* count,
                   OVERLAPPED* overlapped) override;
    BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped) override;
    BOOL PurgeComm(HANDLE port, DWORD flags) override;
    BOOL SetCommMask(HANDLE port, DWORD mask) override;
    BOOL GetCommMask(HANDLE port, DWORD* mask) override;

private:
    static constexpr int kNone = -1;
    static int Bit(Call call) { return 1 << static_cast<int>(call); }
    // True, with the code set as the last error, when `call` is to fail.
    bool Fails(Call call);
    bool Fails();
    // True when `call` is to hang: `overlapped` is left pending for good.
    bool Hangs(Call call, OVERLAPPED* overlapped);

    std::atomic<int> first_{kNone};
    std::atomic<DWORD> code_{0};
    std::atomic<bool> gone_{false};
    std::atomic<int> hanging_{0};
    std::mutex lock_;
    std::set<const OVERLAPPED*> hungRequests_;
    platform::Event hung_[4];
};

}  // namespace plk::test
