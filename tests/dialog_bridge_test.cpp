// From start to a page's answer: the dialog lists the system's ports, opens a
// pseudo-terminal board and starts the bridge server; a loopback client then
// talks to the board through it.
#include <gtest/gtest.h>

#include <string>

#include "app/bridge_dlg.h"
#include "platform/comm/port_list_linux.h"
#include "support/fake_sysfs.h"
#include "support/loopback_client.h"
#include "support/pty_board.h"
#include "support/wait.h"
#include "support/window_headless.h"

namespace plk {
namespace {

using test::kTimeout, test::WaitUntil;

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
    const uint16_t port = test::FreeLoopbackPort();
    test::HeadlessWindow window;
    auto dlg = std::make_unique<CBridgeDlg>(
        std::make_unique<platform::SysfsPortListSource>(sys.path(), dev.path()),
        static_cast<uint16_t>(port), dev.Opener());
    dlg->Attach(&window);
    window.SetTarget(dlg.get());
    window.Run([&] {
        window.SetItemText(IDC_BTN_OPENPORT, "打开串口");
        window.SetItemText(IDC_TXT_LINKSTATE, "未连接");
        EXPECT_NE(dlg->OnInitDialog(), 0);
    });
    struct Teardown {
        test::HeadlessWindow& window;
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

    // The server may still be setting up its socket when the dialog returns.
    ASSERT_TRUE(WaitUntil([&] { return test::LoopbackClient(port).connected(); }, 2000));
    const auto none = test::Exchange(port, "GET /abc HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(none.data, "");  // a command gets no answer
    EXPECT_EQ(none.end, test::StreamEnd::kOrderly);
    EXPECT_EQ(board.Receive(5, kTimeout), "/abc\n");

    board.Send("ok&done\n");
    std::string answer;
    WaitUntil([&] {
        return !(answer = test::Exchange(port, "GET /poll HTTP/1.1\r\n\r\n").data).empty();
    });
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\nok\ndone\r\n")) << answer;
    // The server sets the link state once it has answered.
    WaitUntil([&] { return window.ItemText(IDC_TXT_LINKSTATE) == "已连接"; });
    EXPECT_EQ(window.ItemText(IDC_TXT_LINKSTATE), "已连接");
}

}  // namespace
}  // namespace plk
