// CMSPAR (mark and space parity) and the rates above 460800 are Linux's.
#include "platform/comm/termios_settings_linux.h"

#include <sys/ioctl.h>

#include <cerrno>

#include "platform/sys/sys_error.h"

namespace plk::platform {

namespace {

struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

constexpr BaudEntry kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {2000000, B2000000},
};

}  // namespace

void FromTermios(const termios& t, std::optional<int> modemLines, LineSettings& s) {
    s.baudRate = 0;
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.code == cfgetospeed(&t)) {
            s.baudRate = entry.rate;
        }
    }
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.dataBits = 5;
            break;
        case CS6:
            s.dataBits = 6;
            break;
        case CS7:
            s.dataBits = 7;
            break;
        default:
            s.dataBits = 8;
            break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        s.parity = 'N';
    } else if ((t.c_cflag & CMSPAR) != 0) {
        s.parity = (t.c_cflag & PARODD) != 0 ? 'M' : 'S';
    } else {
        s.parity = (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
    }
    s.stopBits = (t.c_cflag & CSTOPB) != 0
                     ? (s.dataBits == 5 ? StopBits::kOneAndHalf : StopBits::kTwo)
                     : StopBits::kOne;
    s.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    s.outX = (t.c_iflag & IXON) != 0;
    s.inX = (t.c_iflag & IXOFF) != 0;
    if (modemLines) {
        const int lines = *modemLines;
        s.rtsControl = (t.c_cflag & CRTSCTS) != 0 ? RtsControl::kHandshake
                       : (lines & TIOCM_RTS) != 0 ? RtsControl::kEnable
                                                  : RtsControl::kDisable;
        s.dtrControl = (lines & TIOCM_DTR) != 0 ? DtrControl::kEnable : DtrControl::kDisable;
    }
}

bool ToTermios(const LineSettings& s, termios& t) {
    speed_t speed = 0;
    bool known = false;
    for (const BaudEntry& entry : kBaudRates) {
        if (entry.rate == s.baudRate) {
            speed = entry.code;
            known = true;
        }
    }
    if (!known) {
        SetLastError(SysErrc::kInvalidArgument);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= s.dataBits == 5 ? CS5 : s.dataBits == 6 ? CS6 : s.dataBits == 7 ? CS7 : CS8;
    switch (s.parity) {
        case 'O':
            t.c_cflag |= PARENB | PARODD;
            break;
        case 'E':
            t.c_cflag |= PARENB;
            break;
        case 'M':
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 'S':
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // 1.5 stop bits exist only with 5 data bits, which CSTOPB gives there.
    if (s.stopBits != StopBits::kOne) {
        t.c_cflag |= CSTOPB;
    }
    if (s.outxCtsFlow || s.rtsControl == RtsControl::kHandshake) {
        t.c_cflag |= CRTSCTS;
    }
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (s.outX) {
        t.c_iflag |= IXON;
    }
    if (s.inX) {
        t.c_iflag |= IXOFF;
    }
    // The link polls and reads only what waits.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

}  // namespace plk::platform
