// The real plinkor program, black box, in the private machine of
// support/private_machine.h: a pseudo-terminal board as /dev/ttyUSB31,
// loopback sockets as the browser. Needs root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "support/private_machine.h"
#include "support/pty_board.h"

namespace plk {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTimeoutMs = 10000;
#if PLINKOR_SANITIZED
constexpr auto kExitBound = milliseconds(5000);  // the runtimes' own exit work
#else
constexpr auto kExitBound = milliseconds(1000);
#endif

using test::BridgeExchange;
using test::PortFree;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = machine_.SetUp(board_.slavePath()); !why.empty()) {
            GTEST_SKIP() << "no private machine: " << why;
        }
    }
    // `overrides` win over the defaults.
    void StartProgram(const test::Environment& overrides = {}) {
        ASSERT_TRUE(program_.Start(PLINKOR_PROGRAM, machine_, overrides));
    }

    test::PtyBoard board_;
    test::PrivateMachine machine_;
    test::Program program_;
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

    const std::optional<std::string> policy = test::WaitForBridge(kTimeoutMs);
    ASSERT_TRUE(policy) << "nothing listens on 12345\n" << program_.Output();
    EXPECT_EQ(policy->size(), 187u) << *policy;
    EXPECT_NE(policy->find("<allow-access-from domain=\"*\" to-ports=\"*\"/>"), std::string::npos);

    EXPECT_EQ(BridgeExchange("GET /abc HTTP/1.1\r\n\r\n"),
              std::string());  // no answer to a command
    EXPECT_EQ(board_.Receive(5, kTimeoutMs), "/abc\n");

    board_.Send("ok&done\n");
    std::string answer;
    for (const auto until = Clock::now() + milliseconds(kTimeoutMs);
         answer.empty() && Clock::now() < until;) {
        answer = BridgeExchange("GET /poll HTTP/1.1\r\n\r\n")
                     .value_or("");  // empty until the line is in
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
