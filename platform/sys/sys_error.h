// The calling thread's last system error, and the system's text for a code.
#pragma once

#include <string>

namespace plk::platform {

// Platform calls of this layer record their failure here (errno on POSIX,
// GetLastError on Windows), per thread, like the Windows "last error".
int LastError();
void SetLastError(int code);

// The few failures portable code reports itself. Each is stored as the system's
// own code for it, so ErrorText gives the system's words on every platform.
enum class SysErrc {
    kInvalidArgument,
    kNotFound,
    kBusy,
    kTimedOut,
    kDeviceGone,
};
void SetLastError(SysErrc code);
// The system's code for `code`.
int NativeError(SysErrc code);

// The system's description of `code`, without a trailing line break. Where the
// system has no text for the code, its number.
std::string ErrorText(int code);

}  // namespace plk::platform
