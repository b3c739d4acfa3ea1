// Error codes and texts on Windows. The platform files record each failure's
// GetLastError code here as soon as the call fails: the thread's own slot is
// not safe to read later, since locks and the runtime make Win32 calls of
// their own in between.
#include <string>

#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"

namespace plk::platform {

namespace {
thread_local int t_lastError = 0;
}

int LastError() {
    return t_lastError;
}

void SetLastError(int code) {
    t_lastError = code;
    ::SetLastError(static_cast<DWORD>(code));
}

int NativeError(SysErrc code) {
    switch (code) {
        case SysErrc::kInvalidArgument:
            return ERROR_INVALID_PARAMETER;
        case SysErrc::kNotFound:
            return ERROR_FILE_NOT_FOUND;
        case SysErrc::kBusy:
            return ERROR_ACCESS_DENIED;  // what an unshared open of a held port says
        case SysErrc::kTimedOut:
            return ERROR_TIMEOUT;
        case SysErrc::kDeviceGone:
            return ERROR_DEVICE_REMOVED;
    }
    return ERROR_INVALID_PARAMETER;
}

void SetLastError(SysErrc code) {
    SetLastError(NativeError(code));
}

std::string ErrorText(int code) {
    wchar_t* wide = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&wide), 0, nullptr);
    std::string text;
    if (length != 0 && wide != nullptr) {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr,
                                                0, nullptr, nullptr);
        if (bytes > 0) {
            text.resize(static_cast<std::size_t>(bytes));
            ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text.data(), bytes,
                                  nullptr, nullptr);
        }
    }
    if (wide != nullptr) {
        ::LocalFree(wide);
    }
    // The system's texts end in a line break (and some in a full stop before it).
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) {
        return "error " + std::to_string(code);
    }
    return text;
}

}  // namespace plk::platform
