// The serial link and its monitor thread over the Win32 port, with the board
// at the other end of the pseudo-terminal pair that scripts/test-win.sh maps.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "line_definition_cases.h"
#include "platform/comm/serial_port.h"
#include "platform/comm/serial_port_win.h"
#include "platform/sys/sys_error.h"
#include "serial/serial_link.h"
#include "support/comm_calls_double_win.h"
#include "support/recorder.h"
#include "support/wait.h"
#include "support/window_headless.h"
#include "wine_support.h"

namespace plk {
namespace {

using test::kTimeout, test::WaitSet;

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
        // The monitor purges the port as it starts.
        ASSERT_TRUE(WaitSet(link_->MonitorListening()));
    }

    std::string BoardReceives(std::size_t count) {
        std::string got;
        uint8_t byte = 0;
        while (got.size() < count && board_->ReadByte(byte) == platform::IoStatus::kOk) {
            got.push_back(static_cast<char>(byte));
        }
        return got;
    }

    void BoardSends(const std::string& bytes) {
        ASSERT_EQ(board_->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), {}),
                  platform::IoStatus::kOk);
    }

    // A command from the page, as the bridge stages it: once the last was taken.
    void PageSends(const std::string& command) {
        link_->WaitWriteTaken({});
        link_->QueueWrite(reinterpret_cast<const uint8_t*>(command.data()),
                          static_cast<uint32_t>(command.size()));
        link_->WaitWriteTaken({});
    }

    void CloseAndWait() {
        window_.Run([&] { link_->RequestClose(); });
        ASSERT_TRUE(WaitSet(link_->MonitorEnded()));
    }

    // A link whose port makes its calls on the device through `calls`.
    static std::unique_ptr<CSerialLink> LinkThrough(std::shared_ptr<test::CommCallsDouble> calls) {
        return std::make_unique<CSerialLink>(
            [calls](int portNumber) { return platform::OpenSerialPortThrough(portNumber, calls); });
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
    ASSERT_TRUE(WaitSet(link_->MonitorEnded()));
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

// A USB adapter pulled out, whichever call meets it first and whatever its
// driver calls it: the user gets one box, with the system's text for the
// code, and the page's commands after it bring none; the open button brings
// the board back.
TEST_F(WinSerialLinkTest, AnUnpluggedDeviceIsReportedOnceThenQuietAndReopens) {
    using Call = test::CommCallsDouble::Call;
    const struct {
        Call first;
        const char* name;
    } kCalls[] = {{Call::kWaitCommEvent, "event wait"},
                  {Call::kClearCommError, "queue query"},
                  {Call::kReadFile, "read"},
                  {Call::kWriteFile, "write"}};
    const DWORD kCodes[] = {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_DEV_NOT_EXIST,
                            ERROR_DEVICE_NOT_CONNECTED};
    auto calls = std::make_shared<test::CommCallsDouble>();
    link_ = LinkThrough(calls);
    for (const auto& call : kCalls) {
        for (const DWORD code : kCodes) {
            SCOPED_TRACE(std::string(call.name) + " fails with " + std::to_string(code));
            const std::size_t boxes = window_.Boxes().size();
            // Under Wine the driver waits for no events, so the event wait is
            // met only by a monitor that starts on a device already gone.
            const bool goneAtStart = call.first == Call::kWaitCommEvent;
            if (goneAtStart) {
                calls->Unplug(call.first, code);
            }
            OpenMonitored();
            if (!goneAtStart) {
                const std::size_t chars = recorder_.Chars().size();
                BoardSends("hi\n");
                ASSERT_TRUE(recorder_.WaitForChars(chars + 3, kTimeout));
                calls->Unplug(call.first, code);
            }
            // Only a write meets the write's failure; the rest are met by the
            // board's input alone, with no command to show the way.
            BoardSends("x\n");
            if (call.first != Call::kWriteFile) {
                ASSERT_TRUE(window_.WaitForBoxes(boxes + 1, kTimeout));
            }
            PageSends("/abc\n");
            ASSERT_TRUE(window_.WaitForBoxes(boxes + 1, kTimeout));
            for (const char* command : {"/1\n", "/2\n", "/3\n"}) {
                PageSends(command);
            }
            CloseAndWait();
            const auto shown = window_.Boxes();
            ASSERT_EQ(shown.size(), boxes + 1);
            EXPECT_NE(shown.back().text.find(platform::ErrorText(static_cast<int>(code))),
                      std::string::npos)
                << shown.back().text;
            EXPECT_TRUE(
                shown.back().text.ends_with("\nPort: " + std::to_string(mapped_.port) + "\n"));

            calls->PlugBackIn();
            OpenMonitored();
            window_.Run([&] { link_->QueueWrite("ready&ready&"); });
            EXPECT_EQ(BoardReceives(12), "ready&ready&");
            const std::size_t chars = recorder_.Chars().size();
            BoardSends("ok\n");
            ASSERT_TRUE(recorder_.WaitForChars(chars + 3, kTimeout));
            EXPECT_TRUE(recorder_.Chars().ends_with("ok\n"));
            CloseAndWait();
            EXPECT_EQ(window_.Boxes().size(), boxes + 1);
        }
    }
}

// A driver that never ends a cancelled request (clone USB-serial drivers do
// so after a removal), neither the event wait nor a write held up: the open
// button's close and the program's end still finish, within the bounds of
// the two cancels, and the two requests are kept rather than freed under it.
TEST_F(WinSerialLinkTest, ADriverThatNeverEndsACancelledRequestHoldsUpNeitherCloseNorExit) {
    using Call = test::CommCallsDouble::Call;
    for (const bool exiting : {false, true}) {
        SCOPED_TRACE(exiting ? "the program's end" : "the close button");
        auto calls = std::make_shared<test::CommCallsDouble>();
        calls->Hang(Call::kWaitCommEvent);
        calls->Hang(Call::kWriteFile);
        link_ = LinkThrough(calls);
        OpenMonitored();
        const std::size_t retained = platform::RetainedRequestCount();
        link_->QueueWrite("/abc\n");
        ASSERT_TRUE(WaitSet(calls->Hung(Call::kWriteFile)));

        const auto start = std::chrono::steady_clock::now();
        platform::Event closed;
        std::thread closer([&] {
            window_.Run([&] {
                if (exiting) {
                    link_.reset();
                } else {
                    link_->RequestClose();
                }
            });
            if (!exiting) {
                WaitSet(link_->MonitorEnded(), platform::kInfinite);
            }
            closed.Set();
        });
        if (!WaitSet(closed, 60000)) {
            ADD_FAILURE() << "the close still waits for the driver after a minute";
            std::_Exit(1);  // nothing else can end a wait on a request that never ends
        }
        closer.join();
        // Two cancels of at most the write time-out (1 s) each; the margin is generous.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(platform::RetainedRequestCount(), retained + 2);
        EXPECT_TRUE(window_.Boxes().empty());
    }
}

// The mapped port's settings, through a handle of its own while the link holds
// none: `change` gets the state read, and what it leaves is set when it returns true.
bool WithPortState(int portNumber, const std::function<bool(DCB&)>& change) {
    HANDLE port =
        ::CreateFileA(("\\\\.\\COM" + std::to_string(portNumber)).c_str(),
                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = ::GetCommState(port, &dcb) != 0;
    if (ok && change(dcb)) {
        ok = ::SetCommState(port, &dcb) != 0;
    }
    ::CloseHandle(port);
    return ok;
}

// From whatever state another program left the port in, the open leaves no
// flow control and no abort on a line error: the state is put on the device,
// the link opens it and lets it go, and the device's state is read back. On a
// pseudo-terminal Wine keeps only what termios holds, XON/XOFF both ways and
// CTS flow; DSR flow, DSR sensitivity and abort-on-error it drops, and the DTR
// and RTS controls it cannot read back (no modem lines), so those are checked
// on Windows only.
TEST_F(WinSerialLinkTest, OpenLeavesNoFlowControlWhateverStateThePortWasIn) {
    const bool wine = test::UnderWine();
    auto put = [&](const test::PortStateCase& row) {
        return WithPortState(mapped_.port, [&](DCB& dcb) {
            dcb.BaudRate = CBR_115200;  // Wine reads a pseudo-terminal's rate as 0
            dcb.fOutX = dcb.fInX = row.xon;
            dcb.fOutxCtsFlow = row.ctsFlow;
            dcb.fOutxDsrFlow = row.dsrFlow;
            dcb.fDsrSensitivity = row.dsrSensitivity;
            dcb.fAbortOnError = row.abortOnError;
            dcb.fDtrControl = static_cast<DWORD>(row.dtr);
            return true;
        });
    };
    for (const test::PortStateCase& row : test::kPortStateCases) {
        SCOPED_TRACE(row.state);
        ASSERT_TRUE(put(row)) << platform::ErrorText(static_cast<int>(::GetLastError()));
        window_.Run([&] {
            EXPECT_EQ(link_->OpenPort(&window_, mapped_.port, 115200, 'N', 8, 1, 3, 512), 1);
            link_ = std::make_unique<CSerialLink>();  // lets the port go
        });
        DCB after{};
        ASSERT_TRUE(WithPortState(mapped_.port, [&](DCB& dcb) {
            after = dcb;
            return false;
        }));
        EXPECT_FALSE(after.fOutX || after.fInX || after.fOutxCtsFlow);
        if (!wine) {
            EXPECT_FALSE(after.fOutxDsrFlow || after.fDsrSensitivity || after.fAbortOnError);
            EXPECT_EQ(after.fDtrControl, static_cast<DWORD>(row.dtr));
            EXPECT_EQ(after.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
        }
    }
    EXPECT_TRUE(window_.Boxes().empty());
    put(test::kPortStateCases[0]);  // no flow control, as the other tests expect
}

}  // namespace
}  // namespace plk
