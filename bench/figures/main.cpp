// The figures that say whether a talking board costs next to nothing: one run,
// one table, every figure beside its target and an anchor measured in the same
// run on the same machine.
//
// In this process: the dialog with its serial link on a pseudo-terminal board
// and its bridge server on a loopback port, in the Qt window on the offscreen
// platform (the program as it runs), and the link in the headless window. As
// root, the real executable too (program.cpp).
//
// Options: --quick (shorter phases), --no-program (skip the real executable),
// --only=<phase>[,<phase>...] (the phases below by name, for profiling).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/mailbox.h"
#include "cpu.h"
#include "phases.h"
#include "platform/comm/port_list_linux.h"
#include "platform/ui/gui_session.h"
#include "platform/ui/qt/dialog_host_qt.h"
#include "res/templates.h"
#include "support/fake_sysfs.h"
#include "support/loopback_client.h"
#include "table.h"

namespace plk::bench {

namespace {

struct Phase {
    std::string_view name;           // as --only names it
    void (*alone)();                 // on this thread, no window open
    void (*inWindow)(QtRig& rig);    // in the one Qt window, on its driver thread
    std::string_view anchorOf = "";  // a phase whose figure this one is held against
};

// In the order they run. Phases in the window, listed together, share one
// window; the floors run before it, with no other thread of ours running.
constexpr Phase kPhases[] = {
    // First: the private machine can only be made while this process has one thread.
    {"program", MeasureProgram, nullptr},
    {"floor", MeasureFloodFloor, nullptr, "flood"},
    {"floor", MeasureLineFloors, nullptr, "line"},
    {"flood", nullptr, MeasureQtFlood},
    {"line", nullptr, MeasureLineRate},
    {"exchanges", nullptr, MeasureExchanges},
    {"latency", nullptr, MeasureLatency},
    {"roundtrip", nullptr, MeasureRoundTrips},
    {"headless", MeasureHeadless, nullptr},
};

bool g_quick = false;
bool g_noProgram = false;
std::vector<std::string> g_only;

// Takes whatever line waits, so that the next phase starts from an empty box.
void MailboxTakeAll() {
    MailboxTake([](std::string_view) { return true; });
}

void RunInQtWindow(int& argc, char** argv, const std::vector<const Phase*>& phases) {
    const auto session = platform::GuiSession::Start(argc, argv);
    test::FakeDevRoot dev;
    test::FakeSysRoot sys;
    test::PtyBoard board;
    sys.AddTty("ttyUSB0", "usb1/1-1/1-1:1.0", "ftdi_sio");
    dev.Link("ttyUSB0", board.slavePath());
    const uint16_t port = test::FreeLoopbackPort();
    std::unique_ptr<platform::DialogWindow> window =
        platform::CurrentDialogHost()->CreateDialogWindow(res::MainDialog());
    auto dlg = std::make_unique<CBridgeDlg>(
        std::make_unique<platform::SysfsPortListSource>(sys.path(), dev.path()), port,
        dev.Opener());
    dlg->Attach(window.get());
    dlg->AttachFrame(window.get());
    CountingTarget target(*dlg, window.get());
    std::thread driver([&] {
        QtRig rig{board, target, port, {}};
        // The dialog's start: the greeting, the server listening.
        board.Receive(12, 5000);
        for (const auto until = Clock::now() + std::chrono::seconds(5);
             test::Exchange(port, "GET /crossdomain.xml HTTP/1.1\r\n\r\n").data.empty() &&
             Clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (const Phase* phase : phases) {
            phase->inWindow(rig);
            MailboxTakeAll();
        }
        window->Send(kWmBenchEnd, 0, 0);
    });
    window->RunModal(target);
    driver.join();
    dlg.reset();
    window.reset();
}

// Runs the phases the options ask for, in the list's order, and prints the table.
int Run(int& argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--bare-qt") {
            return BareQtMain(argc, argv);
        }
        g_quick = g_quick || arg == "--quick";
        g_noProgram = g_noProgram || arg == "--no-program";
        if (arg.starts_with("--only=")) {
            for (std::string_view list = arg.substr(7); !list.empty();) {
                const std::size_t comma = std::min(list.find(','), list.size());
                g_only.emplace_back(list.substr(0, comma));
                list.remove_prefix(std::min(comma + 1, list.size()));
            }
        }
    }
    for (const std::string& name : g_only) {
        if (std::none_of(std::begin(kPhases), std::end(kPhases),
                         [&](const Phase& p) { return p.name == name; })) {
            std::fprintf(stderr, "no phase called \"%s\"\n", name.c_str());
            return 2;
        }
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    std::vector<const Phase*> inWindow;
    auto runWindow = [&] {
        if (!inWindow.empty()) {
            RunInQtWindow(argc, argv, inWindow);
            inWindow.clear();
        }
    };
    for (const Phase& phase : kPhases) {
        if (!Wanted(phase.name) && (phase.anchorOf.empty() || !Wanted(phase.anchorOf))) {
            continue;
        }
        if (phase.inWindow != nullptr) {
            inWindow.push_back(&phase);
        } else {
            runWindow();
            phase.alone();
        }
    }
    runWindow();

    ReceiveRows();
    ExchangeRows();
    ProgramRows();
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

}  // namespace

bool Quick() {
    return g_quick;
}

bool Wanted(std::string_view phase) {
    if (phase == "program" && g_noProgram) {
        return false;
    }
    return g_only.empty() || std::find(g_only.begin(), g_only.end(), phase) != g_only.end();
}

}  // namespace plk::bench

int main(int argc, char** argv) {
    return plk::bench::Run(argc, argv);
}
