// The console page in Debian's Chromium, driven by tests/browser/console_check.mjs,
// against the real program in the private machine; the board is simulated and
// answers every command with "ok&<command>". The page is loaded over http from
// 127.0.0.1:8000 and as a file. Needs root, /usr/bin/chromium and
// `npm ci` in tests/browser (scripts/install-deps.sh does both).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/private_machine.h"
#include "support/pty_board.h"

namespace plk {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = PLINKOR_SOURCE_DIR;

struct Case {
    const char* scenario;
    const char* origin;
};

std::string Name(const ::testing::TestParamInfo<Case>& info) {
    return std::string(info.param.scenario) + "_" + info.param.origin;
}

std::vector<std::string> Commands(const std::string& prefix, int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        lines.push_back("/" + prefix + std::to_string(i));
    }
    return lines;
}

// What the board must have received, once each and in this order.
std::vector<std::string> Expected(const std::string& scenario) {
    if (scenario == "typed") {
        return {"/hello", "/led%20on", "/done"};
    }
    if (scenario == "roundtrip") {
        return Commands("rt", 100);
    }
    if (scenario == "burst") {
        return Commands("b", 20);
    }
    return {};
}

// A child's output, read to its end; the child is waited for once.
struct Pipe {
    explicit Pipe(FILE* f) : file(f) {}
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() { Close(); }
    FILE* file;
    int Close() {
        const int status = file != nullptr ? pclose(file) : -1;
        file = nullptr;
        return status;
    }
};

class ConsoleInChromium : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (!fs::exists("/usr/bin/chromium") ||
            !fs::exists(kSource / "tests/browser/node_modules/playwright-core")) {
            GTEST_SKIP() << "needs /usr/bin/chromium and tests/browser/node_modules "
                            "(bash scripts/install-deps.sh)";
        }
        if (const std::string why = machine_.SetUp(board_.slavePath()); !why.empty()) {
            GTEST_SKIP() << "no private machine: " << why;
        }
        ASSERT_TRUE(program_.Start(PLINKOR_PROGRAM, machine_));
        ASSERT_TRUE(test::WaitForBridge()) << program_.Output();
    }

    // Runs the page's scenario; its output, and whether it passed.
    std::pair<std::string, bool> RunPage(const Case& c) {
        std::string command =
            "timeout 150 node '" + (kSource / "tests/browser/console_check.mjs").string() + "' " +
            c.scenario + " " + c.origin + " '" + (kSource / "examples").string() + "'";
        if (const char* shot = std::getenv("PLINKOR_CONSOLE_SCREENSHOT");
            shot != nullptr && std::string(c.scenario) == "typed" &&
            std::string(c.origin) == "http") {
            command += std::string(" '") + shot + "'";
        }
        command += " 2>&1";
        Pipe pipe{popen(command.c_str(), "r")};
        std::string output;
        char buffer[4096];
        for (std::size_t n;
             pipe.file != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe.file)) > 0;) {
            output.append(buffer, n);
        }
        const int status = pipe.Close();
        return {output, WIFEXITED(status) && WEXITSTATUS(status) == 0};
    }

    test::PtyBoard board_;
    test::PrivateMachine machine_;
    test::Program program_;
};

TEST_P(ConsoleInChromium, EveryCommandReachesTheBoardOnceAndInOrder) {
    const test::SimBoard sim(board_);
    const auto [output, passed] = RunPage(GetParam());
    std::printf("%s", output.c_str());
    EXPECT_TRUE(passed) << output << program_.Output();

    const std::vector<std::string> expected = Expected(GetParam().scenario);
    sim.WaitLines(expected.size(), 5000);
    EXPECT_EQ(sim.Lines(), expected);
    EXPECT_TRUE(sim.Received().starts_with("ready&ready&")) << sim.Received();
    EXPECT_TRUE(program_.Running()) << program_.Output();
}

INSTANTIATE_TEST_SUITE_P(Pages, ConsoleInChromium,
                         ::testing::Values(Case{"typed", "http"}, Case{"typed", "file"},
                                           Case{"roundtrip", "http"}, Case{"roundtrip", "file"},
                                           Case{"burst", "http"}, Case{"burst", "file"},
                                           Case{"preconnect", "http"}),
                         Name);

}  // namespace
}  // namespace plk
