// The real executable, as root, in a private machine (namespace) where it has
// port 12345 and its board as /dev/ttyUSB31: start-up, a flood, idle cost and
// memory, beside a plain Qt Widgets dialog.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "boards.h"
#include "cpu.h"
#include "phases.h"
#include "support/private_machine.h"
#include "table.h"

namespace plk::bench {

namespace {

using std::chrono::milliseconds;

struct {
    bool ran = false;
    std::string why = "--no-program";
    std::vector<double> startMs;
    double floodRate = 0, floodCpuPerMB = 0;
    double idleCpu = -1;
    long peakKb = -1;
    std::vector<double> bareStartMs;
    long barePeakKb = -1;
} g_figures;

double Millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
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

// Exec -> first event-loop turn of a plain Qt Widgets dialog: what any Qt
// program pays before it can greet a board.
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
        ms = Millis(Clock::now() - t0);
    }
    std::this_thread::sleep_for(milliseconds(500));
    *peakKb = StatusKb(pid, "VmHWM");
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return ms;
}

void Measure(test::PrivateMachine& machine, const test::PtyBoard& board) {
    auto& p = g_figures;
    std::fprintf(stderr, "the real program: start-up...\n");
    for (int run = 0; run < (Quick() ? 3 : 7); ++run) {
        board.Drain(20);
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
        p.startMs.push_back(Millis(t1 - t0));
        if (run < (Quick() ? 2 : 6)) {
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
            std::this_thread::sleep_for(milliseconds(Quick() ? 1000 : 3000));
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
    for (int run = 0; run < (Quick() ? 3 : 5); ++run) {
        p.bareStartMs.push_back(BareQtStart(&p.barePeakKb));
    }
    p.ran = true;
}

}  // namespace

void MeasureProgram() {
    // Kept to the end of the run: the later phases, in this namespace either
    // way, keep its /dev too, so that their figures as root stay comparable
    // with earlier runs.
    static test::PtyBoard board;
    static test::PrivateMachine machine;
    g_figures.why = machine.SetUp(board.slavePath());
    if (g_figures.why.empty()) {
        Measure(machine, board);
    }
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

void ProgramRows() {
    const auto& p = g_figures;
    if (!p.ran) {
        AddRow("real program (idle, memory, start-up)", "not measured: " + p.why, "", "");
        return;
    }
    AddRow("real program, flooding board",
           Fmt("%.1f x line rate, %.2f CPU-s/MB", p.floodRate / kLineRate, p.floodCpuPerMB),
           "program flood", "in-process Qt row above");
    AddRow("idle 10 s, port open, real program", Fmt("%.4f CPU-s", p.idleCpu), "idle", "0",
           p.idleCpu);
    AddRow("peak resident memory, real program", Fmt("%.1f MiB", p.peakKb / 1024.0), "memory",
           Fmt("bare Qt dialog %.1f MiB", p.barePeakKb / 1024.0), p.peakKb * 1024.0);
    const double start = Median(p.startMs);
    AddRow("exec -> greeting at the board, median", Fmt("%.0f ms", start), "start-up",
           Fmt("bare Qt dialog up %.0f ms", Median(p.bareStartMs)), start);
}

}  // namespace plk::bench
