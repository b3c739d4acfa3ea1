#include "support/private_machine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace plk::test {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kGreeting = "ready&ready&";

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::string LoopbackUp() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &request) == 0);
    const std::string why = ok ? "" : Errno("loopback up");
    if (s >= 0) {
        close(s);
    }
    return why;
}

}  // namespace

std::string PrivateMachine::SetUp(const std::string& boardPath) {
    if (geteuid() != 0) {
        return "needs root for a private mount and network namespace";
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        return Errno("unshare");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Errno("making / private");
    }
    if (std::string why = LoopbackUp(); !why.empty()) {
        return why;
    }
    char pattern[] = "/tmp/plinkor-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return Errno("mkdtemp");
    }
    scratch_ = pattern;
    if (mount("tmpfs", scratch_.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        return Errno("tmpfs");
    }
    const std::string pts = scratch_ + "/pts", upper = scratch_ + "/dev-upper",
                      work = scratch_ + "/dev-work";
    for (const std::string& dir : {pts, upper, work}) {
        fs::create_directory(dir);
    }
    // /dev: an overlay that adds ttyUSB31; the real devpts, hidden by the
    // overlay, is bound back so that the link resolves.
    if (mount("/dev/pts", pts.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return Errno("binding /dev/pts");
    }
    const std::string options = "lowerdir=/dev,upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0) {
        return Errno("overlay on /dev");
    }
    if (mount(pts.c_str(), "/dev/pts", nullptr, MS_MOVE, nullptr) != 0) {
        return Errno("moving devpts");
    }
    // /sys/class/tty: only the board's entry, shaped as a USB serial
    // adapter's (its device and driver links, its device number).
    const std::string device = scratch_ + "/sys-device", driver = scratch_ + "/usbserial";
    fs::create_directories(device);
    fs::create_directories(driver);
    fs::create_directory_symlink(driver, device + "/driver");
    if (mount("tmpfs", "/sys/class/tty", "tmpfs", 0, "mode=0755") != 0) {
        return Errno("tmpfs on /sys/class/tty");
    }
    fs::create_directory("/sys/class/tty/ttyUSB31");
    std::ofstream("/sys/class/tty/ttyUSB31/uevent") << "DEVNAME=ttyUSB31\n";
    fs::create_directory_symlink(device, "/sys/class/tty/ttyUSB31/device");
    Replug(boardPath);
    return {};
}

void PrivateMachine::Replug(const std::string& boardPath) const {
    std::error_code ignored;
    fs::remove(kMachineBoard, ignored);
    fs::create_symlink(boardPath, kMachineBoard);
    struct stat st {};
    stat(boardPath.c_str(), &st);
    std::ofstream("/sys/class/tty/ttyUSB31/dev")
        << major(st.st_rdev) << ":" << minor(st.st_rdev) << "\n";
}

PrivateMachine::~PrivateMachine() {
    if (!scratch_.empty()) {
        // The mounts vanish with the namespace; the folder under them is the host's.
        umount2("/sys/class/tty", MNT_DETACH);
        umount2("/dev", MNT_DETACH);
        umount2(scratch_.c_str(), MNT_DETACH);
        rmdir(scratch_.c_str());
    }
}

bool Program::Start(const std::string& path, const PrivateMachine& machine,
                    const Environment& overrides) {
    const std::string runtime = machine.scratch() + "/runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    Environment env{{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime}};
    env.insert(env.end(), overrides.begin(), overrides.end());
    log_ = machine.scratch() + "/plinkor.log";
    pid_ = fork();
    if (pid_ == 0) {
        const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        for (const auto& [name, value] : env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        execl(path.c_str(), "plinkor", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid_ > 0;
}

Program::~Program() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Program::Running() const {
    return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::pair<int, Clock::duration> Program::Stop(int signal) {
    const auto start = Clock::now();
    kill(pid_, signal);
    int status = -1;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() - start > milliseconds(10000)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    pid_ = -1;
    return {status, Clock::now() - start};
}

std::string Program::Output() const {
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fd;
}

sockaddr_in BridgeAddress() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(12345);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::optional<std::string> BridgeExchange(const std::string& request, int timeoutMs) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = BridgeAddress();
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return std::nullopt;
    }
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[1024];
    for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(s);
    return answer;
}

std::optional<std::string> WaitForBridge(int timeoutMs) {
    std::optional<std::string> policy;
    for (const auto until = Clock::now() + milliseconds(timeoutMs);
         !policy && Clock::now() < until;) {
        policy = BridgeExchange("GET /crossdomain.xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        if (!policy) {
            std::this_thread::sleep_for(milliseconds(50));
        }
    }
    return policy;
}

bool PortFree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return free;
}

Chatter LineRateStream() {
    // 115200 baud, 10 bits a byte.
    constexpr double kLineRate = 11520;
    return {std::chrono::microseconds(static_cast<long>(64 / kLineRate * 1e6)), StreamLine};
}

std::string StreamLine(int n) {
    char head[16];
    std::snprintf(head, sizeof head, "n%07d-", n % 10000000);
    std::string line = head;
    while (line.size() < 63) {
        // One "&" a line, which the bridge turns into a line feed.
        line += line.size() == 30 ? '&' : static_cast<char>('a' + (n + line.size()) % 26);
    }
    return line + "\n";
}

int StreamLineNumber(std::string_view body) {
    if (body.size() != 63 || body[0] != 'n') {
        return 0;
    }
    const int n = std::atoi(std::string(body.substr(1, 7)).c_str());
    std::string expected = StreamLine(n);
    expected.pop_back();
    std::replace(expected.begin(), expected.end(), '&', '\n');
    return n > 0 && body == expected ? n : 0;
}

SimBoard::SimBoard(const PtyBoard& board, int tickMs, bool answer)
    : SimBoard(board,
               tickMs > 0 ? Chatter{std::chrono::milliseconds(tickMs),
                                    [](int n) { return "tick&" + std::to_string(n) + "\n"; }}
                          : Chatter{},
               answer) {}

SimBoard::SimBoard(const PtyBoard& board, Chatter chatter, bool answer)
    : thread_([this, fd = board.masterFd(), chatter = std::move(chatter), answer] {
          Run(fd, chatter, answer);
      }) {}

SimBoard::~SimBoard() {
    stop_.store(true, std::memory_order_relaxed);
    thread_.join();
}

void SimBoard::Run(int fd, const Chatter& chatter, bool answer) {
    std::string pending;
    const bool chatty = chatter.period.count() > 0;
    auto nextLine = Clock::now() + chatter.period;
    // A short line fits the pseudo-terminal's queue whole; a board whose
    // reader is gone just loses it.
    const auto say = [fd](const std::string& line) {
        return write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    };
    int numbered = 0;
    while (!stop_.load(std::memory_order_relaxed)) {
        const int waitMs =
            chatty ? static_cast<int>(std::clamp<long>(
                         std::chrono::ceil<milliseconds>(nextLine - Clock::now()).count(), 0, 10))
                   : 10;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN) == 0) {
            // Hung up: nobody has the port open right now.
            std::this_thread::sleep_for(milliseconds(10));
        } else if ((p.revents & POLLIN) != 0) {
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                const std::string bytes(buffer, static_cast<std::size_t>(n));
                {
                    const std::lock_guard guard(lock_);
                    received_ += bytes;
                }
                changed_.notify_all();
                pending += bytes;
                for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    while (line.starts_with(kGreeting)) {
                        line.erase(0, std::strlen(kGreeting));
                    }
                    if (answer) {
                        say("ok&" + (line.starts_with('/') ? line.substr(1) : line) + "\n");
                    }
                }
            } else {
                // No reader on the other end right now (the port is closed).
                std::this_thread::sleep_for(milliseconds(10));
            }
        }
        for (; chatty && Clock::now() >= nextLine; nextLine += chatter.period) {
            if (say(chatter.line(++numbered))) {
                printed_.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
}

std::string SimBoard::Received() const {
    const std::lock_guard guard(lock_);
    return received_;
}

std::vector<std::string> SimBoard::Lines() const {
    std::vector<std::string> lines;
    std::string text = Received();
    for (std::size_t end; (end = text.find('\n')) != std::string::npos;) {
        std::string line = text.substr(0, end);
        text.erase(0, end + 1);
        while (line.starts_with(kGreeting)) {
            line.erase(0, std::strlen(kGreeting));
        }
        lines.push_back(line);
    }
    return lines;
}

bool SimBoard::WaitLines(std::size_t count, int timeoutMs) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, milliseconds(timeoutMs), [&] {
        return static_cast<std::size_t>(std::count(received_.begin(), received_.end(), '\n')) >=
               count;
    });
}

}  // namespace plk::test
