// A port's line settings as a Linux tty holds them: pure translations both ways,
// apart from any device.
#pragma once

#include <termios.h>

#include <optional>

#include "platform/comm/serial_port.h"

namespace plk::platform {

// Lays `settings` over `t` as raw bytes both ways: no echo, no line editing, no
// translation, reads that never block in the driver. False, with the last error
// set and `t` partly changed, for a baud rate the system has no code for.
bool ToTermios(const LineSettings& settings, termios& t);

// Reads `t` into `settings`: the baud rate (0 for a code of no known rate), data
// bits, parity, stop bits and flow control. `modemLines` (TIOCM_* bits) gives
// the RTS and DTR controls; without it they keep their values.
void FromTermios(const termios& t, std::optional<int> modemLines, LineSettings& settings);

}  // namespace plk::platform
