// Exchanges as a page makes them (a connection each, a browser's request)
// against the bare loop in the same run: polls, commands, a command's latency
// to the board, and the round trip through a board that echoes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "boards.h"
#include "bridge/mailbox.h"
#include "cpu.h"
#include "phases.h"
#include "support/loopback_client.h"
#include "table.h"

namespace plk::bench {

namespace {

using std::chrono::milliseconds;

struct ExchangeRates {
    double ours = 0, bare = 0, ratio = 0;
};

struct Latency {
    double median = 0, p99 = 0;
    int lost = 0;
};

struct {
    ExchangeRates emptyPoll, linePoll, command;
    int pollFailures = 0, commandsWrong = 0;
    Latency latency, bareLatency, roundTrip;
} g_figures;

int ExchangeCount() {
    return Quick() ? 600 : 3000;
}

// One exchange as a page makes it: connect, send, read to the end, close.
std::string Exchange(uint16_t port, const std::string& request) {
    return test::Exchange(port, request, test::kNoLimit).data;
}

// Sequential exchanges, a connection each, timed one by one; ours and the bare
// loop take turns (bare, ours, ours, bare, ...), so that both see the same
// machine and each follows each as often. The rate is one over the median
// exchange: the machine is shared, and a mean would be another program's.
// `request(i)` is the i-th request of a side; the first tenth warms up.
// `settleUs`, when given, is a pause before every exchange of either side
// (after `prepare` for ours): a machine left idle that long wakes more slowly,
// and only one side's exchanges must not pay for that.
template <typename Prepare>
ExchangeRates TimeExchanges(uint16_t ourPort, BareServer& bare, BareServer::Mode bareMode,
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

// Client's send -> the command's line readable at the board, one after another.
Latency CommandLatency(uint16_t port, const test::PtyBoard& board, int count) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    Latency result;
    for (int i = 0; i < count; ++i) {
        const std::string target = "/led?n=" + std::to_string(i);
        const std::string req = BrowserRequest(target);
        test::LoopbackClient client(port);
        if (!client.connected()) {
            ++result.lost;
            continue;
        }
        const auto t0 = Clock::now();
        client.Send(req);
        const std::string got = board.Receive(target.size() + 1, 2000);
        const auto t1 = Clock::now();
        client.ReadToEnd(test::kNoLimit);
        client.Close();
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

}  // namespace

void MeasureExchanges(QtRig& rig) {
    std::fprintf(stderr, "exchanges...\n");
    auto& f = g_figures;
    const std::string emptyPoll = BrowserRequest("/poll?t=1");
    f.emptyPoll = TimeExchanges(
        rig.port, rig.bare(), BareServer::Mode::kSilent, [&](int) { return emptyPoll; }, [] {},
        &f.pollFailures);
    // A line waits for every poll: put there by the board, through the window.
    f.linePoll = TimeExchanges(
        rig.port, rig.bare(), BareServer::Mode::kAnswer, [&](int) { return emptyPoll; },
        [&] {
            rig.board.Send("ok&done\n");
            for (const auto until = Clock::now() + milliseconds(1000);
                 g_rxLineReady.load(std::memory_order_acquire) == 0 && Clock::now() < until;) {
                // Not a yield: a thread offering its processor in a loop
                // would take turns with the two that hand the line over.
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        },
        // The line's last hand-off settles before the exchange starts.
        &f.pollFailures, 300);
    MailboxTake([](std::string_view) { return true; });

    // Commands: each must reach the board once, in order.
    std::string atBoard;
    std::atomic<bool> stop{false};
    // A board reads its port without the computer's processor; this stand-in
    // takes what came every 2 ms instead of waking for every line, so that its
    // own wake-ups weigh on the exchanges as little as it can (the driver
    // holds far more than 2 ms of commands).
    std::thread reader([&] {
        while (!stop.load()) {
            atBoard += ReadAvailable(rig.board.masterFd());
            std::this_thread::sleep_for(milliseconds(2));
        }
        atBoard += ReadAvailable(rig.board.masterFd());
    });
    f.command = TimeExchanges(
        rig.port, rig.bare(), BareServer::Mode::kSilent,
        [&](int i) { return BrowserRequest("/led?n=" + std::to_string(i)); }, [] {},
        &f.commandsWrong);
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

void MeasureLatency(QtRig& rig) {
    std::fprintf(stderr, "command latency...\n");
    const int count = Quick() ? 2000 : 10000;
    g_figures.latency = CommandLatency(rig.port, rig.board, count);
    BareServer& bare = rig.bare();
    bare.SetMode(BareServer::Mode::kRelay, rig.board.slaveFd());
    g_figures.bareLatency = CommandLatency(bare.port(), rig.board, count);
    bare.SetMode(BareServer::Mode::kSilent);
}

// Command -> the board's echo -> the poll that brings it back.
void MeasureRoundTrips(QtRig& rig) {
    std::fprintf(stderr, "round trips...\n");
    EchoBoard echo(rig.board.masterFd());
    const std::string poll = BrowserRequest("/poll?t=1");
    std::vector<double> samples;
    Latency& result = g_figures.roundTrip;
    for (int i = 0, count = Quick() ? 200 : 1000; i < count; ++i) {
        const std::string target = "/echo" + std::to_string(i);
        const auto t0 = Clock::now();
        Exchange(rig.port, BrowserRequest(target));
        bool back = false;
        for (const auto until = t0 + milliseconds(2000); !back && Clock::now() < until;) {
            back = Exchange(rig.port, poll).find("ok\n" + target) != std::string::npos;
        }
        if (!back) {
            ++result.lost;
            continue;
        }
        samples.push_back(Micros(Clock::now() - t0));
    }
    result.median = Median(samples);
    result.p99 = Percentile(samples, 0.99);
}

void ExchangeRows() {
    const auto& f = g_figures;
    auto ratioRow = [](const char* name, const ExchangeRates& r) {
        AddRow(name, Fmt("%.0f /s = %.2f of bare", r.ours, r.ratio), "of bare",
               Fmt("bare loop %.0f /s", r.bare), r.ratio);
    };
    ratioRow("exchanges, ~600 B request: empty polls", f.emptyPoll);
    ratioRow("exchanges: polls with a line waiting", f.linePoll);
    ratioRow("exchanges: commands", f.command);
    AddRow("  every command at the board exactly once",
           f.commandsWrong == 0 ? "yes" : Fmt("NO (%d wrong)", f.commandsWrong), "commands once",
           "-", f.commandsWrong);
    AddRow("command latency, send -> readable at board, median",
           Fmt("%.0f us (%d lost)", f.latency.median, f.latency.lost), "latency median",
           Fmt("bare relay %.0f us", f.bareLatency.median), f.latency.median);
    AddRow("command latency, p99", Fmt("%.0f us", f.latency.p99), "latency p99",
           Fmt("bare relay %.0f us", f.bareLatency.p99), f.latency.p99);
    AddRow(
        "command -> board echo -> poll, median",
        Fmt("%.0f us (p99 %.0f, %d lost)", f.roundTrip.median, f.roundTrip.p99, f.roundTrip.lost),
        "-", Fmt("latency + poll: %.0f us", f.latency.median + 1e6 / f.linePoll.ours));
}

}  // namespace plk::bench
