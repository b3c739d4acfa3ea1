// Serial devices on POSIX: a tty opened exclusively, configured raw through
// termios, polled for input.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/port_scheme.h"
#include "platform/serial_port.h"
#include "platform/sys_error.h"

namespace plk::platform {

namespace {

using Clock = std::chrono::steady_clock;

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

bool IsGoneError(int code) {
    return code == EIO || code == ENXIO || code == ENODEV;
}

// Milliseconds left until `deadline`, at least 0.
int Remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class PosixSerialPort final : public SerialPort {
public:
    explicit PosixSerialPort(int fd) : fd_(fd) {}
    ~PosixSerialPort() override {
        ioctl(fd_, TIOCNXCL);
        close(fd_);
    }

    bool SetTimeouts(const CommTimeouts& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }

    // A tty reports no event mask of its own; the one set is the one in force.
    bool SetEventMask(uint32_t mask) override {
        mask_ = mask;
        return true;
    }
    bool GetEventMask(uint32_t& mask) override {
        mask = mask_;
        return true;
    }

    bool GetLineSettings(LineSettings& s) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) {
            SetLastError(errno);
            return false;
        }
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
        // Modem lines: a pseudo-terminal has none, which is not an error.
        int lines = 0;
        if (ioctl(fd_, TIOCMGET, &lines) == 0) {
            s.rtsControl = (t.c_cflag & CRTSCTS) != 0 ? RtsControl::kHandshake
                           : (lines & TIOCM_RTS) != 0 ? RtsControl::kEnable
                                                      : RtsControl::kDisable;
            s.dtrControl = (lines & TIOCM_DTR) != 0 ? DtrControl::kEnable : DtrControl::kDisable;
        }
        return true;
    }

    bool SetLineSettings(const LineSettings& s) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) {
            SetLastError(errno);
            return false;
        }
        speed_t speed = 0;
        bool known = false;
        for (const BaudEntry& entry : kBaudRates) {
            if (entry.rate == s.baudRate) {
                speed = entry.code;
                known = true;
            }
        }
        if (!known) {
            SetLastError(EINVAL);
            return false;
        }
        // Raw bytes both ways: no echo, no line editing, no translation.
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
        // Reads never block in the driver: the link polls and reads only what waits.
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0 ||
            tcsetattr(fd_, TCSANOW, &t) != 0) {
            SetLastError(errno);
            return false;
        }
        // A pseudo-terminal refuses the modem-line requests; that is not fatal.
        const int rts = TIOCM_RTS;
        const int dtr = TIOCM_DTR;
        ioctl(fd_, s.rtsControl == RtsControl::kDisable ? TIOCMBIC : TIOCMBIS, &rts);
        ioctl(fd_, s.dtrControl == DtrControl::kDisable ? TIOCMBIC : TIOCMBIS, &dtr);
        return true;
    }

    bool Purge() override {
        if (tcflush(fd_, TCIOFLUSH) != 0) {
            SetLastError(errno);
            return false;
        }
        return true;
    }

    bool DrainThenPurge() override {
        // Flushing the output side of a pseudo-terminal throws away what its
        // master has not read yet, and on a UART what has not been clocked out:
        // so wait for the output to go, and flush it only when it will not.
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(timeouts_.writeTotalTimeoutConstant);
        bool drained = false;
        for (;;) {
            int pending = 0;
            if (ioctl(fd_, TIOCOUTQ, &pending) != 0 || pending <= 0) {
                drained = true;
                break;
            }
            if (Clock::now() >= deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (tcflush(fd_, drained ? TCIFLUSH : TCIOFLUSH) != 0) {
            SetLastError(errno);
        }
        return drained;
    }

    EventWaitStart StartEventWait() override { return EventWaitStart::kPending; }
    // The descriptor stays readable while input waits, so a mask that reads
    // nothing must not wait on it, or the monitor would never sleep.
    Waitable waitable() const override {
        return (mask_ & (kEvRxChar | kEvRxFlag)) != 0 ? Waitable{fd_} : Waitable{};
    }

    IoStatus InputQueue(uint32_t& count) override {
        int waiting = 0;
        if (ioctl(fd_, TIOCINQ, &waiting) != 0) {
            SetLastError(errno);
            return IsGoneError(errno) ? IoStatus::kGone : IoStatus::kFailed;
        }
        count = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
        if (count == 0 && HungUp()) {
            SetLastError(EIO);
            return IoStatus::kGone;
        }
        return IoStatus::kOk;
    }

    IoStatus ReadByte(uint8_t& byte) override {
        const auto deadline =
            Clock::now() + std::chrono::milliseconds(timeouts_.readTotalTimeoutConstant +
                                                     timeouts_.readTotalTimeoutMultiplier);
        for (;;) {
            const ssize_t n = read(fd_, &byte, 1);
            if (n == 1) {
                return IoStatus::kOk;
            }
            if (n == 0) {
                SetLastError(EIO);  // end of file: the other side hung up
                return IoStatus::kGone;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                SetLastError(errno);
                return IsGoneError(errno) ? IoStatus::kGone : IoStatus::kFailed;
            }
            if (!WaitFor(POLLIN, deadline)) {
                return IoStatus::kFailedAfterWait;
            }
        }
    }

    IoStatus Write(const uint8_t* data, std::size_t length) override {
        const auto deadline =
            Clock::now() +
            std::chrono::milliseconds(timeouts_.writeTotalTimeoutConstant +
                                      uint64_t{timeouts_.writeTotalTimeoutMultiplier} * length);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = write(fd_, data + done, length - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                SetLastError(errno);
                return IsGoneError(errno) ? IoStatus::kGone : IoStatus::kFailed;
            }
            if (!WaitFor(POLLOUT, deadline)) {
                return IoStatus::kFailedAfterWait;
            }
        }
        return IoStatus::kOk;
    }

private:
    bool HungUp() const {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    // False, with the last error set, when the deadline passed first.
    bool WaitFor(short events, Clock::time_point deadline) {
        for (;;) {
            pollfd p{fd_, events, 0};
            const int n = poll(&p, 1, Remaining(deadline));
            if (n > 0) {
                return true;
            }
            if (n == 0) {
                SetLastError(ETIMEDOUT);
                return false;
            }
            if (errno != EINTR) {
                SetLastError(errno);
                return false;
            }
        }
    }

    int fd_;
    uint32_t mask_ = 0;
    CommTimeouts timeouts_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(int portNumber) {
    const auto name = DeviceNameForPort(portNumber);
    if (!name) {
        SetLastError(ENOENT);
        return nullptr;
    }
    const std::string path = DefaultSystemPaths().devRoot + "/" + *name;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno);
        return nullptr;
    }
    // Held by another program: refuse, as an unshared open does on Windows. The
    // lock covers cooperating programs, TIOCEXCL the rest (but root).
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        SetLastError(errno == EWOULDBLOCK ? EBUSY : errno);
        close(fd);
        return nullptr;
    }
    return std::make_unique<PosixSerialPort>(fd);
}

}  // namespace plk::platform
