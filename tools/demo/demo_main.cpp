// scripts/demo.sh: Plinkor without a board. A simulated board on a
// pseudo-terminal (it answers each command with "ok&<command>" and prints a
// counter line every second), the real program with its window, both in the
// private machine of the tests; connections to 127.0.0.1:12345 on this machine
// are carried into the machine, so the user's own browser reaches the bridge.
// With --chromium, Chromium also opens the console page inside the machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/private_machine.h"
#include "support/pty_board.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using plk::test::BridgeAddress;
using plk::test::UniqueFd;

// Made before the machine exists, so that it listens on this machine's loopback.
int ListenOutside() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = BridgeAddress();
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 20) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Carries one connection each way until both ends are done (at most 5 s):
// an end seen on one side is passed on as an end of writing to the other, so
// the browser sees the bridge's close as it would directly.
void Carry(int outer, int inner) {
    const int fds[2] = {outer, inner};
    bool open[2] = {true, true};
    for (const auto until = Clock::now() + milliseconds(5000);
         (open[0] || open[1]) && Clock::now() < until;) {
        pollfd p[2] = {{outer, static_cast<short>(open[0] ? POLLIN : 0), 0},
                       {inner, static_cast<short>(open[1] ? POLLIN : 0), 0}};
        if (poll(p, 2, 100) <= 0) {
            continue;
        }
        for (int side = 0; side < 2; ++side) {
            if (!open[side] || p[side].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = recv(fds[side], buffer, sizeof buffer, 0);
            if (n > 0) {
                send(fds[1 - side], buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            } else if (n == 0 || errno != EINTR) {
                open[side] = false;
                shutdown(fds[1 - side], SHUT_WR);
                if (n < 0) {
                    return;  // a reset ends both
                }
            }
        }
    }
}

void CarryConnections(int listener, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            continue;
        }
        const UniqueFd outer(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        const UniqueFd inner(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = BridgeAddress();
        if (outer.get() >= 0 && connect(inner.get(), reinterpret_cast<const sockaddr*>(&address),
                                        sizeof address) == 0) {
            Carry(outer.get(), inner.get());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool withChromium = argc > 1 && std::strcmp(argv[1], "--chromium") == 0;
    const char* display = std::getenv("DISPLAY");

    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    const UniqueFd listener(ListenOutside());
    plk::test::PtyBoard board;
    plk::test::PrivateMachine machine;
    if (const std::string why = machine.SetUp(board.slavePath()); !why.empty()) {
        std::fprintf(stderr, "demo: cannot set up the private machine: %s\n", why.c_str());
        return 1;
    }
    const plk::test::SimBoard sim(board, 1000);
    plk::test::Environment env;
    if (display != nullptr) {
        env = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}};
    }
    plk::test::Program program;
    if (!program.Start(PLINKOR_PROGRAM, machine, env) || !plk::test::WaitForBridge()) {
        std::fprintf(stderr, "demo: Plinkor did not start:\n%s\n", program.Output().c_str());
        return 1;
    }

    std::atomic<bool> stop{false};
    std::thread carrier;
    if (listener.get() >= 0) {
        carrier = std::thread(CarryConnections, listener.get(), std::cref(stop));
        std::printf("The bridge answers on 127.0.0.1:12345. Open %s/examples/console.html\n",
                    PLINKOR_SOURCE_DIR);
    } else {
        std::printf(
            "127.0.0.1:12345 is taken on this machine; the bridge is reachable only from "
            "inside the demo (--chromium).\n");
    }
    pid_t browser = -1;
    if (withChromium && display != nullptr) {
        const std::string command = std::string(
                                        "exec chromium --no-sandbox --no-first-run "
                                        "--disable-background-networking "
                                        "--disable-component-update --disable-sync "
                                        "--user-data-dir='") +
                                    machine.scratch() + "/chromium' 'file://" + PLINKOR_SOURCE_DIR +
                                    "/examples/console.html'";
        if ((browser = fork()) == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    std::printf(
        "Board: answers each command with ok&<command>, a counter line every second. "
        "Close the window or press Ctrl+C to end.\n");
    std::fflush(stdout);

    std::size_t shown = 0;
    const timespec tick{0, 200'000'000};
    while (program.Running() && sigtimedwait(&ending, nullptr, &tick) < 0) {
        const auto lines = sim.Lines();
        for (; shown < lines.size(); ++shown) {
            std::printf("board got: %s\n", lines[shown].c_str());
        }
        std::fflush(stdout);
    }
    if (program.Running()) {
        program.Stop(SIGTERM);
    }
    if (browser > 0) {
        kill(browser, SIGTERM);
        waitpid(browser, nullptr, 0);
    }
    stop.store(true);
    if (carrier.joinable()) {
        carrier.join();
    }
    return 0;
}
