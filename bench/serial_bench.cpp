// How fast the board's bytes reach the owner window (one synchronous message per
// byte) and how long a queued command takes to reach the board.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "serial/serial_link.h"
#include "support/pty_board.h"
#include "support/window_headless.h"

namespace {

using namespace plk;

class CountingTarget final : public platform::MessageTarget {
public:
    platform::LResult WindowProc(uint32_t message, platform::WParam, platform::LParam) override {
        if (message == WM_PORT_CHAR) {
            chars.fetch_add(1, std::memory_order_relaxed);
        }
        return 0;
    }
    std::atomic<uint64_t> chars{0};
};

struct Rig {
    test::FakeDevRoot dev;
    test::PtyBoard board;
    CountingTarget target;
    test::HeadlessWindow window;
    std::unique_ptr<CSerialLink> link = std::make_unique<CSerialLink>(dev.Opener());

    Rig() {
        dev.Link("ttyUSB0", board.slavePath());
        window.SetTarget(&target);
        window.Run([&] {
            link->OpenPort(&window, 33, 115200, 'N', 8, 1, 3, 512);
            link->StartMonitor();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Rig() {
        window.Run([&] { link.reset(); });
    }
};

void BM_BoardBytesToOwner(benchmark::State& state) {
    Rig rig;
    const std::string chunk(static_cast<std::size_t>(state.range(0)), 'x');
    uint64_t expected = 0;
    for (auto _ : state) {
        expected += chunk.size();
        rig.board.Send(chunk);
        while (rig.target.chars.load(std::memory_order_relaxed) < expected) {
            std::this_thread::yield();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(expected));
}
BENCHMARK(BM_BoardBytesToOwner)->Arg(64)->Arg(1024)->UseRealTime();

void BM_CommandToBoard(benchmark::State& state) {
    Rig rig;
    const uint8_t command[] = "/digitalWrite/13/1\n";
    for (auto _ : state) {
        rig.link->QueueWrite(command, sizeof command - 1);
        const std::string got = rig.board.Receive(sizeof command - 1, 2000);
        if (got.size() != sizeof command - 1) {
            state.SkipWithError("command lost");
            break;
        }
    }
}
BENCHMARK(BM_CommandToBoard)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
