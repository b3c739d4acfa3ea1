#include "support/pty_board.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/comm/tty_names_linux.h"
#include "platform/sys/deadline.h"

namespace plk::test {

namespace fs = std::filesystem;

FakeDevRoot::FakeDevRoot() {
    std::string pattern = (fs::temp_directory_path() / "plinkor-dev-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

FakeDevRoot::~FakeDevRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

platform::SerialPortOpener FakeDevRoot::Opener() const {
    return platform::TtyPortOpener(path_);
}

void FakeDevRoot::Link(const std::string& name, const std::string& target) const {
    Unlink(name);
    fs::create_symlink(target, fs::path(path_) / name);
}

void FakeDevRoot::Unlink(const std::string& name) const {
    std::error_code ignored;
    fs::remove(fs::path(path_) / name, ignored);
}

PtyBoard::PtyBoard() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    slavePath_ = name;
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyBoard::~PtyBoard() {
    HangUp();
}

void PtyBoard::HangUp() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}

void PtyBoard::Send(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("board write failed");
        } else {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

std::string PtyBoard::Receive(std::size_t count, int timeoutMs) const {
    const platform::Deadline deadline(timeoutMs);
    std::string out;
    while (out.size() < count && !deadline.Expired()) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, deadline.RemainingMs()) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // No slave open right now (the link closed the port): wait a little.
            poll(nullptr, 0, 5);
        }
    }
    return out;
}

std::string PtyBoard::Drain(int quietMs) const {
    std::string out;
    for (;;) {
        std::string more = Receive(1 << 16, quietMs);
        if (more.empty()) {
            return out;
        }
        out += more;
    }
}

BoardFlood::BoardFlood(const PtyBoard& board, std::string chunk) {
    std::string block;
    while (block.size() < 4096) {
        block += chunk;
    }
    const int fd = board.masterFd();
    thread_ = std::thread([this, fd, block] {
        while (!stop_.load(std::memory_order_relaxed)) {
            if (write(fd, block.data(), block.size()) < 0) {
                // Full (or no reader right now): wait for room, but look at the
                // stop flag often.
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 5);
            }
        }
    });
}

BoardFlood::~BoardFlood() {
    stop_.store(true, std::memory_order_relaxed);
    thread_.join();
}

}  // namespace plk::test
