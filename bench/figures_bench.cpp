// The figures that say whether a talking board costs next to nothing: one run,
// one table, every figure beside its target and an anchor measured in the same
// run on the same machine.
//
// In this process: the dialog with its serial link on a pseudo-terminal board
// and its bridge server on a loopback port, in the Qt window on the offscreen
// platform (the program as it runs), and the link in the headless window. As
// root, the real executable too, in a private machine (namespace) where it has
// port 12345 and its board as /dev/ttyUSB31: start-up, idle cost, memory.
//
// Options: --quick (shorter phases), --no-program (skip the real executable).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/bridge_dlg.h"
#include "bench_net.h"
#include "bridge/mailbox.h"
#include "bridge/request.h"
#include "platform/comm/port_list_linux.h"
#include "platform/ui/gui_session.h"
#include "platform/ui/qt/dialog_host_qt.h"
#include "res/templates.h"
#include "support/fake_sysfs.h"
#include "support/private_machine.h"
#include "support/pty_board.h"
#include "support/window_headless.h"

namespace {

using namespace plk;
using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

constexpr double kLineRate = 11520.0;  // 115200 baud, 8N1: bytes per second
constexpr double kMB = 1e6;

bool g_quick = false;
// --only=<phase>: one phase alone (flood, line, exchanges, latency, roundtrip,
// headless, floor, program), for profiling.
std::string g_only;
bool Want(const char* phase) {
    return g_only.empty() || g_only == phase;
}

double Seconds(Clock::duration d) {
    return duration<double>(d).count();
}
double Micros(Clock::duration d) {
    return duration<double, std::micro>(d).count();
}

double ClockSeconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double ProcessCpu() {
    return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}
double ThreadCpu(std::thread& thread) {
    clockid_t id{};
    if (pthread_getcpuclockid(thread.native_handle(), &id) != 0) {
        return 0;
    }
    return ClockSeconds(id);
}
double OwnThreadCpu() {
    return ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

// CPU time of another process, all its threads, in seconds (scheduler clock).
double ProgramCpu(pid_t pid) {
    double total = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::ifstream in(dir + "/" + e->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (in >> ns) {
                total += static_cast<double>(ns) * 1e-9;
            }
        }
        closedir(d);
    }
    return total;
}

// A field of /proc/<pid>/status in kB (VmHWM: peak resident memory).
long StatusKb(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + key.size());
        }
    }
    return -1;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// --- the table ---------------------------------------------------------------

struct Row {
    std::string figure, measured, target, anchor, verdict;
};
std::vector<Row> g_rows;

std::string Fmt(const char* format, auto... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

void AddRow(std::string figure, std::string measured, std::string target, std::string anchor,
            std::optional<bool> met) {
    g_rows.push_back({std::move(figure), std::move(measured), std::move(target), std::move(anchor),
                      met ? (*met ? "met" : "NOT MET") : ""});
    std::fprintf(stderr, "  %s: %s\n", g_rows.back().figure.c_str(),
                 g_rows.back().measured.c_str());
}

void PrintTable() {
    std::size_t w[4] = {6, 8, 6, 6};
    for (const Row& r : g_rows) {
        w[0] = std::max(w[0], r.figure.size());
        w[1] = std::max(w[1], r.measured.size());
        w[2] = std::max(w[2], r.target.size());
        w[3] = std::max(w[3], r.anchor.size());
    }
    auto cell = [](const std::string& s, std::size_t width) {
        return s + std::string(width - s.size(), ' ');
    };
    std::printf("| %s | %s | %s | %s | |\n", cell("figure", w[0]).c_str(),
                cell("measured", w[1]).c_str(), cell("target", w[2]).c_str(),
                cell("anchor (same run)", w[3]).c_str());
    std::printf("|%s|%s|%s|%s|---|\n", std::string(w[0] + 2, '-').c_str(),
                std::string(w[1] + 2, '-').c_str(), std::string(w[2] + 2, '-').c_str(),
                std::string(w[3] + 2, '-').c_str());
    for (const Row& r : g_rows) {
        std::printf("| %s | %s | %s | %s | %s |\n", cell(r.figure, w[0]).c_str(),
                    cell(r.measured, w[1]).c_str(), cell(r.target, w[2]).c_str(),
                    cell(r.anchor, w[3]).c_str(), r.verdict.c_str());
    }
    std::fflush(stdout);
}

// --- boards --------------------------------------------------------------------

// A board that talks without pause: whatever room the pseudo-terminal has is
// filled at once. Counts what it wrote.
class Flood {
public:
    explicit Flood(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}
    ~Flood() { Stop(); }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    uint64_t written() const { return written_.load(std::memory_order_relaxed); }
    double cpu() { return ThreadCpu(thread_); }

private:
    void Run(int fd) {
        std::string block;
        while (block.size() < 4096) {
            block += "yes\n";
        }
        while (!stop_.load(std::memory_order_relaxed)) {
            const ssize_t n = write(fd, block.data(), block.size());
            if (n > 0) {
                written_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            } else {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 5);
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// A board printing 64-byte lines without pause at exactly the line rate.
class LineRateBoard {
public:
    explicit LineRateBoard(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}
    ~LineRateBoard() {
        stop_.store(true);
        thread_.join();
    }
    uint64_t written() const { return written_.load(std::memory_order_relaxed); }
    double cpu() { return ThreadCpu(thread_); }

private:
    void Run(int fd) {
        const std::string line = std::string(59, 'a') + "&abc\n";  // 64 bytes
        const auto period = std::chrono::duration_cast<Clock::duration>(
            duration<double>(static_cast<double>(line.size()) / kLineRate));
        auto next = Clock::now();
        while (!stop_.load(std::memory_order_relaxed)) {
            if (write(fd, line.data(), line.size()) > 0) {
                written_.fetch_add(line.size(), std::memory_order_relaxed);
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> written_{0};
    std::thread thread_;
};

// Drops what the board's input queue holds: a flood's backlog.
void FlushBoardInput(const test::PtyBoard& board) {
    tcflush(board.slaveFd(), TCIFLUSH);
}

// Reads the board's side until `count` line feeds came (or `timeoutMs`).
std::string ReadLines(int masterFd, std::size_t count, int timeoutMs) {
    std::string got;
    std::size_t lines = 0;
    const auto until = Clock::now() + milliseconds(timeoutMs);
    while (lines < count && Clock::now() < until) {
        pollfd p{masterFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(masterFd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
            lines += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
        }
    }
    return got;
}

// Everything the board's side holds now, without waiting.
std::string ReadAvailable(int masterFd) {
    std::string got;
    for (;;) {
        pollfd p{masterFd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = poll(&p, 1, 0) > 0 ? read(masterFd, buffer, sizeof buffer) : 0;
        if (n <= 0) {
            return got;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

void DrainBoard(const test::PtyBoard& board) {
    board.Drain(20);
}

// --- clients and the bare loop -----------------------------------------------------

// What Chromium sends for a page's fetch: about 600 bytes, more than one read.
std::string BrowserRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1:12345\r\nConnection: keep-alive\r\n"
           "sec-ch-ua-platform: \"Linux\"\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) "
           "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/139.0.0.0 Safari/537.36\r\n"
           "sec-ch-ua: \"Not;A=Brand\";v=\"99\", \"Chromium\";v=\"139\"\r\n"
           "sec-ch-ua-mobile: ?0\r\nAccept: */*\r\nOrigin: http://lab.example.org\r\n"
           "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\nSec-Fetch-Dest: empty\r\n"
           "Referer: http://lab.example.org/editor/index.html\r\n"
           "Accept-Encoding: gzip, deflate, br, zstd\r\n"
           "Accept-Language: zh-CN,zh;q=0.9,en-US;q=0.8,en;q=0.7\r\n\r\n";
}

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadToEnd(int fd) {
    std::string out;
    char buffer[2048];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// One exchange as a page makes it: connect, send, read to the end, close.
std::string Exchange(uint16_t port, const std::string& request) {
    const int fd = Connect(port);
    if (fd < 0) {
        return {};
    }
    std::string answer;
    if (SendAll(fd, request)) {
        answer = ReadToEnd(fd);
    }
    close(fd);
    return answer;
}

using bench::FreePort;

// The anchor of every exchange: the least a server can do for the same client
// on the same machine. It accepts, reads once, reads the rest of the head,
// answers (when told to) or relays the request target to a board, ends its side
// and waits for the client's end, and closes; blocking calls, no time-outs.
class BareServer {
public:
    enum class Mode { kSilent, kAnswer, kRelay };

    BareServer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        port_ = bench::BindLoopback(listener_);
        listen(listener_, 20);
        thread_ = std::thread([this] { Run(); });
    }
    ~BareServer() {
        stop_.store(true);
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    uint16_t port() const { return port_; }
    void SetMode(Mode mode, int relayFd = -1) {
        relayFd_.store(relayFd);
        mode_.store(mode);
    }

private:
    void Run() {
        const std::string answer = std::string(g_httpHeader) + "ok\ndone\r\n";
        char buffer[8192];
        while (!stop_.load()) {
            const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                continue;
            }
            ssize_t n = recv(c, buffer, 512, 0);
            std::string head(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
            const Mode mode = mode_.load();
            if (mode == Mode::kRelay) {
                const std::size_t from = head.find(' ') + 1, to = head.find(" HTTP");
                std::string line = head.substr(from, to - from) + "\n";
                [[maybe_unused]] const ssize_t w = write(relayFd_.load(), line.data(), line.size());
            }
            while (n > 0 && head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
                n = recv(c, buffer, sizeof buffer, 0);
                if (n > 0) {
                    head.append(buffer, static_cast<std::size_t>(n));
                }
            }
            if (mode == Mode::kAnswer) {
                send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            shutdown(c, SHUT_WR);
            while (recv(c, buffer, sizeof buffer, 0) > 0) {
            }
            close(c);
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<Mode> mode_{Mode::kSilent};
    std::atomic<int> relayFd_{-1};
    std::thread thread_;
};

// --- the dialog in a window, with its messages counted --------------------------

inline constexpr uint32_t kWmBenchRun = platform::kWmUser + 200;  // wParam: std::function*
inline constexpr uint32_t kWmBenchEnd = platform::kWmUser + 201;

class CountingTarget final : public platform::MessageTarget {
public:
    explicit CountingTarget(CBridgeDlg& dlg, platform::DialogFrame* frame = nullptr)
        : dlg_(dlg), frame_(frame) {}
    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override {
        if (message == kWmBenchRun) {
            (*reinterpret_cast<const std::function<void()>*>(wParam))();
            return 0;
        }
        if (message == kWmBenchEnd) {
            if (frame_ != nullptr) {
                frame_->EndDialog(res::kIdCancel);
            }
            return 0;
        }
        if (message == WM_PORT_CHAR) {
            chars.store(chars.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        } else if (message == WM_PORT_EVTCHAR) {
            wakes.store(wakes.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        return dlg_.WindowProc(message, wParam, lParam);
    }
    std::atomic<uint64_t> chars{0};
    std::atomic<uint64_t> wakes{0};  // the monitor's port wake-ups (one event notice each)

private:
    CBridgeDlg& dlg_;
    platform::DialogFrame* frame_;
};

// Waits until no byte has reached the window for `quietMs`.
void WaitQuiet(const CountingTarget& target, int quietMs, int capMs) {
    uint64_t last = target.chars.load();
    auto lastChange = Clock::now();
    const auto until = Clock::now() + milliseconds(capMs);
    while (Clock::now() < until && Clock::now() - lastChange < milliseconds(quietMs)) {
        std::this_thread::sleep_for(milliseconds(10));
        const uint64_t now = target.chars.load();
        if (now != last) {
            last = now;
            lastChange = Clock::now();
        }
    }
}

struct Throughput {
    double bytesPerSecond = 0;
    double cpuPerMB = 0;
};

// A flooding board into the window's mailbox: bytes taken per second, and the
// CPU time of everything in this process but the board and this thread.
Throughput MeasureFlood(const test::PtyBoard& board, const CountingTarget& target) {
    DrainBoard(board);
    Flood flood(board.masterFd());
    std::this_thread::sleep_for(milliseconds(500));
    const uint64_t chars0 = target.chars.load();
    const uint64_t written0 = flood.written();
    const double cpu0 = ProcessCpu() - flood.cpu() - OwnThreadCpu();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(milliseconds(g_quick ? 1000 : 3000));
    const uint64_t chars1 = target.chars.load();
    std::fprintf(stderr, "  (taken %llu, written %llu)\n",
                 static_cast<unsigned long long>(chars1 - chars0),
                 static_cast<unsigned long long>(flood.written() - written0));
    const double cpu1 = ProcessCpu() - flood.cpu() - OwnThreadCpu();
    const double wall = Seconds(Clock::now() - t0);
    flood.Stop();
    FlushBoardInput(board);
    WaitQuiet(target, 100, 20000);
    const double bytes = static_cast<double>(chars1 - chars0);
    return {bytes / wall, bytes > 0 ? (cpu1 - cpu0) / (bytes / kMB) : 0};
}

// The design's own system calls per byte and nothing else: one thread reading
// one byte and asking the queue, from a flooding board.
Throughput MeasureFloor() {
    test::PtyBoard board;
    Flood flood(board.masterFd());
    const int fd = board.slaveFd();
    uint64_t bytes = 0;
    std::this_thread::sleep_for(milliseconds(100));
    const double cpu0 = OwnThreadCpu();
    const auto t0 = Clock::now();
    const auto until = t0 + milliseconds(g_quick ? 500 : 1500);
    while (Clock::now() < until) {
        for (int i = 0; i < 256; ++i) {
            uint8_t byte;
            int waiting = 0;
            if (read(fd, &byte, 1) == 1) {
                ++bytes;
            }
            ioctl(fd, TIOCINQ, &waiting);
        }
    }
    const double cpu = OwnThreadCpu() - cpu0;
    const double wall = Seconds(Clock::now() - t0);
    flood.Stop();
    const double b = static_cast<double>(bytes);
    return {b / wall, cpu / (b / kMB)};
}

// The same floor for a board at the line rate: the CPU share of one thread that
// sleeps until the port has input, then reads it a byte and a query at a time,
// with nobody to hand the bytes to.
double MeasureLineFloor() {
    test::PtyBoard board;
    LineRateBoard talker(board.masterFd());
    const int fd = board.slaveFd();
    std::this_thread::sleep_for(milliseconds(100));
    const double cpu0 = OwnThreadCpu();
    const auto t0 = Clock::now();
    const auto until = t0 + milliseconds(g_quick ? 1000 : 3000);
    while (Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        int waiting = 0;
        ioctl(fd, TIOCINQ, &waiting);
        while (waiting > 0) {
            uint8_t byte;
            if (read(fd, &byte, 1) != 1) {
                break;
            }
            ioctl(fd, TIOCINQ, &waiting);
        }
    }
    return (OwnThreadCpu() - cpu0) / Seconds(Clock::now() - t0);
}

// The least a hand-off per byte costs when the two threads share one
// processor: two bare threads on the first allowed processor passing a turn to
// and fro, each handing the processor to the other (a yield) until its turn
// comes back. Nothing else is done per turn. Per byte in microseconds, or -1.
double MeasureSharedHandOff() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return -1;
    }
    int first = 0;
    while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed)) {
        ++first;
    }
    const int trips = g_quick ? 50000 : 200000;
    std::atomic<int> turn{0};
    auto side = [&](int me) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        for (int i = 0; i < trips; ++i) {
            while (turn.load(std::memory_order_acquire) != me) {
                sched_yield();
            }
            turn.store(1 - me, std::memory_order_release);
        }
    };
    const auto t0 = Clock::now();
    std::thread a(side, 0);
    std::thread b(side, 1);
    a.join();
    b.join();
    return Micros(Clock::now() - t0) / trips;
}

// Puts the user-interface thread (the process's first) on one processor and
// every other thread on another, so that the line-rate board can be measured
// with the two ends of each hand-off on processors of their own; `apart` false
// gives every thread the process's processors back. False when there are not
// two processors to use.
bool KeepUiThreadApart(bool apart) {
    static cpu_set_t all;
    static bool saved = false;
    if (!saved) {
        if (sched_getaffinity(0, sizeof all, &all) != 0) {
            return false;
        }
        saved = true;
    }
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE && cpus.size() < 2; ++c) {
        if (CPU_ISSET(c, &all)) {
            cpus.push_back(c);
        }
    }
    if (cpus.size() < 2) {
        return false;
    }
    const pid_t self = getpid();
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) {
        return false;
    }
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        const pid_t tid = std::atoi(e->d_name);
        cpu_set_t mask = all;
        if (apart) {
            CPU_ZERO(&mask);
            CPU_SET(tid == self ? cpus[0] : cpus[1], &mask);
        }
        sched_setaffinity(tid, sizeof mask, &mask);
    }
    closedir(d);
    return true;
}

// CPU share of a board printing at the line rate, over a few seconds.
double MeasureLineRateShare(const test::PtyBoard& board, const CountingTarget& target,
                            double* delivered) {
    DrainBoard(board);
    LineRateBoard talker(board.masterFd());
    std::this_thread::sleep_for(milliseconds(500));
    const uint64_t chars0 = target.chars.load();
    const uint64_t wakes0 = target.wakes.load();
    const uint64_t written0 = talker.written();
    const double cpu0 = ProcessCpu() - talker.cpu() - OwnThreadCpu();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(milliseconds(g_quick ? 2000 : 5000));
    const double cpu1 = ProcessCpu() - talker.cpu() - OwnThreadCpu();
    const double wall = Seconds(Clock::now() - t0);
    const uint64_t chars1 = target.chars.load();
    const uint64_t written1 = talker.written();
    std::fprintf(stderr, "  (%.1f bytes per port wake-up)\n",
                 static_cast<double>(chars1 - chars0) /
                     static_cast<double>(std::max<uint64_t>(1, target.wakes.load() - wakes0)));
    *delivered = written1 > written0 ? static_cast<double>(chars1 - chars0) /
                                           static_cast<double>(written1 - written0)
                                     : 0;
    return (cpu1 - cpu0) / wall;
}

// --- exchanges -----------------------------------------------------------------

int ExchangeCount() {
    return g_quick ? 600 : 3000;
}

struct ExchangeRates {
    double ours = 0, bare = 0, ratio = 0;
};

// Sequential exchanges, a connection each, timed one by one; ours and the bare
// loop take turns (bare, ours, ours, bare, ...), so that both see the same
// machine and each follows each as often. The rate is one over the median
// exchange: the machine is shared, and a mean would be another program's.
// `request(i)` is the i-th request of a side; the first tenth warms up.
// `settleUs`, when given, is a pause before every exchange of either side
// (after `prepare` for ours): a machine left idle that long wakes more slowly,
// and only one side's exchanges must not pay for that.
template <typename Prepare>
ExchangeRates MeasureExchanges(uint16_t ourPort, BareServer& bare, BareServer::Mode bareMode,
                               const std::function<std::string(int)>& request, Prepare prepare,
                               int* failures, int settleUs = 0) {
    const int count = ExchangeCount();
    const int warmUp = count / 10;
    std::vector<double> ours, bares;
    bare.SetMode(bareMode);
    for (int i = 0; i < count; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool our = (turn == 1) != (i % 2 == 1);
            const std::string req = request(i);
            if (our) {
                prepare();
            }
            if (settleUs > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(settleUs));
            }
            const auto t0 = Clock::now();
            const std::string answer = Exchange(our ? ourPort : bare.port(), req);
            const double t = Seconds(Clock::now() - t0);
            if (i >= warmUp) {
                (our ? ours : bares).push_back(t);
            }
            if (our && bareMode == BareServer::Mode::kAnswer && answer.empty()) {
                ++*failures;
            }
        }
    }
    // The ratio pairs each exchange of ours with the bare one next to it, so
    // that a stretch of another program's load weighs on both alike.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.size() && i < bares.size(); ++i) {
        ratios.push_back(bares[i] / ours[i]);
    }
    return {1 / Median(ours), 1 / Median(bares), Median(ratios)};
}

struct Latency {
    double median = 0, p99 = 0;
    int lost = 0;
};

// Client's send → the command's line readable at the board, one after another.
Latency MeasureCommandLatency(uint16_t port, int masterFd, int count) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    Latency result;
    for (int i = 0; i < count; ++i) {
        const std::string target = "/led?n=" + std::to_string(i);
        const std::string req = BrowserRequest(target);
        const int fd = Connect(port);
        if (fd < 0) {
            ++result.lost;
            continue;
        }
        const auto t0 = Clock::now();
        SendAll(fd, req);
        const std::string got = ReadLines(masterFd, 1, 2000);
        const auto t1 = Clock::now();
        ReadToEnd(fd);
        close(fd);
        if (got != target + "\n") {
            ++result.lost;
            continue;
        }
        samples.push_back(Micros(t1 - t0));
    }
    result.median = Median(samples);
    result.p99 = Percentile(samples, 0.99);
    return result;
}

// A board that answers every line at once with "ok&<line>".
class EchoBoard {
public:
    explicit EchoBoard(int masterFd) : thread_([this, masterFd] { Run(masterFd); }) {}
    ~EchoBoard() {
        stop_.store(true);
        thread_.join();
    }

private:
    void Run(int fd) {
        std::string pending;
        while (!stop_.load()) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string answer = "ok&" + pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                [[maybe_unused]] const ssize_t w = write(fd, answer.data(), answer.size());
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Command → the board's echo → the poll that brings it back.
Latency MeasureRoundTrip(uint16_t port, int masterFd, int count) {
    EchoBoard echo(masterFd);
    const std::string poll = BrowserRequest("/poll?t=1");
    std::vector<double> samples;
    Latency result;
    for (int i = 0; i < count; ++i) {
        const std::string target = "/echo" + std::to_string(i);
        const auto t0 = Clock::now();
        Exchange(port, BrowserRequest(target));
        bool back = false;
        for (const auto until = t0 + milliseconds(2000); !back && Clock::now() < until;) {
            const std::string answer = Exchange(port, poll);
            back = answer.find("ok\n" + target) != std::string::npos;
        }
        if (!back) {
            ++result.lost;
            continue;
        }
        samples.push_back(Micros(Clock::now() - t0));
    }
    result.median = Median(samples);
    result.p99 = Percentile(samples, 0.99);
    return result;
}

// --- the rigs ----------------------------------------------------------------------

// Takes whatever line waits, so that the next phase starts from an empty box.
void MailboxTakeAll() {
    MailboxTake([](std::string_view) { return true; });
}

struct Figures {
    Throughput qt, headless, floor;
    double lineShare = 0, lineDelivered = 0, lineFloor = 0;
    double lineApartShare = -1, lineApartDelivered = 0, sharedHandOffUs = -1;
    ExchangeRates emptyPoll, linePoll, command;
    int pollFailures = 0, commandsWrong = 0;
    Latency latency, bareLatency, roundTrip;
    double idleInProcess = -1;
};

// Everything measured against the program's own parts in the Qt window: runs
// on its own thread while the user-interface thread runs the dialog.
void MeasureQtRig(platform::Window& window, CountingTarget& target, const test::PtyBoard& board,
                  uint16_t port, Figures& f) {
    // The dialog's start: the greeting, the server listening.
    board.Receive(12, 5000);
    for (const auto until = Clock::now() + std::chrono::seconds(5);
         Exchange(port, "GET /crossdomain.xml HTTP/1.1\r\n\r\n").empty() && Clock::now() < until;) {
        std::this_thread::sleep_for(milliseconds(20));
    }

    if (Want("flood")) {
        std::fprintf(stderr, "flood through the Qt window...\n");
        f.qt = MeasureFlood(board, target);
    }
    if (Want("line")) {
        std::fprintf(stderr, "line-rate board...\n");
        f.lineShare = MeasureLineRateShare(board, target, &f.lineDelivered);
        FlushBoardInput(board);
        WaitQuiet(target, 100, 5000);
        if (KeepUiThreadApart(true)) {
            std::fprintf(stderr, "line-rate board, the user-interface thread kept apart...\n");
            f.lineApartShare = MeasureLineRateShare(board, target, &f.lineApartDelivered);
            KeepUiThreadApart(false);
            FlushBoardInput(board);
            WaitQuiet(target, 100, 5000);
        }
    }
    MailboxTakeAll();

    BareServer bare;
    if (Want("exchanges")) {
        std::fprintf(stderr, "exchanges...\n");
        const std::string emptyPoll = BrowserRequest("/poll?t=1");
        f.emptyPoll = MeasureExchanges(
            port, bare, BareServer::Mode::kSilent, [&](int) { return emptyPoll; }, [] {},
            &f.pollFailures);
        // A line waits for every poll: put there by the board, through the window.
        f.linePoll = MeasureExchanges(
            port, bare, BareServer::Mode::kAnswer, [&](int) { return emptyPoll; },
            [&] {
                board.Send("ok&done\n");
                for (const auto until = Clock::now() + milliseconds(1000);
                     g_rxLineReady.load(std::memory_order_acquire) == 0 && Clock::now() < until;) {
                    // Not a yield: a thread offering its processor in a loop
                    // would take turns with the two that hand the line over.
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            },
            // The line's last hand-off settles before the exchange starts.
            &f.pollFailures, 300);
        MailboxTakeAll();
        // Commands: each must reach the board once, in order.
        {
            std::string atBoard;
            std::atomic<bool> stop{false};
            // A board reads its port without the computer's processor; this
            // stand-in takes what came every 2 ms instead of waking for every
            // line, so that its own wake-ups weigh on the exchanges as little
            // as it can (the driver holds far more than 2 ms of commands).
            std::thread reader([&] {
                while (!stop.load()) {
                    atBoard += ReadAvailable(board.masterFd());
                    std::this_thread::sleep_for(milliseconds(2));
                }
                atBoard += ReadAvailable(board.masterFd());
            });
            f.command = MeasureExchanges(
                port, bare, BareServer::Mode::kSilent,
                [&](int i) {
                    const std::string t = "/led?n=" + std::to_string(i);
                    return BrowserRequest(t);
                },
                [] {}, &f.commandsWrong);
            std::this_thread::sleep_for(milliseconds(300));
            stop.store(true);
            reader.join();
            std::string expected;
            for (int i = 0; i < ExchangeCount(); ++i) {
                expected += "/led?n=" + std::to_string(i) + "\n";
            }
            if (atBoard != expected) {
                f.commandsWrong += 1;
                std::fprintf(stderr, "commands at the board differ: %zu bytes, %zu expected\n",
                             atBoard.size(), expected.size());
            }
        }
    }

    if (Want("latency")) {
        std::fprintf(stderr, "command latency...\n");
        const int count = g_quick ? 2000 : 10000;
        f.latency = MeasureCommandLatency(port, board.masterFd(), count);
        bare.SetMode(BareServer::Mode::kRelay, board.slaveFd());
        f.bareLatency = MeasureCommandLatency(bare.port(), board.masterFd(), count);
        bare.SetMode(BareServer::Mode::kSilent);
    }

    if (Want("roundtrip")) {
        std::fprintf(stderr, "round trips...\n");
        f.roundTrip = MeasureRoundTrip(port, board.masterFd(), g_quick ? 200 : 1000);
        MailboxTakeAll();
    }
    (void)window;
}

// The receive path alone, in the headless window, against the same target.
Throughput MeasureHeadless(const test::FakeDevRoot& dev) {
    test::PtyBoard board;
    dev.Link("ttyUSB1", board.slavePath());
    test::HeadlessWindow window;
    auto dlg = std::make_unique<CBridgeDlg>(nullptr, FreePort(), dev.Opener());
    CountingTarget target(*dlg);
    dlg->Attach(&window);
    window.SetTarget(&target);
    window.Run([&] {
        dlg->link().OpenPort(&window, 34, 115200, 'N', 8, 1, 3, 512);
        dlg->link().StartMonitor();
    });
    std::fprintf(stderr, "flood through the headless window...\n");
    const Throughput t = MeasureFlood(board, target);
    window.Destroy();
    window.Run([&] { dlg.reset(); });
    return t;
}

// --- the real executable -----------------------------------------------------------

struct ProgramFigures {
    bool ran = false;
    std::string why;
    std::vector<double> startMs;
    double floodRate = 0, floodCpuPerMB = 0;
    double idleCpu = -1;
    long peakKb = -1;
    std::vector<double> bareStartMs;
    long barePeakKb = -1;
};

// Exec → first event-loop turn of a plain Qt Widgets dialog (this program with
// --bare-qt): what any Qt program pays before it can greet a board.
double BareQtStart(long* peakKb) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return -1;
    }
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl("/proc/self/exe", "figures_bench", "--bare-qt", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char byte = 0;
    double ms = -1;
    if (read(out[0], &byte, 1) == 1) {
        ms = duration<double, std::milli>(Clock::now() - t0).count();
    }
    std::this_thread::sleep_for(milliseconds(500));
    *peakKb = StatusKb(pid, "VmHWM");
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return ms;
}

int BareQtMain(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("打开串口")));
    auto* combo = new QComboBox;
    combo->addItem(QStringLiteral("COM33 ttyUSB0"));
    layout->addWidget(combo);
    dialog.show();
    QTimer::singleShot(0, [] { [[maybe_unused]] const ssize_t n = write(1, "u", 1); });
    return dialog.exec();
}

void MeasureProgram(test::PrivateMachine& machine, const test::PtyBoard& board, ProgramFigures& p) {
    std::fprintf(stderr, "the real program: start-up...\n");
    for (int run = 0; run < (g_quick ? 3 : 7); ++run) {
        DrainBoard(board);
        test::Program program;
        const auto t0 = Clock::now();
        if (!program.Start(PLINKOR_PROGRAM, machine)) {
            p.why = "could not start";
            return;
        }
        const std::string greeting = board.Receive(12, 10000);
        const auto t1 = Clock::now();
        if (greeting != "ready&ready&") {
            p.why = "no greeting: " + program.Output();
            return;
        }
        p.startMs.push_back(duration<double, std::milli>(t1 - t0).count());
        if (run < (g_quick ? 2 : 6)) {
            program.Stop(SIGTERM);
            continue;
        }
        // The last run stays up: a flood, then idle with the port open.
        std::fprintf(stderr, "the real program: flood...\n");
        test::WaitForBridge(5000);
        {
            Flood flood(board.masterFd());
            std::this_thread::sleep_for(milliseconds(500));
            const uint64_t w0 = flood.written();
            const double c0 = ProgramCpu(program.pid());
            const auto t2 = Clock::now();
            std::this_thread::sleep_for(milliseconds(g_quick ? 1000 : 3000));
            const uint64_t w1 = flood.written();
            const double c1 = ProgramCpu(program.pid());
            const double wall = Seconds(Clock::now() - t2);
            flood.Stop();
            const double bytes = static_cast<double>(w1 - w0);
            p.floodRate = bytes / wall;
            p.floodCpuPerMB = bytes > 0 ? (c1 - c0) / (bytes / kMB) : 0;
        }
        FlushBoardInput(board);
        std::this_thread::sleep_for(milliseconds(1000));
        std::fprintf(stderr, "the real program: idle 10 s...\n");
        const double c0 = ProgramCpu(program.pid());
        std::this_thread::sleep_for(std::chrono::seconds(10));
        p.idleCpu = ProgramCpu(program.pid()) - c0;
        p.peakKb = StatusKb(program.pid(), "VmHWM");
        program.Stop(SIGTERM);
    }
    for (int run = 0; run < (g_quick ? 3 : 5); ++run) {
        p.bareStartMs.push_back(BareQtStart(&p.barePeakKb));
    }
    p.ran = true;
}

}  // namespace

int main(int argc, char** argv) {
    bool program = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--bare-qt") {
            return BareQtMain(argc, argv);
        }
        g_quick = g_quick || arg == "--quick";
        if (arg.rfind("--only=", 0) == 0) {
            g_only = arg.substr(7);
        }
        program = program && arg != "--no-program";
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    // The private machine first: it can only be made while this process has
    // one thread.
    ProgramFigures pf;
    test::PtyBoard programBoard;
    test::PrivateMachine machine;
    if (program && Want("program")) {
        pf.why = machine.SetUp(programBoard.slavePath());
        if (pf.why.empty()) {
            MeasureProgram(machine, programBoard, pf);
        }
    } else {
        pf.why = "--no-program";
    }

    Figures f;
    std::fprintf(stderr, "floor: the design's system calls alone...\n");
    if (Want("floor") || Want("flood")) {
        f.floor = MeasureFloor();
    }
    if (Want("floor") || Want("line")) {
        f.lineFloor = MeasureLineFloor();
        f.sharedHandOffUs = MeasureSharedHandOff();
    }

    // The program's parts in the Qt window, on the offscreen platform.
    const auto session = platform::GuiSession::Start(argc, argv);
    test::FakeDevRoot dev;
    test::FakeSysRoot sys;
    test::PtyBoard board;
    sys.AddTty("ttyUSB0", "usb1/1-1/1-1:1.0", "ftdi_sio");
    dev.Link("ttyUSB0", board.slavePath());
    const uint16_t port = FreePort();
    std::unique_ptr<platform::DialogWindow> window =
        platform::CurrentDialogHost()->CreateDialogWindow(res::MainDialog());
    auto dlg = std::make_unique<CBridgeDlg>(
        std::make_unique<platform::SysfsPortListSource>(sys.path(), dev.path()), port,
        dev.Opener());
    dlg->Attach(window.get());
    dlg->AttachFrame(window.get());
    CountingTarget target(*dlg, window.get());
    std::thread driver([&] {
        MeasureQtRig(*window, target, board, port, f);
        window->Send(kWmBenchEnd, 0, 0);
    });
    window->RunModal(target);
    driver.join();
    dlg.reset();
    window.reset();

    if (Want("headless")) {
        f.headless = MeasureHeadless(dev);
    }

    // --- the table ---
    const double qtX = f.qt.bytesPerSecond / kLineRate;
    AddRow("receive, flooding board -> mailbox, Qt window",
           Fmt("%.1f x line rate (%.0f B/s)", qtX, f.qt.bytesPerSecond), ">= 20 x",
           Fmt("floor %.0f x (a read + query call per byte)", f.floor.bytesPerSecond / kLineRate),
           qtX >= 20);
    AddRow("  CPU per MB, Qt window", Fmt("%.2f CPU-s/MB", f.qt.cpuPerMB), "<= 5 CPU-s/MB",
           Fmt("floor %.2f CPU-s/MB", f.floor.cpuPerMB), f.qt.cpuPerMB <= 5);
    AddRow("receive, flooding board -> mailbox, headless",
           Fmt("%.1f x line rate (%.0f B/s)", f.headless.bytesPerSecond / kLineRate,
               f.headless.bytesPerSecond),
           "-", "same floor", std::nullopt);
    AddRow("  CPU per MB, headless", Fmt("%.2f CPU-s/MB", f.headless.cpuPerMB), "-", "same floor",
           std::nullopt);
    AddRow("board printing 64-byte lines at line rate, Qt",
           Fmt("%.2f %% of a core (%.0f %% delivered)", f.lineShare * 100, f.lineDelivered * 100),
           "< 5 %", Fmt("floor %.2f %% (a read + query call per byte)", f.lineFloor * 100),
           f.lineShare < 0.05);
    AddRow("  the hand-off alone, two threads on one processor",
           Fmt("%.2f us a byte = %.2f %% of a core at line rate", f.sharedHandOffUs,
               f.sharedHandOffUs * kLineRate / 1e4),
           "-", "a yield each way, nothing else", std::nullopt);
    if (f.lineApartShare >= 0) {
        AddRow("  the same board, UI thread on a processor of its own",
               Fmt("%.2f %% of a core (%.0f %% delivered)", f.lineApartShare * 100,
                   f.lineApartDelivered * 100),
               "-", "threads pinned by the bench", std::nullopt);
    }
    auto ratioRow = [](const char* name, const ExchangeRates& r) {
        const double ratio = r.ratio;
        AddRow(name, Fmt("%.0f /s = %.2f of bare", r.ours, ratio), ">= 0.8 of bare",
               Fmt("bare loop %.0f /s", r.bare), ratio >= 0.8);
    };
    ratioRow("exchanges, ~600 B request: empty polls", f.emptyPoll);
    ratioRow("exchanges: polls with a line waiting", f.linePoll);
    ratioRow("exchanges: commands", f.command);
    AddRow("  every command at the board exactly once",
           f.commandsWrong == 0 ? "yes" : Fmt("NO (%d wrong)", f.commandsWrong), "yes", "-",
           f.commandsWrong == 0);
    AddRow("command latency, send -> readable at board, median",
           Fmt("%.0f us (%d lost)", f.latency.median, f.latency.lost), "< 150 us",
           Fmt("bare relay %.0f us", f.bareLatency.median), f.latency.median < 150);
    AddRow("command latency, p99", Fmt("%.0f us", f.latency.p99), "< 1000 us",
           Fmt("bare relay %.0f us", f.bareLatency.p99), f.latency.p99 < 1000);
    AddRow(
        "command -> board echo -> poll, median",
        Fmt("%.0f us (p99 %.0f, %d lost)", f.roundTrip.median, f.roundTrip.p99, f.roundTrip.lost),
        "-", Fmt("latency + poll: %.0f us", f.latency.median + 1e6 / f.linePoll.ours),
        std::nullopt);
    if (pf.ran) {
        AddRow("real program, flooding board",
               Fmt("%.1f x line rate, %.2f CPU-s/MB", pf.floodRate / kLineRate, pf.floodCpuPerMB),
               ">= 20 x, <= 5", "in-process Qt row above", std::nullopt);
        AddRow("idle 10 s, port open, real program", Fmt("%.4f CPU-s", pf.idleCpu), "< 0.01 CPU-s",
               "0", pf.idleCpu < 0.01);
        AddRow("peak resident memory, real program", Fmt("%.1f MiB", pf.peakKb / 1024.0), "< 40 MB",
               Fmt("bare Qt dialog %.1f MiB", pf.barePeakKb / 1024.0), pf.peakKb * 1024.0 < 40e6);
        const double start = Median(pf.startMs);
        AddRow("exec -> greeting at the board, median", Fmt("%.0f ms", start), "< 300 ms",
               Fmt("bare Qt dialog up %.0f ms", Median(pf.bareStartMs)), start < 300);
    } else {
        AddRow("real program (idle, memory, start-up)", "not measured: " + pf.why, "", "",
               std::nullopt);
    }
    double load[3] = {0, 0, 0};
    if (std::ifstream in("/proc/loadavg"); in) {
        in >> load[0] >> load[1] >> load[2];
    }
    std::printf("\nplinkor figures (request %zu B, %u cores, load %.2f %.2f %.2f)\n\n",
                BrowserRequest("/poll?t=1").size(), std::thread::hardware_concurrency(), load[0],
                load[1], load[2]);
    PrintTable();
    return 0;
}
