// The Win32 serial port and port list, on the Windows build under Wine: the
// system's definition-text reader against the shared table, and a port that
// scripts/test-win.sh maps onto a pseudo-terminal (PLINKOR_TEST_COM), with the
// board at the other end mapped too (PLINKOR_TEST_BOARD_COM).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "line_definition_cases.h"
#include "platform/comm/port_list.h"
#include "platform/comm/serial_port.h"
#include "platform/sys/event.h"
#include "platform/sys/sys_error.h"
#include "platform/sys/win32.h"
#include "wine_support.h"

namespace plk::platform {
namespace {

using Clock = std::chrono::steady_clock;

using test::UnderWine;

TEST(BuildCommDcb, MeetsTheSharedTable) {
    for (const auto& row : test::kLineDefinitionCases) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.StopBits = TWOSTOPBITS;
        dcb.EvtChar = 'q';
        dcb.fRtsControl = static_cast<DWORD>(row.rtsBefore);
        dcb.fDtrControl = static_cast<DWORD>(row.dtrBefore);
        dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = row.flowBefore;
        ASSERT_TRUE(::BuildCommDCBA(row.text, &dcb)) << row.text;
        EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(row.rts)) << row.text;
        EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(row.dtr)) << row.text;
        EXPECT_EQ(dcb.fOutX != 0, row.xon) << row.text;
        EXPECT_EQ(dcb.fInX != 0, row.xon) << row.text;
        EXPECT_EQ(dcb.fOutxCtsFlow != 0, row.ctsFlow) << row.text;
        const BYTE stop = row.stop == StopBits::kOne          ? ONESTOPBIT
                          : row.stop == StopBits::kOneAndHalf ? ONE5STOPBITS
                                                              : TWOSTOPBITS;
        EXPECT_EQ(dcb.StopBits, stop) << row.text;
        EXPECT_EQ(dcb.EvtChar, 'q') << row.text;  // never named: kept
    }
}

// Wine's reader knows no "hs" or "tg" values; Windows documents them.
TEST(BuildCommDcb, WineRefusesHandshakeAndToggleValues) {
    if (!UnderWine()) {
        GTEST_SKIP() << "a Wine limit";
    }
    for (const char* text : {"baud=9600 rts=hs", "baud=9600 rts=tg", "baud=9600 dtr=hs"}) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 1200;
        EXPECT_FALSE(::BuildCommDCBA(text, &dcb)) << text;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << text;
        EXPECT_EQ(dcb.BaudRate, 1200u) << text;  // left as it was
    }
}

TEST(WinSerialPort, AMissingPortIsRefusedWithTheSystemsCode) {
    SetLastError(0);
    EXPECT_EQ(OpenSerialPort(250), nullptr);
    EXPECT_EQ(LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(ErrorText(LastError()).empty());
}

// The port under test, configured as the link configures it, and the board.
class MappedPort : public ::testing::Test {
protected:
    void SetUp() override {
        const test::MappedPorts mapped = test::MappedPortsFromEnvironment();
        portNumber_ = mapped.port;
        const int boardNumber = mapped.board;
        if (!mapped.present()) {
            GTEST_SKIP()
                << "no pseudo-terminal mapped as a COM port (scripts/test-win.sh maps one)";
        }
        port_ = OpenSerialPort(portNumber_);
        ASSERT_NE(port_, nullptr) << ErrorText(LastError());
        board_ = OpenSerialPort(boardNumber);
        ASSERT_NE(board_, nullptr) << ErrorText(LastError());
        const CommTimeouts timeouts{1000, 1000, 1000, 1000, 1000};
        for (SerialPort* p : {port_.get(), board_.get()}) {
            ASSERT_TRUE(p->SetTimeouts(timeouts)) << ErrorText(LastError());
            ASSERT_TRUE(p->SetEventMask(kEvRxChar | kEvRxFlag)) << ErrorText(LastError());
            LineSettings settings;
            ASSERT_TRUE(p->GetLineSettings(settings)) << ErrorText(LastError());
            settings.rtsControl = RtsControl::kDisable;
            settings.evtChar = 'q';
            ASSERT_TRUE(BuildLineSettings("baud=115200 parity=N data=8 stop=1", settings));
            ASSERT_TRUE(p->SetLineSettings(settings)) << ErrorText(LastError());
            ASSERT_TRUE(p->Purge());
        }
    }

    void BoardSends(std::string_view bytes) {
        ASSERT_EQ(board_->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), {}),
                  IoStatus::kOk);
    }

    // Waits as the monitor does, then reads what waits, until `count` bytes came.
    std::string Receive(std::size_t count, int timeoutMs = 3000) {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && Clock::now() < deadline) {
            if (port_->StartEventWait() != EventWaitStart::kCompleted) {
                const Waitable handles[] = {port_->waitable()};
                if (WaitAny(handles, 500) != 0) {
                    continue;
                }
            }
            uint32_t waiting = 0;
            if (port_->InputQueue(waiting) != IoStatus::kOk) {
                break;
            }
            for (; waiting > 0; --waiting) {
                uint8_t byte = 0;
                if (port_->ReadByte(byte) != IoStatus::kOk) {
                    return got;
                }
                got.push_back(static_cast<char>(byte));
            }
        }
        return got;
    }

    std::string BoardReceives(std::size_t count) {
        std::string got;
        for (std::size_t i = 0; i < count; ++i) {
            uint8_t byte = 0;
            if (board_->ReadByte(byte) != IoStatus::kOk) {
                break;
            }
            got.push_back(static_cast<char>(byte));
        }
        return got;
    }

    int portNumber_ = 0;
    std::unique_ptr<SerialPort> port_;
    std::unique_ptr<SerialPort> board_;
};

TEST_F(MappedPort, BytesGoBothWaysWholeAndInOrder) {
    const std::string greeting = "ready&ready&";
    ASSERT_EQ(port_->Write(reinterpret_cast<const uint8_t*>(greeting.data()), greeting.size(), {}),
              IoStatus::kOk);
    EXPECT_EQ(BoardReceives(12), greeting);

    BoardSends("ok&done\n");
    EXPECT_EQ(Receive(8), "ok&done\n");
    const std::string binary("\xff\x00q", 3);
    BoardSends(binary);
    EXPECT_EQ(Receive(3), binary);
}

TEST_F(MappedPort, TheEventWaitSleepsUntilBytesCome) {
    // Nothing sent: the port event must not keep firing, or the monitor would
    // spin. A driver that cannot wait ends the first wait at once; from then
    // on the port watches the queue instead.
    const Waitable handles[] = {port_->waitable()};
    int wakes = 0;
    for (int pass = 0; pass < 5; ++pass) {
        if (port_->StartEventWait() == EventWaitStart::kCompleted ||
            WaitAny(handles, 100) != kWaitTimeout) {
            ++wakes;
        }
    }
    EXPECT_LE(wakes, 1);
    port_->StartEventWait();
    BoardSends("x");
    EXPECT_EQ(WaitAny(handles, 2000), 0);
    EXPECT_EQ(Receive(1), "x");
}

TEST_F(MappedPort, DrainThenPurgeKeepsOutputAndDropsUnreadInput) {
    BoardSends("stale");
    uint32_t waiting = 0;
    for (int i = 0; i < 200 && waiting < 5; ++i) {
        ASSERT_EQ(port_->InputQueue(waiting), IoStatus::kOk);
        ::Sleep(5);
    }
    ASSERT_EQ(waiting, 5u);
    const std::string command = "/abc\n";
    ASSERT_EQ(port_->Write(reinterpret_cast<const uint8_t*>(command.data()), command.size(), {}),
              IoStatus::kOk);
    EXPECT_TRUE(port_->DrainThenPurge({}));
    ASSERT_EQ(port_->InputQueue(waiting), IoStatus::kOk);
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(BoardReceives(5), command);
}

// The board says XOFF and never reads: with XON/XOFF on, the driver holds the
// output back and a write without a time-out would never end but for the stop.
TEST_F(MappedPort, AStopEndsAWriteThatFlowControlHoldsUp) {
    LineSettings settings;
    ASSERT_TRUE(port_->GetLineSettings(settings));
    settings.outX = true;
    ASSERT_TRUE(port_->SetLineSettings(settings));
    ASSERT_TRUE(port_->SetTimeouts({1000, 1000, 1000, 0, 0}));  // writes without a limit
    BoardSends("\x13");
    ::Sleep(100);
    Event stop;
    std::thread stopper([&] {
        ::Sleep(300);
        stop.Set();
    });
    const std::string big(1 << 16, 'w');
    const auto start = Clock::now();
    const IoStatus status =
        port_->Write(reinterpret_cast<const uint8_t*>(big.data()), big.size(), stop.waitable());
    const auto took = Clock::now() - start;
    stopper.join();
    EXPECT_EQ(status, IoStatus::kStopped);
    EXPECT_LT(took, std::chrono::seconds(2));
    // Nothing of it is left for the close to wait for.
    const auto closing = Clock::now();
    port_.reset();
    EXPECT_LT(Clock::now() - closing, std::chrono::seconds(1));

    // The device keeps its settings past the close: leave it as found.
    port_ = OpenSerialPort(portNumber_);
    ASSERT_NE(port_, nullptr) << ErrorText(LastError());
    ASSERT_TRUE(port_->GetLineSettings(settings));
    settings.outX = false;
    ASSERT_TRUE(port_->SetLineSettings(settings));
    BoardSends("\x11");
}

TEST_F(MappedPort, TheMaskInForceIsTheOneSet) {
    uint32_t mask = 0;
    port_->GetEventMask(mask);
    EXPECT_EQ(mask, kEvRxChar | kEvRxFlag);
}

// Wine does not keep a second program off a port opened without sharing.
TEST_F(MappedPort, ASecondOpenIsRefused) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine opens a device twice; only Windows refuses it";
    }
    EXPECT_EQ(OpenSerialPort(portNumber_), nullptr);
    EXPECT_EQ(LastError(), ERROR_ACCESS_DENIED);
}

// The list is SerialComm's values, as the registry gives them: every one, in
// its order, each named by its data. The device manager's name of a port, where
// it knows one (not for Wine's mapped ports), only comes along as the detail.
TEST_F(MappedPort, IsListedUnderSerialCommInTheRegistrysOrder) {
    std::vector<std::string> raw;
    HKEY key = nullptr;
    ASSERT_EQ(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Hardware\\DeviceMap\\SerialComm", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], data[256] = {};
        DWORD nameLength = 256, dataBytes = sizeof data - sizeof(wchar_t);
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, nullptr,
                            reinterpret_cast<BYTE*>(data), &dataBytes) != ERROR_SUCCESS) {
            break;
        }
        char narrow[512] = {};
        ::WideCharToMultiByte(CP_UTF8, 0, data, -1, narrow, sizeof narrow, nullptr, nullptr);
        raw.push_back(narrow);
    }
    ::RegCloseKey(key);

    auto listing = SystemPortListSource()->Open();
    ASSERT_NE(listing, nullptr);
    std::vector<std::string> listed;
    PortEntry entry;
    for (int i = 0; i < 256; ++i) {
        const auto result = listing->Entry(i, entry);
        if (result == PortListing::Result::kEnd) {
            break;
        }
        ASSERT_EQ(result, PortListing::Result::kEntry) << i;
        listed.push_back(entry.name);
        std::printf("%s: %s\n", entry.name.c_str(),
                    entry.detail.empty() ? "(no device name)" : entry.detail.c_str());
        for (const char c : entry.detail) {
            EXPECT_NE(c, '\0') << entry.name;
        }
    }
    EXPECT_EQ(listed, raw);
    const std::string wanted = "COM" + std::to_string(portNumber_);
    EXPECT_NE(std::find(listed.begin(), listed.end(), wanted), listed.end()) << wanted;
}

// The Wine limits on a pseudo-terminal, where they hold: the raw calls show
// them, and the port must deliver every byte all the same.
TEST_F(MappedPort, WineLimitsOnAPseudoTerminal) {
    HANDLE raw = ::CreateFileA(("\\\\.\\COM" + std::to_string(portNumber_)).c_str(),
                               GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        GTEST_SKIP() << "the port cannot be opened twice here";
    }
    ::SetCommMask(raw, EV_RXCHAR | EV_RXFLAG);
    DWORD mask = 0xdead;
    const bool maskReported = ::GetCommMask(raw, &mask) && mask == (EV_RXCHAR | EV_RXFLAG);
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    DWORD ignored = 0;
    bool waitEndsAtOnce = false;
    if (!::WaitCommEvent(raw, &events, &overlapped) && ::GetLastError() == ERROR_IO_PENDING) {
        waitEndsAtOnce = ::WaitForSingleObject(overlapped.hEvent, 200) == WAIT_OBJECT_0 &&
                         !::GetOverlappedResult(raw, &overlapped, &ignored, FALSE);
    }
    if (!waitEndsAtOnce) {
        ::SetCommMask(raw, 0);
        ::GetOverlappedResult(raw, &overlapped, &ignored, TRUE);
    }
    ::CloseHandle(overlapped.hEvent);
    ::CloseHandle(raw);
    if (maskReported && !waitEndsAtOnce) {
        GTEST_SKIP() << "this driver waits for events and reports its mask";
    }
    uint32_t ours = 0;
    port_->GetEventMask(ours);
    EXPECT_EQ(ours, kEvRxChar | kEvRxFlag);
    const std::string burst = "0123456789abcdefghijklmnopqrstuvwxyz&\n";
    BoardSends(burst);
    EXPECT_EQ(Receive(burst.size()), burst);
}

}  // namespace
}  // namespace plk::platform
