#include "support/comm_calls_double_win.h"

namespace plk::test {

void CommCallsDouble::Unplug(Call first, DWORD code) {
    code_.store(code);
    gone_.store(false);
    first_.store(static_cast<int>(first));
}

void CommCallsDouble::PlugBackIn() {
    first_.store(kNone);
    gone_.store(false);
}

void CommCallsDouble::Hang(Call call) {
    hanging_.fetch_or(Bit(call));
}

bool CommCallsDouble::Fails(Call call) {
    if (first_.load() == static_cast<int>(call)) {
        gone_.store(true);
    }
    return Fails();
}

bool CommCallsDouble::Fails() {
    if (!gone_.load() || first_.load() == kNone) {
        return false;
    }
    ::SetLastError(code_.load());
    return true;
}

bool CommCallsDouble::Hangs(Call call, OVERLAPPED* overlapped) {
    if ((hanging_.load() & Bit(call)) == 0) {
        return false;
    }
    {
        std::lock_guard guard(lock_);
        hungRequests_.insert(overlapped);
    }
    // Started as the system starts a request: pending, its event reset.
    overlapped->Internal = STATUS_PENDING;
    ::ResetEvent(overlapped->hEvent);
    hung_[static_cast<int>(call)].Set();
    ::SetLastError(ERROR_IO_PENDING);
    return true;
}

BOOL CommCallsDouble::WaitCommEvent(HANDLE port, DWORD* events, OVERLAPPED* overlapped) {
    if (Fails(Call::kWaitCommEvent) || Hangs(Call::kWaitCommEvent, overlapped)) {
        return FALSE;
    }
    return CommCalls::WaitCommEvent(port, events, overlapped);
}

BOOL CommCallsDouble::ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) {
    return Fails(Call::kClearCommError) ? FALSE : CommCalls::ClearCommError(port, errors, status);
}

BOOL CommCallsDouble::ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* count,
                               OVERLAPPED* overlapped) {
    return Fails(Call::kReadFile) ? FALSE
                                  : CommCalls::ReadFile(port, buffer, length, count, overlapped);
}

BOOL CommCallsDouble::WriteFile(HANDLE port, const void* buffer, DWORD length, DWORD* count,
                                OVERLAPPED* overlapped) {
    if (Fails(Call::kWriteFile) || Hangs(Call::kWriteFile, overlapped)) {
        return FALSE;
    }
    return CommCalls::WriteFile(port, buffer, length, count, overlapped);
}

BOOL CommCallsDouble::CancelIoEx(HANDLE port, OVERLAPPED* overlapped) {
    {
        std::lock_guard guard(lock_);
        if (hungRequests_.count(overlapped) != 0 && overlapped->Internal == STATUS_PENDING) {
            return TRUE;  // accepted, and never acted on
        }
    }
    return CommCalls::CancelIoEx(port, overlapped);
}

BOOL CommCallsDouble::PurgeComm(HANDLE port, DWORD flags) {
    return Fails() ? FALSE : CommCalls::PurgeComm(port, flags);
}

BOOL CommCallsDouble::SetCommMask(HANDLE port, DWORD mask) {
    return Fails() ? FALSE : CommCalls::SetCommMask(port, mask);
}

BOOL CommCallsDouble::GetCommMask(HANDLE port, DWORD* mask) {
    return Fails() ? FALSE : CommCalls::GetCommMask(port, mask);
}

}  // namespace plk::test
