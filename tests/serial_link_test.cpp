// The serial link and its monitor thread, with a pseudo-terminal as the board.
#include "serial/serial_link.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <thread>

#include "line_definition_cases.h"
#include "platform/comm/serial_port.h"
#include "support/pty_board.h"
#include "support/recorder.h"
#include "support/wait.h"
#include "support/window_headless.h"

namespace plk {
namespace {

using test::HeadlessWindow, test::Message, test::kTimeout, test::WaitSet, test::WaitUntil;

constexpr int kPort = 33;  // ttyUSB0
// How long a stop may take whatever the board does: a few hand-offs of a byte.
#if PLINKOR_SANITIZED
constexpr auto kPrompt = std::chrono::milliseconds(500);
#else
constexpr auto kPrompt = std::chrono::milliseconds(100);
#endif
using Clock = std::chrono::steady_clock;

// `count` bytes delivered in all, and the event-char notice after the last one.
auto CharsThenEventCharNotice(std::size_t count) {
    return [count](const std::vector<Message>& all) {
        const auto chars = std::count_if(
            all.begin(), all.end(), [](const Message& m) { return m.message == WM_PORT_CHAR; });
        return static_cast<std::size_t>(chars) == count && all.back().message == WM_PORT_EVTCHAR;
    };
}

// The device as opened, passing every call on; keeps the last settings applied.
// Given a state, it reports that state over what the device holds.
class SettingsSpy final : public platform::SerialPort {
public:
    SettingsSpy(std::unique_ptr<platform::SerialPort> port, platform::LineSettings& applied,
                const test::PortStateCase* reported = nullptr)
        : port_(std::move(port)), applied_(applied), reported_(reported) {}
    bool SetTimeouts(const platform::CommTimeouts& t) override { return port_->SetTimeouts(t); }
    bool SetEventMask(uint32_t mask) override { return port_->SetEventMask(mask); }
    bool GetEventMask(uint32_t& mask) override { return port_->GetEventMask(mask); }
    bool GetLineSettings(platform::LineSettings& s) override {
        if (!port_->GetLineSettings(s)) {
            return false;
        }
        if (reported_ != nullptr) {
            reported_->LayOver(s);
        }
        return true;
    }
    bool SetLineSettings(const platform::LineSettings& s) override {
        applied_ = s;
        return port_->SetLineSettings(s);
    }
    bool Purge() override { return port_->Purge(); }
    bool DrainThenPurge(platform::Waitable stop) override { return port_->DrainThenPurge(stop); }
    bool DropInput() override { return port_->DropInput(); }
    platform::DiscardedInput TakeDiscarded() override { return port_->TakeDiscarded(); }
    platform::EventWaitStart StartEventWait() override { return port_->StartEventWait(); }
    platform::Waitable waitable() const override { return port_->waitable(); }
    platform::IoStatus InputQueue(uint32_t& count) override { return port_->InputQueue(count); }
    platform::IoStatus ReadByte(uint8_t& byte) override { return port_->ReadByte(byte); }
    platform::IoStatus Write(const uint8_t* data, std::size_t length,
                             platform::Waitable stop) override {
        return port_->Write(data, length, stop);
    }

private:
    std::unique_ptr<platform::SerialPort> port_;
    platform::LineSettings& applied_;
    const test::PortStateCase* reported_;
};

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev_.Link("ttyUSB0", board_.slavePath());
        window_.SetTarget(&recorder_);
    }
    void TearDown() override {
        window_.Run([&] { link_.reset(); });
    }

    int Open(int port = kPort, int baud = 115200, char parity = 'N', uint32_t mask = 3) {
        int result = -1;
        window_.Run(
            [&] { result = link_->OpenPort(&window_, port, baud, parity, 8, 1, mask, 512); });
        return result;
    }
    void OpenMonitored() {
        ASSERT_EQ(Open(), 1);
        // A request staged as soon as the start returns is one a monitor
        // will take: it must not count as staged with no monitor.
        window_.Run([&] {
            EXPECT_EQ(link_->StartMonitor(), 1);
            EXPECT_TRUE(link_->MonitorAlive());
        });
        // The monitor purges the port as it starts; a board that speaks before
        // that would be talking to nobody.
        ASSERT_TRUE(WaitSet(link_->MonitorListening()));
    }
    void Close() {
        window_.Run([&] { link_->RequestClose(); });
        ASSERT_TRUE(WaitSet(link_->MonitorEnded()));
        // The flag is lowered after the port is closed; reading it orders this
        // thread after the close, which the event alone does not.
        ASSERT_FALSE(link_->MonitorAlive());
    }

    test::FakeDevRoot dev_;
    test::PtyBoard board_;
    test::Recorder recorder_;
    HeadlessWindow window_;
    std::unique_ptr<CSerialLink> link_ = std::make_unique<CSerialLink>(dev_.Opener());
};

TEST_F(SerialLinkTest, MissingPortGivesZeroWithoutABoxAndLeavesTheLinkUsable) {
    EXPECT_EQ(Open(34), 0);  // ttyUSB1 does not exist
    EXPECT_EQ(Open(0), 0);   // no device has number 0
    EXPECT_FALSE(link_->HasPort());
    EXPECT_TRUE(window_.Boxes().empty());
    EXPECT_EQ(Open(), 1);
    EXPECT_TRUE(link_->HasPort());
}

TEST_F(SerialLinkTest, PortHeldByAnotherOpenerFailsUntilItIsReleased) {
    OpenMonitored();
    CSerialLink other(dev_.Opener());
    int result = -1;
    window_.Run([&] { result = other.OpenPort(&window_, kPort, 115200, 'N', 8, 1, 3, 512); });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(window_.Boxes().empty());
    Close();
    window_.Run([&] { result = other.OpenPort(&window_, kPort, 115200, 'N', 8, 1, 3, 512); });
    EXPECT_EQ(result, 1);
}

TEST_F(SerialLinkTest, LineSettingsReadBackFromTheDevice) {
    ASSERT_EQ(Open(), 1);
    termios t{};
    ASSERT_EQ(tcgetattr(board_.slaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(window_.Boxes().empty());
}

// A port another program left with XON/XOFF and CTS flow (`stty raw ixon ixoff
// crtscts`) carries the board's 0x11 and 0x13 bytes like any other, and an
// XOFF from the board holds no command back.
TEST_F(SerialLinkTest, APortLeftWithFlowControlCarriesXonXoffBytesAndCommands) {
    termios t{};
    ASSERT_EQ(tcgetattr(board_.slaveFd(), &t), 0);
    cfmakeraw(&t);
    t.c_iflag |= IXON | IXOFF;
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(board_.slaveFd(), TCSANOW, &t), 0);
    OpenMonitored();

    const std::string line =
        "a\x11"
        "b\x13"
        "c\n";
    board_.Send(line);
    EXPECT_TRUE(recorder_.WaitForChars(line.size(), kTimeout)) << recorder_.Chars();
    EXPECT_EQ(recorder_.Chars(), line);
    window_.Run([&] { link_->QueueWrite("/abc\n"); });
    EXPECT_EQ(board_.Receive(5, kTimeout), "/abc\n");
    EXPECT_TRUE(window_.Boxes().empty());
}

// From whatever state another program left the port in, the open leaves no
// flow control and no abort on a line error, RTS disabled and DTR as it was.
// The pseudo-terminal holds XON/XOFF and CTS flow itself; the rest, which a
// tty does not have, the device is made to report.
TEST_F(SerialLinkTest, OpenLeavesNoFlowControlWhateverStateThePortWasIn) {
    for (const test::PortStateCase& row : test::kPortStateCases) {
        SCOPED_TRACE(row.state);
        termios t{};
        ASSERT_EQ(tcgetattr(board_.slaveFd(), &t), 0);
        cfmakeraw(&t);
        t.c_iflag = (t.c_iflag & ~(IXON | IXOFF | IXANY)) | (row.xon ? IXON | IXOFF | IXANY : 0);
        t.c_cflag = (t.c_cflag & ~CRTSCTS) | (row.ctsFlow ? CRTSCTS : 0);
        ASSERT_EQ(tcsetattr(board_.slaveFd(), TCSANOW, &t), 0);
        platform::LineSettings applied;
        applied.evtChar = 0;
        link_ = std::make_unique<CSerialLink>([&](int n) -> std::unique_ptr<platform::SerialPort> {
            auto port = dev_.Opener()(n);
            return port ? std::make_unique<SettingsSpy>(std::move(port), applied, &row) : nullptr;
        });
        ASSERT_EQ(Open(), 1);
        EXPECT_FALSE(applied.outX || applied.inX || applied.outxCtsFlow || applied.outxDsrFlow ||
                     applied.dsrSensitivity || applied.abortOnError);
        EXPECT_EQ(applied.rtsControl, platform::RtsControl::kDisable);
        EXPECT_EQ(applied.dtrControl, row.dtr);
        EXPECT_EQ(applied.evtChar, 'q');
        ASSERT_EQ(tcgetattr(board_.slaveFd(), &t), 0);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    }
    EXPECT_TRUE(window_.Boxes().empty());
}

TEST_F(SerialLinkTest, ConfigurationFailureIsReportedOnceAndStillCountsAsOpen) {
    // A rate the device does not offer fails the last step; a parity letter
    // that is no parity fails the definition text.
    EXPECT_EQ(Open(kPort, 12345), 1);
    EXPECT_EQ(Open(kPort, 115200, 'X'), 1);
    const auto boxes = window_.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Application Error");
    EXPECT_EQ(boxes[0].type, 0x10u);
    EXPECT_TRUE(std::regex_match(
        boxes[0].text,
        std::regex(
            "WARNING:  SetCommState\\(\\) Failed with the following error: \n.+\nPort: 33\n")))
        << boxes[0].text;
    EXPECT_EQ(
        boxes[1].text.rfind("WARNING:  BuildCommDCB() Failed with the following error: \n", 0), 0u)
        << boxes[1].text;
    EXPECT_TRUE(link_->HasPort());
}

TEST_F(SerialLinkTest, ErrorBoxesAreShownOutsideThePortLock) {
    std::atomic<int> lockFreeDuringBox{-1};
    window_.SetBoxHook(
        [&](const HeadlessWindow::Box&) { lockFreeDuringBox = link_->PortLockFree() ? 1 : 0; });
    EXPECT_EQ(Open(kPort, 115200, 'X'), 1);
    EXPECT_EQ(lockFreeDuringBox.load(), 1);
}

TEST_F(SerialLinkTest, QueuedRequestsReachTheBoardExactly) {
    OpenMonitored();
    window_.Run([&] { link_->QueueWrite("ready&ready&"); });
    EXPECT_EQ(board_.Receive(12, kTimeout), "ready&ready&");
    const uint8_t command[] = {'/', 'a', 'b', 'c', '\n'};
    link_->QueueWrite(command, 5);
    EXPECT_EQ(board_.Receive(5, kTimeout), "/abc\n");
    EXPECT_EQ(board_.Drain(100), "");  // no terminating zero, nothing twice
}

TEST_F(SerialLinkTest, RequestsWithoutAMonitorAreNeverWritten) {
    const uint8_t early[] = {'e'};
    link_->QueueWrite(early, 1);  // before any open: nowhere to go
    OpenMonitored();
    Close();
    window_.Run([&] { link_->QueueWrite("late"); });
    EXPECT_EQ(board_.Drain(100), "");
    OpenMonitored();
    EXPECT_EQ(board_.Drain(200), "");
    window_.Run([&] { link_->QueueWrite("now"); });
    EXPECT_EQ(board_.Receive(3, kTimeout), "now");
}

TEST_F(SerialLinkTest, ReceivedBytesReachTheOwnerInOrderThenTheEventCharNotice) {
    OpenMonitored();
    board_.Send("ok\n");
    ASSERT_TRUE(recorder_.WaitUntil(CharsThenEventCharNotice(3), kTimeout));
    const auto all = recorder_.Messages();
    std::vector<Message> chars;
    for (const Message& m : all) {
        EXPECT_TRUE(m.message == WM_PORT_CHAR || m.message == WM_PORT_EVTCHAR) << m.message;
        EXPECT_EQ(m.lParam, kPort);
        if (m.message == WM_PORT_CHAR) {
            chars.push_back(m);
        } else {
            EXPECT_EQ(m.wParam, 0u);
        }
    }
    ASSERT_EQ(chars.size(), 3u);
    EXPECT_EQ(chars[0].wParam, 0x6Fu);
    EXPECT_EQ(chars[1].wParam, 0x6Bu);
    EXPECT_EQ(chars[2].wParam, 0x0Au);

    board_.Send("\xff\x80");
    ASSERT_TRUE(recorder_.WaitUntil(CharsThenEventCharNotice(5), kTimeout));
    const auto after = recorder_.Chars();
    EXPECT_EQ(static_cast<unsigned char>(after[3]), 255u);
    EXPECT_EQ(static_cast<unsigned char>(after[4]), 128u);
}

TEST_F(SerialLinkTest, ShutdownBeatsAWriteSignalledWithItAndEndsTheMonitor) {
    OpenMonitored();
    // Hold the monitor inside its send of the first byte while both requests
    // are made, so that it finds them signalled together.
    platform::Event inSend, release;
    recorder_.SetHook([&](const Message& m) {
        if (m.message == WM_PORT_CHAR) {
            inSend.Set();
            WaitSet(release);
        }
    });
    board_.Send("x");
    ASSERT_TRUE(WaitSet(inSend));
    link_->QueueWrite(reinterpret_cast<const uint8_t*>("never"), 5);
    link_->RequestClose();
    release.Set();
    ASSERT_TRUE(WaitSet(link_->MonitorEnded()));
    EXPECT_EQ(board_.Drain(150), "");
    EXPECT_EQ(link_->MonitorExitCode(), kMonitorExitCode);
    EXPECT_FALSE(link_->MonitorAlive());
    EXPECT_FALSE(link_->HasPort());
}

// Input a purge throws away unread is reported, so that the line it cut is not
// taken up part-way: at the monitor's start (what came since the open) and
// before a write (what came while the monitor was busy). A write request ends
// the read step, so the purge before it finds the rest of the queue.
TEST_F(SerialLinkTest, InputThrownAwayByAPurgeIsReportedWithWhereItEnded) {
    struct Row {
        std::string meanwhile;
        std::vector<int> reported;  // WM_PORT_DISCARD's wParam, at each purge
    };
    const Row rows[] = {{"tail of a line", {1}}, {"whole\n", {0}}, {"", {}}};
    const auto boardSendsUnread = [&](const std::string& bytes) {
        board_.Send(bytes);
        int waiting = 0;
        WaitUntil([&] {
            return ioctl(board_.slaveFd(), TIOCINQ, &waiting) == 0 &&
                   waiting >= static_cast<int>(bytes.size());
        });
    };
    // What the owner was told since message `from`; "sync" is written after
    // every report the monitor makes before it.
    const auto toldSince = [&](std::size_t from, std::string& chars) {
        window_.Run([&] { link_->QueueWrite("sync"); });
        EXPECT_EQ(board_.Receive(4, kTimeout), "sync");
        std::vector<int> discards;
        const auto all = recorder_.Messages();
        for (std::size_t i = from; i < all.size(); ++i) {
            if (all[i].message == WM_PORT_DISCARD) {
                discards.push_back(static_cast<int>(all[i].wParam));
            } else if (all[i].message == WM_PORT_CHAR) {
                chars.push_back(static_cast<char>(all[i].wParam));
            }
        }
        return discards;
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.meanwhile);
        ASSERT_EQ(Open(), 1);
        std::size_t from = recorder_.Messages().size();
        boardSendsUnread(row.meanwhile);
        window_.Run([&] { link_->StartMonitor(); });
        std::string chars;
        EXPECT_EQ(toldSince(from, chars), row.reported);
        EXPECT_EQ(chars, "");

        // The monitor is held in its send of "x" while the rest comes and a
        // command is queued.
        platform::Event inSend, release;
        recorder_.SetHook([&](const Message& m) {
            if (m.message == WM_PORT_CHAR) {
                inSend.Set();
                WaitSet(release);
            }
        });
        from = recorder_.Messages().size();
        board_.Send("x");
        ASSERT_TRUE(WaitSet(inSend));
        recorder_.SetHook({});
        boardSendsUnread(row.meanwhile);
        link_->QueueWrite(reinterpret_cast<const uint8_t*>("cmd\n"), 4);
        release.Set();
        EXPECT_EQ(board_.Receive(4, kTimeout), "cmd\n");
        chars.clear();
        EXPECT_EQ(toldSince(from, chars), row.reported);
        EXPECT_EQ(chars, "x");
        Close();
    }
}

TEST_F(SerialLinkTest, CloseThenOpenReopensAndTheOldShutdownDoesNotStopTheNewMonitor) {
    OpenMonitored();
    Close();
    EXPECT_FALSE(link_->HasPort());
    OpenMonitored();
    window_.Run([&] { link_->QueueWrite("again"); });
    EXPECT_EQ(board_.Receive(5, kTimeout), "again");
    EXPECT_TRUE(link_->MonitorAlive());
}

TEST_F(SerialLinkTest, OpenOnAMonitoredLinkStopsTheOldMonitorFirst) {
    OpenMonitored();
    // The port is held exclusively: the new open only succeeds once the old
    // monitor has closed it.
    EXPECT_EQ(Open(), 1);
    EXPECT_TRUE(link_->MonitorEnded().IsSet());
    EXPECT_EQ(link_->MonitorExitCode(), kMonitorExitCode);
    window_.Run([&] { link_->StartMonitor(); });
    window_.Run([&] { link_->QueueWrite("hi"); });
    EXPECT_EQ(board_.Receive(2, kTimeout), "hi");
}

TEST_F(SerialLinkTest, OpenWhileTheMonitorIsBlockedSendingDoesNotDeadlock) {
    OpenMonitored();
    // The owner is slow, so the monitor spends its time waiting in a send to the
    // very thread that now asks it to stop.
    recorder_.SetHook(
        [](const Message&) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    board_.Send(std::string(200, 'z'));
    ASSERT_TRUE(recorder_.WaitForChars(5, kTimeout));
    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(link_->MonitorExitCode(), kMonitorExitCode);
}

TEST_F(SerialLinkTest, DestroyingAMonitoredLinkWaitsForThePortToClose) {
    OpenMonitored();
    window_.Run([&] { link_.reset(); });
    CSerialLink other(dev_.Opener());  // the port is free again at once
    int result = -1;
    window_.Run([&] { result = other.OpenPort(&window_, kPort, 115200, 'N', 8, 1, 3, 512); });
    EXPECT_EQ(result, 1);
}

TEST_F(SerialLinkTest, BackToBackCommandsArriveWhole) {
    OpenMonitored();
    // Each command is queued once the monitor has taken the one before; none may
    // be cut short by the purge that precedes the next write.
    constexpr int kCommands = 200;
    std::thread writer([&] {
        for (int i = 0; i < kCommands; ++i) {
            char text[32];
            std::snprintf(text, sizeof text, "cmd%03d-abcdefghij\n", i);
            link_->QueueWrite(reinterpret_cast<const uint8_t*>(text), 18);
            WaitUntil([&] { return !link_->WriteRequested(); });
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::string received = board_.Receive(kCommands * 18, 10000);
    writer.join();
    received += board_.Drain(200);
    const std::regex line("cmd(\\d{3})-abcdefghij\n");
    int last = -1, whole = 0;
    for (std::sregex_iterator it(received.begin(), received.end(), line), end; it != end; ++it) {
        EXPECT_EQ(it->position(), whole * 18) << "a command was cut: " << received;
        const int index = std::stoi((*it)[1]);
        EXPECT_GT(index, last);
        last = index;
        ++whole;
    }
    EXPECT_EQ(static_cast<std::size_t>(whole) * 18, received.size());
    EXPECT_GE(whole, kCommands * 3 / 4);  // a request may still replace one not yet taken
}

TEST_F(SerialLinkTest, AFloodingBoardHoldsUpNeitherCloseNorReopenNorDestruction) {
    OpenMonitored();
    test::BoardFlood flood(board_);
    ASSERT_TRUE(recorder_.WaitForChars(2000, kTimeout));

    auto start = Clock::now();
    window_.Run([&] { link_->RequestClose(); });
    EXPECT_TRUE(WaitSet(link_->MonitorEnded(), static_cast<int>(kPrompt.count())))
        << "the monitor kept reading after the stop request";
    ASSERT_TRUE(WaitSet(link_->MonitorEnded()));

    start = Clock::now();
    EXPECT_EQ(Open(), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    window_.Run([&] { EXPECT_EQ(link_->StartMonitor(), 1); });
    const std::size_t before = recorder_.Chars().size();
    EXPECT_TRUE(recorder_.WaitForChars(before + 1000, kTimeout)) << "the new monitor reads nothing";

    // Over a running monitor this time: OpenPort's own stop.
    start = Clock::now();
    EXPECT_EQ(Open(), 1);
    window_.Run([&] { link_->StartMonitor(); });
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    start = Clock::now();
    window_.Run([&] { link_.reset(); });
    EXPECT_LT(Clock::now() - start, kPrompt);
}

// Records "r<5 digits>\n" as the board received them; fails on anything else.
std::vector<int> Records(const std::string& received) {
    std::vector<int> indices;
    const std::regex record("r(\\d{5})\n");
    std::size_t at = 0;
    for (std::sregex_iterator it(received.begin(), received.end(), record), end; it != end; ++it) {
        EXPECT_EQ(static_cast<std::size_t>(it->position()), at) << "torn at " << at;
        at = static_cast<std::size_t>(it->position() + it->length());
        indices.push_back(std::stoi((*it)[1]));
    }
    EXPECT_EQ(at, received.size()) << "trailing bytes";
    return indices;
}

// Stages `count` distinct records from another thread, back to back; with
// `waitTaken`, each only once the link has taken the one before (and none
// after a take that never came).
std::vector<int> StageRecords(CSerialLink& link, test::PtyBoard& board, int count, bool waitTaken) {
    std::string received;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            received += board.Receive(1 << 16, 20);
        }
        received += board.Drain(300);
    });
    const platform::Event neverStopped;
    for (int i = 0; i < count; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "r%05d\n", i);
        const auto start = Clock::now();
        if (waitTaken && (!link.WaitWriteTaken(neverStopped.waitable()) ||
                          Clock::now() - start >= std::chrono::milliseconds(kWriteTimeoutMs))) {
            ADD_FAILURE() << "record " << i - 1 << " was never taken";
            break;
        }
        link.QueueWrite(reinterpret_cast<const uint8_t*>(text), 7);
    }
    done = true;
    reader.join();
    return Records(received);
}

TEST_F(SerialLinkTest, BackToBackRequestsAreNeverWrittenTwice) {
    OpenMonitored();
    const std::vector<int> indices = StageRecords(*link_, board_, 3000, false);
    ASSERT_FALSE(indices.empty());
    EXPECT_EQ(indices.back(), 2999) << "the last request is never replaced";
    for (std::size_t i = 1; i < indices.size(); ++i) {
        ASSERT_LT(indices[i - 1], indices[i]) << "written twice or out of order";
    }
}

// Whether the board is quiet or talks faster than it is read: a board printing
// in a loop must not hold a command back (the read step makes way for it).
TEST_F(SerialLinkTest, RequestsStagedOnceTheLastWasTakenAllArriveOnceInOrder) {
    OpenMonitored();
    for (const bool flooding : {false, true}) {
        SCOPED_TRACE(flooding ? "flooding board" : "quiet board");
        std::optional<test::BoardFlood> flood;
        if (flooding) {
            flood.emplace(board_);
            ASSERT_TRUE(recorder_.WaitForChars(1000, kTimeout));
        }
        const int count = flooding ? 500 : 3000;
        const std::vector<int> indices = StageRecords(*link_, board_, count, true);
        ASSERT_EQ(indices.size(), static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(indices[static_cast<std::size_t>(i)], i);
        }
    }
}

TEST_F(SerialLinkTest, WaitingForTheTakeEndsAtOnceWithoutAMonitorAndAtTheBoundOnAStuckOne) {
    const platform::Event neverStopped;
    // Never opened, and opened without a monitor: nobody will take a request.
    link_->QueueWrite(reinterpret_cast<const uint8_t*>("a"), 1);
    auto start = Clock::now();
    EXPECT_TRUE(link_->WaitWriteTaken(neverStopped.waitable()));
    ASSERT_EQ(Open(), 1);
    link_->QueueWrite(reinterpret_cast<const uint8_t*>("b"), 1);
    EXPECT_TRUE(link_->WaitWriteTaken(neverStopped.waitable()));
    EXPECT_LT(Clock::now() - start, kPrompt);

    // A monitor held in a send to a busy owner takes nothing; the wait gives
    // up after the write time-out and the caller's request then replaces it.
    window_.Run([&] { link_->StartMonitor(); });
    // The hook may still run on the window's thread after this body ends.
    const auto held = std::make_shared<std::pair<platform::Event, platform::Event>>();
    platform::Event& inSend = held->first;
    platform::Event& release = held->second;
    recorder_.SetHook([held](const Message& m) {
        if (m.message == WM_PORT_CHAR) {
            held->first.Set();
            WaitSet(held->second);
        }
    });
    // The new monitor writes what was staged before it ran; its purge must not
    // throw the board's byte away.
    EXPECT_EQ(board_.Receive(1, kTimeout), "b");
    board_.Send("x");
    ASSERT_TRUE(WaitSet(inSend));
    link_->QueueWrite(reinterpret_cast<const uint8_t*>("c"), 1);
    start = Clock::now();
    EXPECT_TRUE(link_->WaitWriteTaken(neverStopped.waitable()));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    // A stop of the waiter's own ends the wait at once.
    platform::Event stop;
    stop.Set();
    start = Clock::now();
    EXPECT_FALSE(link_->WaitWriteTaken(stop.waitable()));
    EXPECT_LT(Clock::now() - start, kPrompt);
    release.Set();
}

TEST_F(SerialLinkTest, AStopEndsAWriteThatFlowControlHoldsUp) {
    OpenMonitored();
    // The board says XOFF and never reads: with output flow control on, the
    // device holds the link's output back, as a UART whose CTS stays low does.
    termios t{};
    ASSERT_EQ(tcgetattr(board_.slaveFd(), &t), 0);
    t.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(board_.slaveFd(), TCSANOW, &t), 0);
    // The device takes its input in order: once the byte after the XOFF has
    // been read, the XOFF is in force.
    board_.Send("\x13z");
    ASSERT_TRUE(recorder_.WaitForChars(1, kTimeout));
    const std::string big(511, 'w');
    window_.Run([&] { link_->QueueWrite(big.c_str()); });
    // Taken: the write is under way (or waiting for earlier output) and cannot end.
    ASSERT_TRUE(WaitUntil([&] { return !link_->WriteRequested(); }));
    ASSERT_TRUE(link_->MonitorAlive());
    const auto start = Clock::now();
    window_.Run([&] { link_->RequestClose(); });
    EXPECT_TRUE(WaitSet(link_->MonitorEnded(), static_cast<int>(kPrompt.count())))
        << "the monitor stayed in its write after the stop request";
    ASSERT_TRUE(WaitSet(link_->MonitorEnded()));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(SerialLinkTest, BoardHangUpIsReportedOnceWithoutSpinningAndTheLinkRecovers) {
    OpenMonitored();
    board_.HangUp();
    ASSERT_TRUE(window_.WaitForBoxes(1, kTimeout));
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpuSeconds = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuSeconds, 0.05);
    window_.Run([&] { link_->QueueWrite("into the void"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto boxes = window_.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("WARNING:  ReadFile() Failed with the following error: \n", 0),
              0u)
        << boxes[0].text;
    EXPECT_TRUE(boxes[0].text.ends_with("\nPort: 33\n"));

    test::PtyBoard back;
    dev_.Link("ttyUSB0", back.slavePath());
    window_.Run([&] { link_->RequestClose(); });
    OpenMonitored();
    window_.Run([&] { link_->QueueWrite("ready&ready&"); });
    EXPECT_EQ(back.Receive(12, kTimeout), "ready&ready&");
    back.Send("hi\n");
    EXPECT_TRUE(recorder_.WaitForChars(3, kTimeout));
    window_.Run([&] { link_.reset(); });
}

// A device that keeps signalling input while every queue query fails (but the
// device is not gone): the monitor must pause between tries, not spin.
class FailingQueuePort final : public platform::SerialPort {
public:
    explicit FailingQueuePort(std::atomic<int>& queries) : queries_(queries) { signalled_.Set(); }
    bool SetTimeouts(const platform::CommTimeouts&) override { return true; }
    bool SetEventMask(uint32_t mask) override { return mask_ = mask, true; }
    bool GetEventMask(uint32_t& mask) override { return mask = mask_, true; }
    bool GetLineSettings(platform::LineSettings&) override { return true; }
    bool SetLineSettings(const platform::LineSettings&) override { return true; }
    bool Purge() override { return true; }
    bool DrainThenPurge(platform::Waitable) override { return true; }
    bool DropInput() override { return true; }
    platform::DiscardedInput TakeDiscarded() override { return {}; }
    platform::EventWaitStart StartEventWait() override {
        return platform::EventWaitStart::kPending;
    }
    platform::Waitable waitable() const override { return signalled_.waitable(); }
    platform::IoStatus InputQueue(uint32_t&) override {
        ++queries_;
        return platform::IoStatus::kFailed;
    }
    platform::IoStatus ReadByte(uint8_t&) override { return platform::IoStatus::kFailed; }
    platform::IoStatus Write(const uint8_t*, std::size_t, platform::Waitable) override {
        return platform::IoStatus::kOk;
    }

private:
    std::atomic<int>& queries_;
    platform::Event signalled_;
    uint32_t mask_ = 0;
};

TEST(SerialLinkFailures, AQueueQueryThatKeepsFailingDoesNotSpinTheMonitor) {
    std::atomic<int> queries{0};
    CSerialLink link([&](int) { return std::make_unique<FailingQueuePort>(queries); });
    ASSERT_EQ(link.OpenPort(nullptr, 1, 115200, 'N', 8, 1, 3, 512), 1);
    ASSERT_EQ(link.StartMonitor(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int seen = queries.load();
    link.RequestClose();
    EXPECT_TRUE(WaitSet(link.MonitorEnded()));
    EXPECT_GE(seen, 2);   // it does keep trying
    EXPECT_LE(seen, 50);  // but not thousands of times a second
}

// With no thread to be had, StartMonitor says so and the port stays open,
// instead of the exception ending the program.
TEST(SerialLinkStart, NoThreadToBeHadGivesZeroAndKeepsThePort) {
#if PLINKOR_SANITIZED
    GTEST_SKIP() << "the sanitizers' runtimes need address space of their own";
#endif
    // A fresh process: one that ran threads before keeps their stacks for
    // reuse, and a new thread would get one of those without asking for memory.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::FakeDevRoot dev;
    test::PtyBoard board;
    dev.Link("ttyUSB0", board.slavePath());
    const auto startWithoutRoom = [&] {
        CSerialLink link(dev.Opener());
        if (link.OpenPort(nullptr, kPort, 115200, 'N', 8, 1, 3, 512) != 1) {
            _exit(2);
        }
        // Room for little more than what the process holds: no thread stack fits.
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t bytes = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (1 << 20);
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_AS, &limit);
        const int started = link.StartMonitor();
        _exit(started == 0 && link.HasPort() ? 0 : 1);
    };
    EXPECT_EXIT(startWithoutRoom(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace plk

namespace plk::platform {
namespace {

// The device layer as the link opens it, on a pseudo-terminal board.
class PosixSerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        dev_.Link("ttyACM0", board_.slavePath());
        port_ = dev_.Opener()(65);
        ASSERT_TRUE(port_);
    }

    test::FakeDevRoot dev_;
    test::PtyBoard board_;
    std::unique_ptr<SerialPort> port_;
};

// The device layer's purge before a write: unread input goes, output already
// handed to the device does not.
TEST_F(PosixSerialPort, DrainThenPurgeKeepsOutputAndDropsUnreadInput) {
    ASSERT_TRUE(port_->SetTimeouts(CommTimeouts{1000, 1000, 1000, 1000, 1000}));
    LineSettings settings;
    ASSERT_TRUE(port_->GetLineSettings(settings));
    ASSERT_TRUE(port_->SetLineSettings(settings));

    board_.Send("stale");
    uint32_t count = 0;
    test::WaitUntil([&] { return port_->InputQueue(count) == IoStatus::kOk && count >= 5; });
    ASSERT_EQ(count, 5u);
    // Once a byte has been read, the port holds the rest itself: they go too.
    uint8_t byte = 0;
    ASSERT_EQ(port_->ReadByte(byte), IoStatus::kOk);
    EXPECT_EQ(byte, 's');
    ASSERT_EQ(port_->Write(reinterpret_cast<const uint8_t*>("first\n"), 6, {}), IoStatus::kOk);
    EXPECT_TRUE(port_->DrainThenPurge({}));
    ASSERT_EQ(port_->Write(reinterpret_cast<const uint8_t*>("second\n"), 7, {}), IoStatus::kOk);
    EXPECT_EQ(board_.Receive(13, 2000), "first\nsecond\n");
    ASSERT_EQ(port_->InputQueue(count), IoStatus::kOk);
    EXPECT_EQ(count, 0u);

    board_.Send("A");
    ASSERT_TRUE(
        test::WaitUntil([&] { return port_->InputQueue(count) == IoStatus::kOk && count != 0; }));
    ASSERT_EQ(port_->ReadByte(byte), IoStatus::kOk);
    EXPECT_EQ(byte, 'A');
}

// A read that nothing answers ends at its time-out, never before it: an early
// end would be taken for the time-out all the same.
TEST_F(PosixSerialPort, AReadThatTimesOutWaitsItsWholeTime) {
    for (const uint32_t ms : {1u, 2u, 5u}) {
        ASSERT_TRUE(port_->SetTimeouts(CommTimeouts{0, 0, ms, 0, 0}));
        uint8_t byte = 0;
        const auto start = Clock::now();
        EXPECT_EQ(port_->ReadByte(byte), IoStatus::kFailedAfterWait);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(ms)) << ms << " ms";
    }
}

}  // namespace
}  // namespace plk::platform
