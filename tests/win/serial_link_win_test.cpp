// The serial link and its monitor thread over the Win32 port, with the board
// at the other end of the pseudo-terminal pair that scripts/test-win.sh maps.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/comm/serial_port.h"
#include "platform/sys/sys_error.h"
#include "serial/serial_link.h"
#include "support/recorder.h"
#include "support/window_headless.h"
#include "wine_support.h"

namespace plk {
namespace {

constexpr int kTimeout = 5000;

class WinSerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        mapped_ = test::MappedPortsFromEnvironment();
        if (!mapped_.present()) {
            GTEST_SKIP()
                << "no pseudo-terminal mapped as a COM port (scripts/test-win.sh maps one)";
        }
        board_ = platform::OpenSerialPort(mapped_.board);
        ASSERT_NE(board_, nullptr) << platform::ErrorText(platform::LastError());
        ASSERT_TRUE(board_->SetTimeouts({1000, 1000, 1000, 1000, 1000}));
        window_.SetTarget(&recorder_);
    }
    void TearDown() override {
        window_.Run([&] { link_.reset(); });
    }

    void OpenMonitored() {
        int opened = -1;
        window_.Run([&] {
            opened = link_->OpenPort(&window_, mapped_.port, 115200, 'N', 8, 1, 3, 512);
            EXPECT_EQ(link_->StartMonitor(), 1);
        });
        ASSERT_EQ(opened, 1);
        for (int i = 0; i < 500 && !link_->MonitorAlive(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The monitor purges the port as it starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    std::string BoardReceives(std::size_t count) {
        std::string got;
        uint8_t byte = 0;
        while (got.size() < count && board_->ReadByte(byte) == platform::IoStatus::kOk) {
            got.push_back(static_cast<char>(byte));
        }
        return got;
    }

    std::size_t Count(uint32_t message) const {
        std::size_t n = 0;
        for (const auto& m : recorder_.Messages()) {
            n += m.message == message ? 1 : 0;
        }
        return n;
    }

    test::MappedPorts mapped_;
    std::unique_ptr<platform::SerialPort> board_;
    test::Recorder recorder_;
    test::HeadlessWindow window_;
    std::unique_ptr<CSerialLink> link_ = std::make_unique<CSerialLink>();
};

TEST_F(WinSerialLinkTest, GreetingOutCommandOutLineBackWithoutBoxes) {
    OpenMonitored();
    window_.Run([&] { link_->QueueWrite("ready&ready&"); });
    EXPECT_EQ(BoardReceives(12), "ready&ready&");

    const std::string line = "ok&done\n";
    ASSERT_EQ(board_->Write(reinterpret_cast<const uint8_t*>(line.data()), line.size(), {}),
              platform::IoStatus::kOk);
    ASSERT_TRUE(recorder_.WaitForChars(line.size(), kTimeout));
    EXPECT_EQ(recorder_.Chars(), line);

    const std::string command = "/abc\n";
    link_->QueueWrite(reinterpret_cast<const uint8_t*>(command.data()),
                      static_cast<uint32_t>(command.size()));
    EXPECT_EQ(BoardReceives(command.size()), command);
    EXPECT_TRUE(window_.Boxes().empty());

    window_.Run([&] { link_->RequestClose(); });
    const platform::Waitable ended[] = {link_->MonitorEnded().waitable()};
    ASSERT_EQ(platform::WaitAny(ended, kTimeout), 0);
    EXPECT_FALSE(link_->HasPort());
    EXPECT_EQ(link_->MonitorExitCode(), kMonitorExitCode);
}

// The box names the step, carries the system's own text (through the wide
// call, as UTF-8) and the port, and the port still counts as open.
TEST_F(WinSerialLinkTest, AFailedConfigurationStepShowsOneBoxWithTheSystemsText) {
    int opened = -1;
    window_.Run(
        [&] { opened = link_->OpenPort(&window_, mapped_.port, 115200, 'X', 8, 1, 3, 512); });
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(link_->HasPort());
    const auto boxes = window_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Application Error");
    EXPECT_EQ(boxes[0].type, 0x10u);
    const std::string head = "WARNING:  BuildCommDCB() Failed with the following error: \n";
    const std::string tail = "\nPort: " + std::to_string(mapped_.port) + "\n";
    ASSERT_GT(boxes[0].text.size(), head.size() + tail.size());
    EXPECT_EQ(boxes[0].text.substr(0, head.size()), head);
    EXPECT_EQ(boxes[0].text.substr(boxes[0].text.size() - tail.size()), tail);
    const std::string systemText =
        boxes[0].text.substr(head.size(), boxes[0].text.size() - head.size() - tail.size());
    EXPECT_EQ(systemText.find("error "), std::string::npos) << systemText;
}

// With nothing coming from the board, the monitor sleeps: every wake-up of
// the port event sends the event-char notice, so a spinning monitor shows.
TEST_F(WinSerialLinkTest, AnIdlePortDoesNotWakeTheMonitor) {
    OpenMonitored();
    const std::size_t before = Count(WM_PORT_EVTCHAR);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(Count(WM_PORT_EVTCHAR) - before, 1u);
    EXPECT_TRUE(window_.Boxes().empty());
}

}  // namespace
}  // namespace plk
