#include <cerrno>
#include <cstring>
#include <string>

#include "platform/sys/sys_error.h"

namespace plk::platform {

namespace {
thread_local int t_lastError = 0;
}

int LastError() {
    return t_lastError;
}
void SetLastError(int code) {
    t_lastError = code;
}

int NativeError(SysErrc code) {
    switch (code) {
        case SysErrc::kInvalidArgument:
            return EINVAL;
        case SysErrc::kNotFound:
            return ENOENT;
        case SysErrc::kBusy:
            return EBUSY;
        case SysErrc::kTimedOut:
            return ETIMEDOUT;
        case SysErrc::kDeviceGone:
            return EIO;
    }
    return EINVAL;
}

void SetLastError(SysErrc code) {
    t_lastError = NativeError(code);
}

std::string ErrorText(int code) {
    // strerrordesc_np tells an unknown code apart (null) instead of making up
    // "Unknown error N".
    const char* text = strerrordesc_np(code);
    if (text == nullptr) {
        return "error " + std::to_string(code);
    }
    return text;
}

}  // namespace plk::platform
