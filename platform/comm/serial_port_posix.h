// The serial device on a POSIX system, by path.
#pragma once

#include <memory>
#include <string>

#include "platform/comm/serial_port.h"

namespace plk::platform {

// Opens the tty at `path` for exclusive use, raw and non-blocking. Null, with
// the last error set, when it is missing, not a tty, or held by another program.
std::unique_ptr<SerialPort> OpenTty(const std::string& path);

}  // namespace plk::platform
