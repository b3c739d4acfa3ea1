// From start to a page's answer: the dialog lists the system's ports, opens a
// pseudo-terminal board and starts the bridge server; a loopback client then
// talks to the board through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "app/bridge_dlg.h"
#include "platform/window_headless.h"
#include "support/fake_sysfs.h"
#include "support/pty_board.h"

namespace plk {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeout = 5000;

// The server may still be setting up its socket when the dialog returns.
constexpr auto kListenGrace = std::chrono::seconds(2);

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Sends `request` to 127.0.0.1:`port` and returns everything the server sends
// before it closes the connection; nullopt when nothing listens there.
std::optional<std::string> Exchange(int port, const std::string& request) {
    const auto deadline = Clock::now() + kListenGrace;
    for (;;) {
        Socket s;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (errno != ECONNREFUSED || Clock::now() > deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (send(s.fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            ADD_FAILURE() << "send failed";
            return std::string();
        }
        std::string answer;
        for (;;) {
            pollfd p{s.fd(), POLLIN, 0};
            if (poll(&p, 1, kTimeout) <= 0) {
                ADD_FAILURE() << "the server kept the connection open";
                return answer;
            }
            char buffer[1024];
            const ssize_t n = recv(s.fd(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                return answer;
            }
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
}

TEST(DialogBridge, BoardAndPageTalkThroughTheDialogFromStart) {
    test::FakeDevRoot dev;
    test::FakeSysRoot sys;
    test::PtyBoard board;
    // A built-in UART and, numbered higher, the board: the board is opened.
    sys.Write(sys.AddTty("ttyS0", "pnp0/00:04", "serial") + "/type", "4\n");
    sys.Write("devices/usb1/1-2/product", "Arduino Uno\n");
    sys.AddTty("ttyACM0", "usb1/1-2/1-2:1.0", "cdc_acm");
    dev.Link("ttyACM0", board.slavePath());

    g_portName.clear();
    g_modelText.clear();
    g_portOpen = 0;
    g_bridgeStarted = false;
    const int port = test::UnusedLoopbackPort();
    platform::HeadlessWindow window;
    auto dlg = std::make_unique<CBridgeDlg>(nullptr, static_cast<uint16_t>(port));
    dlg->Attach(&window);
    window.SetTarget(dlg.get());
    window.Run([&] {
        window.SetItemText(IDC_BTN_OPENPORT, "打开串口");
        window.SetItemText(IDC_TXT_LINKSTATE, "未连接");
        window.ComboInsert(IDC_CMB_MODEL, -1, "115200");
        EXPECT_NE(dlg->OnInitDialog(), 0);
    });
    struct Teardown {
        platform::HeadlessWindow& window;
        std::unique_ptr<CBridgeDlg>& dlg;
        ~Teardown() {
            window.Destroy();
            window.Run([&] { dlg.reset(); });
        }
    } teardown{window, dlg};

    EXPECT_EQ(window.ComboItems(IDC_CMB_PORT),
              (std::vector<std::string>{"COM1 ttyS0", "COM65 ttyACM0"}));
    EXPECT_EQ(window.ComboTip(IDC_CMB_PORT, 1), "Arduino Uno");
    EXPECT_EQ(board.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(g_portName, "COM65 ttyACM0");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(window.ItemText(IDC_BTN_OPENPORT), "关闭串口");
    EXPECT_TRUE(dlg->BridgeRunning());
    EXPECT_TRUE(window.Boxes().empty());

    const auto none = Exchange(port, "GET /abc HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (!none) {
        GTEST_SKIP() << "the bridge server does not listen yet";
    }
    EXPECT_EQ(*none, "");  // a command gets no answer
    EXPECT_EQ(board.Receive(5, kTimeout), "/abc\n");

    board.Send("ok&done\n");
    std::string answer;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeout);
    while (answer.empty() && Clock::now() < deadline) {
        answer = Exchange(port, "GET /poll HTTP/1.1\r\n\r\n").value_or("");
    }
    EXPECT_EQ(answer.rfind("HTTP/1.", 0), 0u) << answer;
    EXPECT_NE(answer.find("ok\ndone"), std::string::npos) << answer;
    // The server sets the link state once it has answered.
    for (auto until = Clock::now() + std::chrono::milliseconds(kTimeout);
         window.ItemText(IDC_TXT_LINKSTATE) != "已连接" && Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(window.ItemText(IDC_TXT_LINKSTATE), "已连接");
}

}  // namespace
}  // namespace plk
