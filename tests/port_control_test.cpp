// The main dialog's port control, driven through the headless window, with a
// fake port list and in-memory serial ports as boards.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/bridge_dlg.h"
#include "platform/comm/serial_port.h"
#include "support/fake_serial_port.h"
#include "support/loopback_client.h"
#include "support/wait.h"
#include "support/window_headless.h"

namespace plk {
namespace {

using test::HeadlessWindow, test::kTimeout, test::WaitSet;

constexpr int kQuietMs = 150;

// A port list whose entries the test changes between readings. nullopt entries
// cannot be read; `available` false means the list cannot be opened at all.
struct FakePorts {
    struct Entry {
        std::optional<std::string> name;
        std::string detail;
    };
    std::vector<Entry> entries;
    bool available = true;

    void Set(std::vector<std::string> names) {
        entries.clear();
        for (auto& name : names) {
            entries.push_back({std::move(name), {}});
        }
    }
};

class FakePortSource final : public platform::PortListSource {
public:
    explicit FakePortSource(std::shared_ptr<FakePorts> ports) : ports_(std::move(ports)) {}

    std::unique_ptr<platform::PortListing> Open() override {
        if (!ports_->available) {
            return nullptr;
        }
        return std::make_unique<Listing>(ports_->entries);
    }

private:
    class Listing final : public platform::PortListing {
    public:
        explicit Listing(std::vector<FakePorts::Entry> entries) : entries_(std::move(entries)) {}
        Result Entry(int index, platform::PortEntry& entry) override {
            if (index < 0 || index >= static_cast<int>(entries_.size())) {
                return Result::kEnd;
            }
            const auto& e = entries_[static_cast<std::size_t>(index)];
            if (!e.name) {
                return Result::kUnreadable;
            }
            entry = {*e.name, e.detail};
            return Result::kEntry;
        }

    private:
        std::vector<FakePorts::Entry> entries_;
    };

    std::shared_ptr<FakePorts> ports_;
};

class PortControlTest : public ::testing::Test {
protected:
    PortControlTest() {
        // A fresh process: nothing opened, no bridge server yet.
        g_portName.clear();
        g_modelText.clear();
        g_portOpen = 0;
        g_bridgeStarted = false;
        dlg_ = MakeDialog(window_);
    }
    ~PortControlTest() override {
        // As the program ends: the window goes first, then the dialog object.
        window_.Destroy();
        window_.Run([&] { dlg_.reset(); });
    }

    std::unique_ptr<CBridgeDlg> MakeDialog(HeadlessWindow& window) {
        auto dlg = std::make_unique<CBridgeDlg>(std::make_unique<FakePortSource>(ports_),
                                                test::FreeLoopbackPort(), serial_.Opener());
        dlg->Attach(&window);
        window.SetTarget(dlg.get());
        // What the dialog template puts in place; the model list's entry comes
        // from the dialog's own initialisation data.
        window.Run([&] {
            window.SetItemText(IDC_BTN_CONNECT, "连接");
            window.SetItemText(IDC_BTN_OPENPORT, "打开串口");
            window.SetItemText(IDC_TXT_LINKSTATE, "未连接");
        });
        return dlg;
    }

    void Init() {
        window_.Run([&] { EXPECT_NE(dlg_->OnInitDialog(), 0); });
        EXPECT_EQ(window_.ComboItems(IDC_CMB_MODEL), std::vector<std::string>{"115200"});
    }
    // Initialisation in a process whose bridge server already runs: the
    // server's own status texts stay out of what these tests look at.
    void InitWithoutBridge() {
        g_bridgeStarted = true;
        Init();
    }
    // A click while Closed opens COM3, greets it, shows the Open state and
    // resets the link-state text.
    void ExpectClickOpensAndGreets(int button) {
        SetText(IDC_TXT_LINKSTATE, "已连接");
        window_.Click(button);
        EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
        EXPECT_EQ(Text(IDC_BTN_OPENPORT), "关闭串口");
        EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
        EXPECT_EQ(g_portOpen, 1);
    }

    void WaitClosed() { ASSERT_TRUE(WaitSet(dlg_->link().MonitorEnded())); }

    std::string Text(int id) { return window_.ItemText(id); }
    void SetText(int id, const std::string& text) {
        window_.Run([&] { window_.SetItemText(id, text); });
    }
    void ExpectErrorBoxes(std::size_t count) {
        const auto boxes = window_.Boxes();
        ASSERT_EQ(boxes.size(), count);
        for (const auto& box : boxes) {
            EXPECT_EQ(box.text, "打开串口error");
            EXPECT_EQ(box.caption, "plinkor");
            EXPECT_EQ(box.type, platform::kMbOk);
        }
    }

    // COM1, COM3 and COM10 are boards; other ports do not exist.
    test::FakeSerialPorts serial_;
    test::FakeBoard& com1_ = serial_.Add(1);
    test::FakeBoard& com3_ = serial_.Add(3);
    test::FakeBoard& com10_ = serial_.Add(10);
    std::shared_ptr<FakePorts> ports_ = std::make_shared<FakePorts>();
    HeadlessWindow window_;
    std::unique_ptr<CBridgeDlg> dlg_;
};

TEST(PortNumberFromName, ReadsFromTheFourthCharacterAsAtoiDoesWithoutOverflow) {
    const struct {
        const char* name;
        int number;
    } cases[] = {
        {"COM3", 3},
        {"COM10", 10},
        {"COM3A", 3},
        {"COM65 ttyACM0", 65},
        {"COM", 0},
        {"CO", 0},
        {"", 0},
        {"COMX5", 0},
        {"XYZ12", 12},  // the first three characters are never looked at
        {"COM \t+8", 8},
        {"COM-2", -2},
        {"COM+-2", 0},
        {"COM007", 7},
        {"COM2147483647", INT_MAX},
        {"COM2147483648", INT_MAX},
        {"COM99999999999999999999999", INT_MAX},
        {"COM-2147483648", INT_MIN},
        {"COM-99999999999999999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PortNumberFromName(c.name), c.number) << c.name;
    }
}

// No port at all: the list is empty, or cannot be read.
class NoPortTest : public PortControlTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NoPortTest, NothingOpensAndTheBridgeNeverStarts) {
    ports_->available = GetParam();
    Init();
    EXPECT_EQ(window_.ComboCount(IDC_CMB_PORT), 0);
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), -1);
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_MODEL), 0);
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "");
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "打开串口");
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    EXPECT_TRUE(window_.Boxes().empty());
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_FALSE(dlg_->link().HasPort());
    EXPECT_FALSE(dlg_->BridgeRunning());
    EXPECT_FALSE(g_bridgeStarted);

    // Both buttons find no port to open: the failure box, nothing opened.
    SetText(IDC_TXT_LINKSTATE, "已连接");
    window_.Click(IDC_BTN_OPENPORT);
    ExpectErrorBoxes(1);
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    SetText(IDC_TXT_LINKSTATE, "已连接");
    window_.Click(IDC_BTN_CONNECT);
    ExpectErrorBoxes(2);
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:");
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "打开串口");
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_FALSE(dlg_->link().HasPort());
    EXPECT_FALSE(dlg_->BridgeRunning());
}

INSTANTIATE_TEST_SUITE_P(EmptyOrUnreadableList, NoPortTest, ::testing::Bool());

TEST_F(PortControlTest, ListKeepsTheSourceOrderAndTheLastEntryIsOpenedAtStart) {
    ports_->Set({"COM1", "COM10", "COM3"});
    InitWithoutBridge();
    EXPECT_EQ(window_.ComboItems(IDC_CMB_PORT),
              (std::vector<std::string>{"COM1", "COM10", "COM3"}));
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), 2);
    EXPECT_EQ(Text(IDC_CMB_PORT), "COM3");
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_MODEL), 0);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(g_portName, "COM3");
    EXPECT_EQ(g_modelText, "115200");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM3");
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "关闭串口");
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    EXPECT_TRUE(window_.Boxes().empty());
    EXPECT_EQ(com1_.Drain(kQuietMs), "");
    EXPECT_EQ(com10_.Drain(kQuietMs), "");
}

TEST_F(PortControlTest, UnreadableEntriesAreLeftOutAndTakeNoPosition) {
    ports_->entries = {
        {"COM1", "built-in"}, {std::nullopt, {}}, {"COM3", "Arduino Uno"}, {std::nullopt, {}}};
    InitWithoutBridge();
    EXPECT_EQ(window_.ComboItems(IDC_CMB_PORT), (std::vector<std::string>{"COM1", "COM3"}));
    EXPECT_EQ(window_.ComboTip(IDC_CMB_PORT, 0), "built-in");
    EXPECT_EQ(window_.ComboTip(IDC_CMB_PORT, 1), "Arduino Uno");
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), 1);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_TRUE(window_.Boxes().empty());
}

TEST_F(PortControlTest, BridgeStartsOnceOnlyFromASuccessfulFirstOpen) {
    ports_->Set({"COM3"});
    Init();
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_TRUE(dlg_->BridgeRunning());
    EXPECT_TRUE(g_bridgeStarted);

    // Close and reopen by the buttons: the same server keeps running.
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();
    window_.Click(IDC_BTN_OPENPORT);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();

    // A second dialog in the same process opens its port but starts no server.
    HeadlessWindow other;
    auto second = MakeDialog(other);
    other.Run([&] { second->OnInitDialog(); });
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_FALSE(second->BridgeRunning());
    EXPECT_TRUE(dlg_->BridgeRunning());
    other.Destroy();
    other.Run([&] { second.reset(); });
}

TEST_F(PortControlTest, FailedFirstOpenLeavesTheBridgeOffWhileTheButtonsStillWork) {
    ports_->Set({"COM1", "COM3"});
    auto held = serial_.Opener()(3);  // another program holds COM3
    ASSERT_NE(held, nullptr);
    Init();
    ExpectErrorBoxes(1);
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "打开串口");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM3");
    EXPECT_EQ(g_portName, "COM3");
    EXPECT_EQ(g_modelText, "115200");
    EXPECT_FALSE(dlg_->BridgeRunning());
    EXPECT_FALSE(g_bridgeStarted);

    held.reset();
    window_.Click(IDC_BTN_OPENPORT);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "关闭串口");
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    window_.Click(IDC_BTN_CONNECT);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "打开串口");
    ExpectErrorBoxes(1);
    EXPECT_FALSE(dlg_->BridgeRunning());
    EXPECT_FALSE(g_bridgeStarted);
}

TEST_F(PortControlTest, OpenCloseAndReopenGreetEachTimeAndKeepTheCaptionInStep) {
    ports_->Set({"COM3"});
    InitWithoutBridge();
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");

    // Close: the caption and the state change at once, the port goes shortly.
    SetText(IDC_TXT_LINKSTATE, "已连接");
    window_.Click(IDC_BTN_OPENPORT);
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "打开串口");
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM3");
    WaitClosed();

    // Reopen with the open button, close again, reopen with the connect button.
    ExpectClickOpensAndGreets(IDC_BTN_OPENPORT);
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();
    ExpectClickOpensAndGreets(IDC_BTN_CONNECT);
    EXPECT_TRUE(window_.Boxes().empty());
}

TEST_F(PortControlTest, ConnectWhileOpenQueuesTheGreetingAgainAndChangesNothingElse) {
    ports_->Set({"COM1", "COM3"});
    InitWithoutBridge();
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    // Move the selection behind the dialog's back: the lists must not be read.
    window_.Run([&] { window_.ComboSetCurSel(IDC_CMB_PORT, 0); });
    SetText(IDC_TXT_LINKSTATE, "已连接");

    window_.Click(IDC_BTN_CONNECT);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "未连接");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM3");
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "关闭串口");
    EXPECT_EQ(g_portName, "COM3");
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), 0);
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(com1_.Drain(kQuietMs), "");
    EXPECT_TRUE(window_.Boxes().empty());
}

TEST_F(PortControlTest, PortNamesOpenByTheNumberFromTheirFourthCharacter) {
    ports_->Set({"COM10"});
    InitWithoutBridge();
    EXPECT_EQ(com10_.Receive(12, kTimeout), "ready&ready&");
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();

    ports_->Set({"COM3A"});
    window_.DropDown(IDC_CMB_PORT);
    window_.Click(IDC_BTN_OPENPORT);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM3A");
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();
    EXPECT_TRUE(window_.Boxes().empty());

    // "COM" is port 0, which no device has; "CO" names no port at all. Either
    // way the open fails and the state stays Closed.
    for (const char* name : {"COM", "CO"}) {
        ports_->Set({name});
        window_.DropDown(IDC_CMB_PORT);
        window_.Click(IDC_BTN_CONNECT);
        EXPECT_EQ(Text(IDC_TXT_PORTINFO), std::string("串口:") + name);
        EXPECT_EQ(g_portOpen, 0);
        EXPECT_EQ(Text(IDC_BTN_OPENPORT), "打开串口");
    }
    ExpectErrorBoxes(2);
    EXPECT_EQ(com1_.Drain(kQuietMs), "");
    EXPECT_EQ(com3_.Drain(kQuietMs), "");
    EXPECT_EQ(com10_.Drain(kQuietMs), "");
}

TEST_F(PortControlTest, ChoosingAnotherPortWhileOpenChangesTheTextsButNotTheLink) {
    ports_->Set({"COM1", "COM3"});
    InitWithoutBridge();
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");

    window_.Choose(IDC_CMB_PORT, 0);
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM1");
    EXPECT_EQ(g_portName, "COM1");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "关闭串口");
    window_.Choose(IDC_CMB_MODEL, 0);
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM1 型号:115200");

    // Data still flows through COM3 ...
    window_.Click(IDC_BTN_CONNECT);
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(com1_.Drain(kQuietMs), "");
    // ... until the port is closed and opened again.
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();
    window_.Click(IDC_BTN_OPENPORT);
    EXPECT_EQ(com1_.Receive(12, kTimeout), "ready&ready&");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM1");
    EXPECT_TRUE(window_.Boxes().empty());
}

TEST_F(PortControlTest, DropDownRebuildsTheListAndReselectsTheLastEntry) {
    ports_->Set({"COM1", "COM3"});
    InitWithoutBridge();
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    window_.Choose(IDC_CMB_PORT, 0);

    // A port added meanwhile shows now; the selection jumps to the last entry,
    // but no selection is read and no text or state changes.
    ports_->Set({"COM1", "COM3", "COM10"});
    window_.DropDown(IDC_CMB_PORT);
    EXPECT_EQ(window_.ComboItems(IDC_CMB_PORT),
              (std::vector<std::string>{"COM1", "COM3", "COM10"}));
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), 2);
    EXPECT_EQ(Text(IDC_CMB_PORT), "COM10");
    EXPECT_EQ(g_portName, "COM1");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:COM1");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_MODEL), 0);

    // A list that cannot be read keeps the old entries, with none selected.
    ports_->available = false;
    window_.DropDown(IDC_CMB_PORT);
    EXPECT_EQ(window_.ComboCount(IDC_CMB_PORT), 3);
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), -1);
    EXPECT_EQ(Text(IDC_CMB_PORT), "");

    // With nothing selected the buttons open nothing.
    window_.Click(IDC_BTN_OPENPORT);
    WaitClosed();
    window_.Click(IDC_BTN_OPENPORT);
    ExpectErrorBoxes(1);
    EXPECT_EQ(g_portOpen, 0);
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "串口:");
    EXPECT_EQ(com1_.Drain(kQuietMs), "");
    EXPECT_EQ(com3_.Drain(kQuietMs), "");
    EXPECT_EQ(com10_.Drain(kQuietMs), "");
}

TEST_F(PortControlTest, MessagesWithoutARowChangeNothing) {
    ports_->Set({"COM1", "COM3"});
    InitWithoutBridge();
    EXPECT_EQ(com3_.Receive(12, kTimeout), "ready&ready&");
    window_.Run([&] {
        window_.ComboSetCurSel(IDC_CMB_PORT, 0);
        window_.SetItemText(IDC_TXT_LINKSTATE, "已连接");
        window_.SetItemText(IDC_TXT_PORTINFO, "marker");
    });
    using platform::MakeCommandParam;
    const struct {
        uint32_t message;
        platform::WParam wParam;
    } unrouted[] = {
        {platform::kWmCommand, MakeCommandParam(IDC_CMB_PORT, platform::kBnClicked)},
        {platform::kWmCommand, MakeCommandParam(IDC_BTN_CONNECT, platform::kCbnSelendOk)},
        {platform::kWmCommand, MakeCommandParam(IDC_CMB_MODEL, platform::kCbnDropdown)},
        {platform::kWmCommand, MakeCommandParam(IDC_TXT_PORTINFO, platform::kBnClicked)},
        {platform::kWmCommand, MakeCommandParam(IDC_BTN_OPENPORT, 1)},
        {WM_PORT_BREAK, 0},
        {WM_PORT_EVTCHAR, 0},
    };
    for (const auto& m : unrouted) {
        platform::LResult result = -1;
        window_.Run([&] { EXPECT_TRUE(window_.Send(m.message, m.wParam, 0, &result)); });
        EXPECT_EQ(result, 0) << m.message << " " << m.wParam;
    }
    EXPECT_EQ(Text(IDC_TXT_LINKSTATE), "已连接");
    EXPECT_EQ(Text(IDC_TXT_PORTINFO), "marker");
    EXPECT_EQ(window_.ComboGetCurSel(IDC_CMB_PORT), 0);
    EXPECT_EQ(Text(IDC_BTN_OPENPORT), "关闭串口");
    EXPECT_EQ(g_portOpen, 1);
    EXPECT_EQ(com3_.Drain(kQuietMs), "");
    EXPECT_TRUE(window_.Boxes().empty());
}

}  // namespace
}  // namespace plk
