// What the system's own reader of a port definition text (BuildCommDCB) does
// to the settings it is applied to, recorded from Wine 8.0. The Windows build
// checks these rows against the real call, both builds against our reader.
// Then what the link's open leaves on a port, which both builds check on a
// pseudo-terminal opened as the program opens its port.
#pragma once

#include "platform/comm/serial_port.h"

namespace plk::test {

struct LineDefinitionCase {
    const char* text;
    // Before: the modem-line controls, and every flow-control flag (XON/XOFF
    // both ways, CTS and DSR output flow) on or off together. Two stop bits.
    platform::RtsControl rtsBefore;
    platform::DtrControl dtrBefore;
    bool flowBefore;
    // After.
    platform::RtsControl rts;
    platform::DtrControl dtr;
    bool xon;      // outX and inX
    bool ctsFlow;  // outxCtsFlow
    platform::StopBits stop;
};

using platform::DtrControl;
using platform::RtsControl;
using platform::StopBits;

// The program's own text comes first: RTS control disabled beforehand stays
// disabled, whatever the other controls were.
inline constexpr LineDefinitionCase kLineDefinitionCases[] = {
    {"baud=115200 parity=N data=8 stop=1", RtsControl::kDisable, DtrControl::kEnable, false,
     RtsControl::kDisable, DtrControl::kEnable, false, false, StopBits::kOne},
    {"baud=115200 parity=N data=8 stop=1", RtsControl::kDisable, DtrControl::kDisable, true,
     RtsControl::kDisable, DtrControl::kDisable, true, true, StopBits::kOne},
    {"baud=115200 parity=N data=8 stop=1", RtsControl::kHandshake, DtrControl::kHandshake, false,
     RtsControl::kHandshake, DtrControl::kHandshake, false, false, StopBits::kOne},
    {"baud=115200 parity=N data=8 stop=1", RtsControl::kToggle, DtrControl::kEnable, true,
     RtsControl::kToggle, DtrControl::kEnable, true, true, StopBits::kOne},
    // The keyed form changes a control only when it names it.
    {"baud=115200 parity=N data=8 stop=1 rts=on dtr=off", RtsControl::kDisable, DtrControl::kEnable,
     false, RtsControl::kEnable, DtrControl::kDisable, false, false, StopBits::kOne},
    {"baud=9600 rts=off", RtsControl::kToggle, DtrControl::kHandshake, true, RtsControl::kDisable,
     DtrControl::kHandshake, true, true, StopBits::kOne},
    {"baud=9600 xon=off", RtsControl::kEnable, DtrControl::kEnable, true, RtsControl::kEnable,
     DtrControl::kEnable, false, true, StopBits::kOne},
    {"baud=9600 xon=on octs=on", RtsControl::kDisable, DtrControl::kDisable, false,
     RtsControl::kDisable, DtrControl::kDisable, true, true, StopBits::kOne},
    // Stop bits left out are one, or two at 110 baud.
    {"baud=110 parity=N data=8", RtsControl::kDisable, DtrControl::kEnable, false,
     RtsControl::kDisable, DtrControl::kEnable, false, false, StopBits::kTwo},
    {"baud=9600 parity=E data=7 stop=1.5", RtsControl::kDisable, DtrControl::kEnable, false,
     RtsControl::kDisable, DtrControl::kEnable, false, false, StopBits::kOneAndHalf},
    // The older comma form sets both controls and the flow control every time.
    {"115200,n,8,1", RtsControl::kDisable, DtrControl::kDisable, true, RtsControl::kEnable,
     DtrControl::kEnable, false, false, StopBits::kOne},
    {"9600,n,8,1,x", RtsControl::kToggle, DtrControl::kHandshake, false, RtsControl::kEnable,
     DtrControl::kEnable, true, false, StopBits::kOne},
    {"9600,n,8,1,p", RtsControl::kDisable, DtrControl::kDisable, false, RtsControl::kHandshake,
     DtrControl::kHandshake, false, true, StopBits::kOne},
};

// Each row is a state another program may have left on a port. After the
// program's open, whichever it was, there is no flow control of any kind and no
// abort on a line error, RTS control is disabled, and DTR control is the row's
// (some boards reset on DTR).
struct PortStateCase {
    const char* state;
    bool xon;      // outX and inX
    bool ctsFlow;  // outxCtsFlow
    bool dsrFlow;  // outxDsrFlow
    bool dsrSensitivity;
    bool abortOnError;
    platform::DtrControl dtr;

    // The row's state, as the device reports it.
    void LayOver(platform::LineSettings& s) const {
        s.outX = s.inX = xon;
        s.outxCtsFlow = ctsFlow;
        s.outxDsrFlow = dsrFlow;
        s.dsrSensitivity = dsrSensitivity;
        s.abortOnError = abortOnError;
        s.dtrControl = dtr;
    }
};

inline constexpr PortStateCase kPortStateCases[] = {
    {"nothing set", false, false, false, false, false, DtrControl::kEnable},
    {"xon/xoff", true, false, false, false, false, DtrControl::kEnable},
    {"cts flow", false, true, false, false, false, DtrControl::kEnable},
    {"dsr flow and sensitivity", false, false, true, true, false, DtrControl::kEnable},
    {"abort on error", false, false, false, false, true, DtrControl::kEnable},
    {"everything, dtr off", true, true, true, true, true, DtrControl::kDisable},
    {"nothing set, dtr off", false, false, false, false, false, DtrControl::kDisable},
};

}  // namespace plk::test
