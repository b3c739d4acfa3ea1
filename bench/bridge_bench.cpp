// The bridge's costs: the request rules on a browser's request, the mailbox per
// line, and whole exchanges over loopback connections.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "bridge/bridge_server.h"
#include "bridge/mailbox.h"
#include "bridge/request.h"
#include "serial/serial_link.h"
#include "support/loopback_client.h"
#include "support/window_headless.h"

namespace {

using namespace plk;

// What a page served over http sends: longer than one read.
const std::string kBrowserRequest =
    "GET /led?on=1 HTTP/1.1\r\nHost: 127.0.0.1:12345\r\nConnection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"156\", \"Not)A;Brand\";v=\"24\"\r\nsec-ch-ua-mobile: ?0\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/156.0.0.0 Safari/537.36\r\nsec-ch-ua-platform: \"Linux\"\r\nAccept: */*\r\n"
    "Origin: http://apollo-lab.example\r\nSec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\n"
    "Sec-Fetch-Dest: empty\r\nReferer: http://apollo-lab.example/editor/poll.html\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\nAccept-Language: zh-CN,zh;q=0.9,en;q=0.8\r\n\r\n";

void BM_RequestRules(benchmark::State& state) {
    std::array<uint8_t, 2 * kRequestReadSize> request{};
    const std::size_t read = std::min(kBrowserRequest.size(), kRequestReadSize);
    std::copy_n(kBrowserRequest.begin(), read, request.begin());
    std::array<uint8_t, kCommandStageSize> stage{};
    for (auto _ : state) {
        const std::string_view text = RequestText(std::span(request.data(), read));
        std::size_t length = 0;
        if (Classify(text) == RequestKind::kCommand) {
            length = StageCommand(*CutCommand(text), stage);
        }
        benchmark::DoNotOptimize(length);
    }
}
BENCHMARK(BM_RequestRules);

void BM_MailboxLine(benchmark::State& state) {
    const std::string line = std::string(100, 'a') + "&" + std::string(40, 'b') + "\n";
    std::size_t taken = 0;
    for (auto _ : state) {
        for (const char c : line) {
            MailboxPutByte(static_cast<uint8_t>(c));
        }
        MailboxTake([&](std::string_view text) {
            taken += text.size();
            return true;
        });
    }
    benchmark::DoNotOptimize(taken);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
    MailboxClear();
}
BENCHMARK(BM_MailboxLine);

// A whole poll over a fresh loopback connection, with a line waiting each time
// (`state.range(0)` 1) or none (0).
void BM_PollExchange(benchmark::State& state) {
    test::HeadlessWindow window;
    CSerialLink link;  // never opened: commands go nowhere
    const uint16_t port = test::FreeLoopbackPort();
    BridgeServer server(window, link, port);
    window.Run([&] { server.Start(); });
    const platform::Waitable serving[] = {server.Serving().waitable()};
    platform::WaitAny(serving, 5000);
    const bool withLine = state.range(0) != 0;
    const std::string poll = "GET /poll HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::size_t bytes = 0;
    for (auto _ : state) {
        if (withLine) {
            for (const char c : std::string_view("ok&done\n")) {
                MailboxPutByte(static_cast<uint8_t>(c));
            }
        }
        bytes += test::Exchange(port, poll, test::kNoLimit).data.size();
    }
    benchmark::DoNotOptimize(bytes);
    window.Run([&] { server.Stop(); });
    MailboxClear();
}
BENCHMARK(BM_PollExchange)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
