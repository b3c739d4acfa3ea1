// The real plinkor program, black box, in a private mount and network
// namespace: a pseudo-terminal shown as /dev/ttyUSB31 (with its entry under
// /sys/class/tty) is the board, loopback sockets are the browser. The host's
// /dev and /sys are never touched: everything is mounted over them in the
// namespace only. Needs root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
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

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "support/pty_board.h"

namespace plk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTimeoutMs = 10000;
#if PLINKOR_SANITIZED
constexpr auto kExitBound = milliseconds(5000);  // the runtimes' own exit work
#else
constexpr auto kExitBound = milliseconds(1000);
#endif

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The namespace and the mounts; everything goes with the process.
class PrivateMachine {
public:
    // Empty on success, else why the machine could not be set up.
    std::string SetUp(const std::string& boardPath) {
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
        fs::create_symlink(boardPath, "/dev/ttyUSB31");
        // /sys/class/tty: only the board's entry, shaped as a USB serial
        // adapter's (its device and driver links, its device number).
        const std::string device = scratch_ + "/sys-device", driver = scratch_ + "/usbserial";
        fs::create_directories(device);
        fs::create_directories(driver);
        fs::create_directory_symlink(driver, device + "/driver");
        if (mount("tmpfs", "/sys/class/tty", "tmpfs", 0, "mode=0755") != 0) {
            return Errno("tmpfs on /sys/class/tty");
        }
        struct stat st {};
        stat(boardPath.c_str(), &st);
        fs::create_directory("/sys/class/tty/ttyUSB31");
        std::ofstream("/sys/class/tty/ttyUSB31/dev")
            << major(st.st_rdev) << ":" << minor(st.st_rdev) << "\n";
        std::ofstream("/sys/class/tty/ttyUSB31/uevent") << "DEVNAME=ttyUSB31\n";
        fs::create_directory_symlink(device, "/sys/class/tty/ttyUSB31/device");
        return {};
    }

    ~PrivateMachine() {
        if (!scratch_.empty()) {
            // The mounts vanish with the namespace; the folder under them is the host's.
            umount2("/sys/class/tty", MNT_DETACH);
            umount2("/dev", MNT_DETACH);
            umount2(scratch_.c_str(), MNT_DETACH);
            rmdir(scratch_.c_str());
        }
    }

    const std::string& scratch() const { return scratch_; }

private:
    static std::string LoopbackUp() {
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

    std::string scratch_;
};

// The program under test, its output kept in a file for failure reports.
class Program {
public:
    bool Start(const std::string& log,
               const std::vector<std::pair<std::string, std::string>>& env) {
        log_ = log;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            for (const auto& [name, value] : env) {
                setenv(name.c_str(), value.c_str(), 1);
            }
            execl(PLINKOR_PROGRAM, "plinkor", static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid_ > 0;
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    // Sends `signal` and waits for the end; the status, and how long it took.
    std::pair<int, Clock::duration> Stop(int signal) {
        const auto start = Clock::now();
        kill(pid_, signal);
        int status = -1;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() - start > milliseconds(kTimeoutMs)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        pid_ = -1;
        return {status, Clock::now() - start};
    }
    std::string Output() const {
        std::ifstream in(log_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    pid_t pid_ = -1;
    std::string log_;
};

// One HTTP exchange on 127.0.0.1:12345: the request, then everything until the
// server closes. Empty optional when no connection could be made.
std::optional<std::string> Exchange(const std::string& request) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(12345);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return std::nullopt;
    }
    timeval limit{kTimeoutMs / 1000, 0};
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

bool PortFree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return free;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = machine_.SetUp(board_.slavePath()); !why.empty()) {
            GTEST_SKIP() << "no private machine: " << why;
        }
    }
    // `overrides` win over the defaults.
    void StartProgram(const std::vector<std::pair<std::string, std::string>>& overrides = {}) {
        const std::string runtime = machine_.scratch() + "/runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        std::vector<std::pair<std::string, std::string>> env{{"QT_QPA_PLATFORM", "offscreen"},
                                                             {"XDG_RUNTIME_DIR", runtime}};
        env.insert(env.end(), overrides.begin(), overrides.end());
        ASSERT_TRUE(program_.Start(machine_.scratch() + "/plinkor.log", env));
    }

    test::PtyBoard board_;
    PrivateMachine machine_;
    Program program_;
};

TEST_F(EndToEnd, StartsAndEndsCleanlyOnTerminationSignals) {
    for (const int signal : {SIGTERM, SIGINT}) {
        StartProgram();
        std::this_thread::sleep_for(milliseconds(1500));  // up, window shown
        ASSERT_TRUE(program_.Running()) << program_.Output();
        const auto [status, took] = program_.Stop(signal);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "signal " << signal << ", status " << status << "\n"
            << program_.Output();
        EXPECT_LT(took, kExitBound);
        EXPECT_TRUE(PortFree("/dev/ttyUSB31"));
    }
}

TEST_F(EndToEnd, BridgesABrowserAndABoard) {
#if !PLINKOR_E2E_BRIDGE
    GTEST_SKIP() << "the port control and the bridge server are not in this build yet "
                    "(configure with -DPLINKOR_E2E_BRIDGE=ON once they are)";
#endif
    StartProgram();
    EXPECT_EQ(board_.Receive(12, kTimeoutMs), "ready&ready&") << program_.Output();

    std::optional<std::string> policy;
    for (const auto until = Clock::now() + milliseconds(kTimeoutMs);
         !policy && Clock::now() < until;) {
        policy = Exchange("GET /crossdomain.xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        if (!policy) {
            std::this_thread::sleep_for(milliseconds(50));
        }
    }
    ASSERT_TRUE(policy) << "nothing listens on 12345\n" << program_.Output();
    EXPECT_EQ(policy->size(), 187u) << *policy;
    EXPECT_NE(policy->find("<allow-access-from domain=\"*\" to-ports=\"*\"/>"), std::string::npos);

    EXPECT_EQ(Exchange("GET /abc HTTP/1.1\r\n\r\n"), std::string());  // no answer to a command
    EXPECT_EQ(board_.Receive(5, kTimeoutMs), "/abc\n");

    board_.Send("ok&done\n");
    std::string answer;
    for (const auto until = Clock::now() + milliseconds(kTimeoutMs);
         answer.empty() && Clock::now() < until;) {
        answer = Exchange("GET /poll HTTP/1.1\r\n\r\n").value_or("");  // empty until the line is in
    }
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\nok\ndone\r\n")) << answer;

    const auto [status, took] = program_.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n"
                                                               << program_.Output();
    EXPECT_LT(took, kExitBound);
    EXPECT_TRUE(PortFree("/dev/ttyUSB31"));
}

// A board printing in a loop keeps the monitor busy for good: the termination
// signal must still end the program at once, every time.
TEST_F(EndToEnd, ABoardThatNeverPausesDoesNotHoldUpTheExit) {
    for (int run = 0; run < 10; ++run) {
        StartProgram();
        ASSERT_EQ(board_.Receive(12, kTimeoutMs), "ready&ready&") << program_.Output();
        test::BoardFlood flood(board_);
        std::this_thread::sleep_for(milliseconds(300));
        ASSERT_TRUE(program_.Running()) << program_.Output();
        const auto [status, took] = program_.Stop(SIGTERM);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ", status " << status << "\n"
            << program_.Output();
        EXPECT_LT(took, kExitBound) << "run " << run;
        EXPECT_TRUE(PortFree("/dev/ttyUSB31"));
    }
}

// Not a check: with PLINKOR_SCREENSHOT=<png> and an X server in DISPLAY, shows
// the real window there and saves a picture of it (scripts/screenshot.sh).
TEST_F(EndToEnd, Screenshot) {
    const char* target = std::getenv("PLINKOR_SCREENSHOT");
    const char* display = std::getenv("DISPLAY");
    if (target == nullptr || display == nullptr) {
        GTEST_SKIP() << "set PLINKOR_SCREENSHOT and DISPLAY to take the README's picture";
    }
    StartProgram({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}});
    board_.Receive(12, 3000);
    std::this_thread::sleep_for(milliseconds(1500));
    // The program's top-level window is the one of class "plinkor" with a size.
    const std::string d = display;
    const std::string command =
        "id=$(timeout 10 xwininfo -display " + d + " -root -tree | " +
        "awk '/\\(\"plinkor\" \"plinkor\"\\)/ {print $1; exit}') && [ -n \"$id\" ] && " +
        "timeout 10 import -display " + d + " -window \"$id\" '" + target + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << program_.Output();
    program_.Stop(SIGTERM);
}

}  // namespace
}  // namespace plk
