// Serial devices on POSIX: a tty opened exclusively, configured raw through
// termios (termios_settings_linux.h), polled for input.
#include "platform/comm/serial_port_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "platform/comm/termios_settings_linux.h"
#include "platform/sys/deadline.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {

namespace {

// How often the wait for earlier output looks at the driver's output queue.
constexpr int kDrainPollMs = 2;

bool IsGoneError(int code) {
    return code == EIO || code == ENXIO || code == ENODEV;
}

class PosixSerialPort final : public SerialPort {
public:
    explicit PosixSerialPort(int fd) : fd_(fd) { alwaysReady_.Set(); }
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
        // Modem lines: a pseudo-terminal has none, which is not an error.
        int lines = 0;
        FromTermios(t, ioctl(fd_, TIOCMGET, &lines) == 0 ? std::optional(lines) : std::nullopt, s);
        return true;
    }

    bool SetLineSettings(const LineSettings& s) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) {
            SetLastError(errno);
            return false;
        }
        if (!ToTermios(s, t)) {
            return false;
        }
        if (tcsetattr(fd_, TCSANOW, &t) != 0) {
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
        const bool read = ReadAwayInput();
        if (tcflush(fd_, TCOFLUSH) != 0) {
            SetLastError(errno);
            return false;
        }
        return read;
    }

    bool DrainThenPurge(Waitable stop) override {
        // Flushing the output side of a pseudo-terminal throws away what its
        // master has not read yet, and on a UART what has not been clocked out:
        // so wait for the output to go, and flush it only when it will not.
        const Deadline deadline(timeouts_.writeTotalTimeoutConstant);
        bool drained = false;
        for (;;) {
            int pending = 0;
            if (ioctl(fd_, TIOCOUTQ, &pending) != 0 || pending <= 0) {
                drained = true;
                break;
            }
            // The driver does not tell when its output queue empties: look again
            // shortly, but never past the deadline or a stop.
            const Waitable stopOnly[] = {stop};
            if (deadline.Expired() || WaitAny(stopOnly, kDrainPollMs) == 0) {
                break;
            }
        }
        ReadAwayInput();
        if (!drained && tcflush(fd_, TCOFLUSH) != 0) {
            SetLastError(errno);
        }
        return drained;
    }

    bool DropInput() override { return ReadAwayInput(); }
    DiscardedInput TakeDiscarded() override { return std::exchange(discarded_, {}); }

    EventWaitStart StartEventWait() override { return EventWaitStart::kPending; }
    // The descriptor stays readable while input waits, so a mask that reads
    // nothing must not wait on it, or the monitor would never sleep. Bytes
    // already taken from the driver count as input waiting.
    Waitable waitable() const override {
        if ((mask_ & (kEvRxChar | kEvRxFlag)) == 0) {
            return Waitable{};
        }
        return taken_ != 0 ? alwaysReady_.waitable() : Waitable{fd_};
    }

    // Input is taken from the driver as much at a time as it holds, and handed
    // out a byte per call from there: the byte-wise reads then cost no system
    // call each. The input queue is those bytes first, then the driver's.
    IoStatus InputQueue(uint32_t& count) override {
        if (taken_ != 0) {
            count = static_cast<uint32_t>(taken_);
            return IoStatus::kOk;
        }
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
        if (taken_ != 0) {
            byte = in_[next_++];
            --taken_;
            return IoStatus::kOk;
        }
        const Deadline deadline(std::int64_t{timeouts_.readTotalTimeoutConstant} +
                                timeouts_.readTotalTimeoutMultiplier);
        for (;;) {
            const ssize_t n = read(fd_, in_.data(), in_.size());
            if (n > 0) {
                byte = in_[0];
                next_ = 1;
                taken_ = static_cast<std::size_t>(n) - 1;
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
            if (WaitFor(POLLIN, deadline, Waitable{}) != Wait::kReady) {
                return IoStatus::kFailedAfterWait;
            }
        }
    }

    IoStatus Write(const uint8_t* data, std::size_t length, Waitable stop) override {
        const Deadline deadline(
            static_cast<std::int64_t>(timeouts_.writeTotalTimeoutConstant +
                                      uint64_t{timeouts_.writeTotalTimeoutMultiplier} * length));
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
            switch (WaitFor(POLLOUT, deadline, stop)) {
                case Wait::kReady:
                    break;
                case Wait::kTimedOut:
                    return IoStatus::kFailedAfterWait;
                case Wait::kStopped:
                    // Dropped, so that the close that follows has nothing to
                    // wait for either.
                    tcflush(fd_, TCOFLUSH);
                    return IoStatus::kStopped;
            }
        }
        return IoStatus::kOk;
    }

private:
    // Empties the input queue: the bytes taken from the driver and not handed
    // out, then what the driver holds now. They are read rather than flushed,
    // so that what went is known; what arrives meanwhile stays for the next
    // read, as it would after a flush. False when the driver could not be read.
    bool ReadAwayInput() {
        discarded_.Add(in_.data() + next_, taken_);
        taken_ = 0;
        int waiting = 0;
        if (ioctl(fd_, TIOCINQ, &waiting) != 0) {
            SetLastError(errno);
            return false;
        }
        for (std::size_t left = waiting > 0 ? static_cast<std::size_t>(waiting) : 0; left != 0;) {
            const ssize_t n = read(fd_, in_.data(), std::min(left, in_.size()));
            if (n > 0) {
                discarded_.Add(in_.data(), static_cast<std::size_t>(n));
                left -= std::min(left, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n < 0 && errno != EAGAIN) {
                    SetLastError(errno);
                    return false;
                }
                break;  // fewer than the driver said: nothing more to take
            }
        }
        return true;
    }

    bool HungUp() const {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    enum class Wait { kReady, kTimedOut, kStopped };

    // kTimedOut, with the last error set, when the deadline passed first (or the
    // wait failed); kStopped when `stop` was signalled first.
    Wait WaitFor(short events, const Deadline& deadline, Waitable stop) {
        for (;;) {
            pollfd p[2] = {{static_cast<int>(stop.native), POLLIN, 0}, {fd_, events, 0}};
            const bool watchStop = stop.native != Waitable::kNone;
            const int n = watchStop ? poll(p, 2, deadline.RemainingMs())
                                    : poll(&p[1], 1, deadline.RemainingMs());
            if (n > 0) {
                return watchStop && p[0].revents != 0 ? Wait::kStopped : Wait::kReady;
            }
            if (n == 0) {
                SetLastError(ETIMEDOUT);
                return Wait::kTimedOut;
            }
            if (errno != EINTR) {
                SetLastError(errno);
                return Wait::kTimedOut;
            }
        }
    }

    int fd_;
    uint32_t mask_ = 0;
    CommTimeouts timeouts_;
    // Input taken from the driver and not yet handed out: taken_ bytes from
    // in_[next_]. Like the port itself, used by one thread at a time.
    std::array<uint8_t, 4096> in_{};
    std::size_t next_ = 0;
    std::size_t taken_ = 0;
    DiscardedInput discarded_;
    Event alwaysReady_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenTty(const std::string& path) {
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
