// What the scenarios share: the options, the dialog in a window with its
// messages counted, and each scenario's phases and rows. main.cpp lists the
// phases and runs them; each scenario keeps its own figures until its rows.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "app/bridge_dlg.h"
#include "bare_server.h"
#include "support/pty_board.h"

namespace plk::bench {

// --quick: shorter phases.
bool Quick();
// Whether this run measures `phase`: --only names it, or there is no --only.
bool Wanted(std::string_view phase);

inline constexpr uint32_t kWmBenchEnd = platform::kWmUser + 201;

// The dialog's window procedure, counting what reaches it on the way; ends the
// dialog on kWmBenchEnd when it has a frame.
class CountingTarget final : public platform::MessageTarget {
public:
    explicit CountingTarget(CBridgeDlg& dlg, platform::DialogFrame* frame = nullptr)
        : dlg_(dlg), frame_(frame) {}
    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override {
        if (message == kWmBenchEnd) {
            if (frame_ != nullptr) {
                frame_->EndDialog(res::kIdCancel);
            }
            return 0;
        }
        // Only the window's own thread writes these: a plain add is enough.
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

// The dialog in the Qt window on the offscreen platform, as the program runs
// it: its link on `board` (as ttyUSB0), its server on `port`. The phases that
// use it run one after another on a driver thread while the user-interface
// thread runs the dialog.
struct QtRig {
    const test::PtyBoard& board;
    CountingTarget& target;
    uint16_t port;

    // The bare loop, started when a phase first needs it so that it idles
    // through no phase before.
    BareServer& bare() { return bare_ ? *bare_ : bare_.emplace(); }
    std::optional<BareServer> bare_;
};

// receive.cpp: board -> window -> mailbox, with the bare system calls beside.
void MeasureFloodFloor();
void MeasureLineFloors();
void MeasureQtFlood(QtRig& rig);
void MeasureLineRate(QtRig& rig);
void MeasureHeadless();
void ReceiveRows();

// exchanges.cpp: a page's requests against the bare loop.
void MeasureExchanges(QtRig& rig);
void MeasureLatency(QtRig& rig);
void MeasureRoundTrips(QtRig& rig);
void ExchangeRows();

// program.cpp: the real executable in a private machine (root only).
void MeasureProgram();
void ProgramRows();
// The anchor of its start-up: a plain Qt Widgets dialog, run as
// `figures_bench --bare-qt`.
int BareQtMain(int argc, char** argv);

}  // namespace plk::bench
