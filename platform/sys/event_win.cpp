// Events on Windows: manual-reset kernel events, waited on together.
#include <cstdint>
#include <vector>

#include "platform/sys/event.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {

namespace {

HANDLE AsHandle(std::intptr_t native) {
    return reinterpret_cast<HANDLE>(native);
}

}  // namespace

Event::Event() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event != nullptr) {
        native_ = reinterpret_cast<std::intptr_t>(event);
    } else {
        SetLastError(static_cast<int>(::GetLastError()));
    }
}

Event::~Event() {
    if (valid()) {
        ::CloseHandle(AsHandle(native_));
    }
}

void Event::Set() {
    if (valid()) {
        ::SetEvent(AsHandle(native_));
    }
}

void Event::Reset() {
    if (valid()) {
        ::ResetEvent(AsHandle(native_));
    }
}

bool Event::IsSet() const {
    return valid() && ::WaitForSingleObject(AsHandle(native_), 0) == WAIT_OBJECT_0;
}

int WaitAny(std::span<const Waitable> objects, int timeoutMs) {
    // WaitForMultipleObjects takes no empty slots: absent objects are left out
    // and the result mapped back to the caller's index.
    std::vector<HANDLE> handles;
    std::vector<int> index;
    handles.reserve(objects.size());
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i].native != Waitable::kNone) {
            handles.push_back(AsHandle(objects[i].native));
            index.push_back(static_cast<int>(i));
        }
    }
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (handles.empty()) {
        ::Sleep(limit);  // nothing to wait for: only the limit can end it
        return kWaitTimeout;
    }
    if (handles.size() > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    // The lowest signalled index is what WaitForMultipleObjects reports.
    const DWORD result =
        ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, limit);
    if (result == WAIT_TIMEOUT) {
        return kWaitTimeout;
    }
    if (result < WAIT_OBJECT_0 + handles.size()) {
        return index[result - WAIT_OBJECT_0];
    }
    if (result == WAIT_FAILED) {
        SetLastError(static_cast<int>(::GetLastError()));
    } else {
        SetLastError(ERROR_INVALID_HANDLE);  // an abandoned mutex: none of ours
    }
    return kWaitFailed;
}

}  // namespace plk::platform
