// The receive path: a board's bytes through the monitor and the window into
// the mailbox, from a flooding board and from one printing at the line rate,
// beside the bare system calls the design makes per byte.
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "boards.h"
#include "cpu.h"
#include "phases.h"
#include "support/loopback_client.h"
#include "support/window_headless.h"
#include "table.h"

namespace plk::bench {

namespace {

using std::chrono::milliseconds;

struct Throughput {
    double bytesPerSecond = 0;
    double cpuPerMB = 0;
};

struct {
    Throughput qt, headless, floor;
    double lineShare = 0, lineDelivered = 0, lineFloor = 0;
    double lineApartShare = -1, lineApartDelivered = 0, sharedHandOffUs = -1;
} g_figures;

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

// A flooding board into the window's mailbox: bytes taken per second, and the
// CPU time of everything in this process but the board and this thread.
Throughput MeasureFlood(const test::PtyBoard& board, const CountingTarget& target) {
    board.Drain(20);
    Flood flood(board.masterFd());
    std::this_thread::sleep_for(milliseconds(500));
    const uint64_t chars0 = target.chars.load();
    const uint64_t written0 = flood.written();
    const double cpu0 = ProcessCpu() - flood.cpu() - OwnThreadCpu();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(milliseconds(Quick() ? 1000 : 3000));
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
    const int trips = Quick() ? 50000 : 200000;
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
    board.Drain(20);
    LineRateBoard talker(board.masterFd());
    std::this_thread::sleep_for(milliseconds(500));
    const uint64_t chars0 = target.chars.load();
    const uint64_t wakes0 = target.wakes.load();
    const uint64_t written0 = talker.written();
    const double cpu0 = ProcessCpu() - talker.cpu() - OwnThreadCpu();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(milliseconds(Quick() ? 2000 : 5000));
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

}  // namespace

// The design's own system calls per byte and nothing else: one thread reading
// one byte and asking the queue, from a flooding board.
void MeasureFloodFloor() {
    std::fprintf(stderr, "floor: the design's system calls alone, flooding board...\n");
    test::PtyBoard board;
    Flood flood(board.masterFd());
    const int fd = board.slaveFd();
    uint64_t bytes = 0;
    std::this_thread::sleep_for(milliseconds(100));
    const double cpu0 = OwnThreadCpu();
    const auto t0 = Clock::now();
    const auto until = t0 + milliseconds(Quick() ? 500 : 1500);
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
    g_figures.floor = {b / wall, cpu / (b / kMB)};
}

// The same floor for a board at the line rate: the CPU share of one thread that
// sleeps until the port has input, then reads it a byte and a query at a time,
// with nobody to hand the bytes to; and the bare hand-off on one processor.
void MeasureLineFloors() {
    std::fprintf(stderr, "floor: the design's system calls alone, line-rate board...\n");
    {
        test::PtyBoard board;
        LineRateBoard talker(board.masterFd());
        const int fd = board.slaveFd();
        std::this_thread::sleep_for(milliseconds(100));
        const double cpu0 = OwnThreadCpu();
        const auto t0 = Clock::now();
        const auto until = t0 + milliseconds(Quick() ? 1000 : 3000);
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
        g_figures.lineFloor = (OwnThreadCpu() - cpu0) / Seconds(Clock::now() - t0);
    }
    g_figures.sharedHandOffUs = MeasureSharedHandOff();
}

void MeasureQtFlood(QtRig& rig) {
    std::fprintf(stderr, "flood through the Qt window...\n");
    g_figures.qt = MeasureFlood(rig.board, rig.target);
}

void MeasureLineRate(QtRig& rig) {
    std::fprintf(stderr, "line-rate board...\n");
    g_figures.lineShare = MeasureLineRateShare(rig.board, rig.target, &g_figures.lineDelivered);
    FlushBoardInput(rig.board);
    WaitQuiet(rig.target, 100, 5000);
    if (KeepUiThreadApart(true)) {
        std::fprintf(stderr, "line-rate board, the user-interface thread kept apart...\n");
        g_figures.lineApartShare =
            MeasureLineRateShare(rig.board, rig.target, &g_figures.lineApartDelivered);
        KeepUiThreadApart(false);
        FlushBoardInput(rig.board);
        WaitQuiet(rig.target, 100, 5000);
    }
}

// The receive path alone, in the headless window, against the same target.
void MeasureHeadless() {
    test::FakeDevRoot dev;
    test::PtyBoard board;
    dev.Link("ttyUSB1", board.slavePath());
    test::HeadlessWindow window;
    auto dlg = std::make_unique<CBridgeDlg>(nullptr, test::FreeLoopbackPort(), dev.Opener());
    CountingTarget target(*dlg);
    dlg->Attach(&window);
    window.SetTarget(&target);
    window.Run([&] {
        dlg->link().OpenPort(&window, 34, 115200, 'N', 8, 1, 3, 512);
        dlg->link().StartMonitor();
    });
    std::fprintf(stderr, "flood through the headless window...\n");
    g_figures.headless = MeasureFlood(board, target);
    window.Destroy();
    window.Run([&] { dlg.reset(); });
}

void ReceiveRows() {
    const auto& f = g_figures;
    const double qtX = f.qt.bytesPerSecond / kLineRate;
    AddRow("receive, flooding board -> mailbox, Qt window",
           Fmt("%.1f x line rate (%.0f B/s)", qtX, f.qt.bytesPerSecond), "flood rate",
           Fmt("floor %.0f x (a read + query call per byte)", f.floor.bytesPerSecond / kLineRate),
           qtX);
    AddRow("  CPU per MB, Qt window", Fmt("%.2f CPU-s/MB", f.qt.cpuPerMB), "flood CPU",
           Fmt("floor %.2f CPU-s/MB", f.floor.cpuPerMB), f.qt.cpuPerMB);
    AddRow("receive, flooding board -> mailbox, headless",
           Fmt("%.1f x line rate (%.0f B/s)", f.headless.bytesPerSecond / kLineRate,
               f.headless.bytesPerSecond),
           "-", "same floor");
    AddRow("  CPU per MB, headless", Fmt("%.2f CPU-s/MB", f.headless.cpuPerMB), "-", "same floor");
    AddRow("board printing 64-byte lines at line rate, Qt",
           Fmt("%.2f %% of a core (%.0f %% delivered)", f.lineShare * 100, f.lineDelivered * 100),
           "line-rate share",
           Fmt("floor %.2f %% (a read + query call per byte)", f.lineFloor * 100), f.lineShare);
    AddRow("  the hand-off alone, two threads on one processor",
           Fmt("%.2f us a byte = %.2f %% of a core at line rate", f.sharedHandOffUs,
               f.sharedHandOffUs * kLineRate / 1e4),
           "-", "a yield each way, nothing else");
    if (f.lineApartShare >= 0) {
        AddRow("  the same board, UI thread on a processor of its own",
               Fmt("%.2f %% of a core (%.0f %% delivered)", f.lineApartShare * 100,
                   f.lineApartDelivered * 100),
               "-", "threads pinned by the bench");
    }
}

}  // namespace plk::bench
