// The resources as data and the main dialog's window shell (start-up steps,
// system commands, minimized painting), driven through a recording frame.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/bridge_dlg.h"
#include "platform/ui/dialog_host.h"
#include "platform/ui/dialog_init.h"
#include "platform/ui/dialog_units.h"
#include "res/rc_script.h"
#include "res/resource.h"
#include "res/templates.h"
#include "support/window_headless.h"

namespace plk {
namespace {

using platform::DialogFrame;
using platform::IconHandle;
using platform::LParam;
using platform::LResult;
using platform::Size;
using platform::WParam;

// --- resources ----------------------------------------------------------------

TEST(Resources, MainDialogTemplate) {
    const res::DialogTemplate& d = res::MainDialog();
    EXPECT_EQ(d.id, 102);
    EXPECT_TRUE(d.extended);
    EXPECT_EQ(d.style, 0x90C800C0u);
    EXPECT_EQ(d.exStyle, 0x00040000u);
    EXPECT_EQ(d.width, 320);
    EXPECT_EQ(d.height, 46);
    EXPECT_EQ(d.caption, "Plinkor-在线编程");
    EXPECT_EQ(d.pointSize, 9);
    EXPECT_EQ(d.face, "宋体");

    struct Row {
        int id;
        std::string_view text;
        uint32_t style;
        int x, y, w, h;
    };
    const Row expected[] = {
        {1000, "连接", 0x50010000, 272, 7, 41, 15},  {1001, "打开串口", 0x50010000, 209, 7, 60, 16},
        {-1, "选择串口", 0x50020000, 12, 10, 33, 8}, {1002, "", 0x50200142, 45, 7, 55, 50},
        {-1, "型号", 0x40020000, 106, 10, 25, 9},    {1003, "", 0x40210102, 134, 7, 72, 53},
        {1004, "", 0x50020000, 13, 31, 100, 10},     {1005, "未连接", 0x50020000, 281, 33, 25, 8},
    };
    ASSERT_EQ(d.controls.size(), std::size(expected));
    for (std::size_t i = 0; i < d.controls.size(); ++i) {
        SCOPED_TRACE(i);
        const res::ControlTemplate& c = d.controls[i];
        EXPECT_EQ(c.id, expected[i].id);
        EXPECT_EQ(c.text, expected[i].text);
        EXPECT_EQ(c.style, expected[i].style);
        EXPECT_EQ(c.x, expected[i].x);
        EXPECT_EQ(c.y, expected[i].y);
        EXPECT_EQ(c.width, expected[i].w);
        EXPECT_EQ(c.height, expected[i].h);
    }
    // Among the visible controls only the two buttons are tab stops.
    std::vector<int> tabStops;
    for (const auto& c : d.controls) {
        if (c.visible() && c.tabStop()) {
            tabStops.push_back(c.id);
        }
    }
    EXPECT_EQ(tabStops, (std::vector<int>{IDC_BTN_CONNECT, IDC_BTN_OPENPORT}));
}

TEST(Resources, AboutBoxTemplateAndStrings) {
    const res::DialogTemplate& d = res::AboutBox();
    EXPECT_EQ(d.id, 100);
    EXPECT_FALSE(d.extended);
    EXPECT_EQ(d.style, 0x80C800C0u);
    EXPECT_EQ(d.width, 235);
    EXPECT_EQ(d.height, 55);
    EXPECT_EQ(d.caption, "关于 Plinkor");
    ASSERT_EQ(d.controls.size(), 4u);
    EXPECT_EQ(d.controls[0].iconId, IDI_DEFAULT_ICON);
    EXPECT_EQ(d.controls[0].style, 0x50000003u);
    EXPECT_EQ(d.controls[1].text, "Plinkor 1.0 版");
    EXPECT_FALSE(d.controls[2].text.empty());
    EXPECT_EQ(d.controls[3].id, 1);
    EXPECT_EQ(d.controls[3].text, "确定");
    EXPECT_EQ(d.controls[3].style, 0x50030001u);
    EXPECT_TRUE(d.initData.empty());

    EXPECT_EQ(res::LoadString(IDS_ABOUT_ENTRY), "关于 Plinkor(&A)...");
    EXPECT_EQ(res::StringTable().size(), 1u);
    EXPECT_TRUE(res::LoadString(102).empty());
    EXPECT_EQ(res::FindDialog(102), &res::MainDialog());
    EXPECT_EQ(res::FindDialog(100), &res::AboutBox());
    EXPECT_EQ(res::FindDialog(133), nullptr);

    const res::VersionInfo& v = res::Version();
    EXPECT_EQ(std::vector<uint16_t>(std::begin(v.fileVersion), std::end(v.fileVersion)),
              (std::vector<uint16_t>{1, 0, 0, 1}));
    std::map<std::string_view, std::string_view> strings;
    for (const auto& s : v.strings) {
        strings[s.key] = s.value;
    }
    EXPECT_EQ(strings.size(), 12u);
    EXPECT_EQ(strings["FileDescription"], "Plinkor");
    EXPECT_EQ(strings["ProductName"], "Plinkor 应用程序");
    EXPECT_EQ(strings["FileVersion"], "1, 0, 0, 1");
    EXPECT_FALSE(strings["LegalCopyright"].empty());
}

TEST(Resources, DialogInitDataFillsTheModelList) {
    const auto data = res::MainDialog().initData;
    ASSERT_EQ(data.size(), 17u);
    const auto records = res::ParseDlgInit(data);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].controlId, IDC_CMB_MODEL);
    EXPECT_EQ((*records)[0].message, 0x0403);
    EXPECT_EQ((*records)[0].data, (std::vector<uint8_t>{'1', '1', '5', '2', '0', '0', 0}));

    // Cut short anywhere, or a record longer than the data: nothing is applied.
    for (std::size_t n = 0; n < data.size(); ++n) {
        EXPECT_FALSE(res::ParseDlgInit(data.first(n))) << n;
    }
    std::vector<uint8_t> overrun(data.begin(), data.end());
    overrun[4] = 200;
    EXPECT_FALSE(res::ParseDlgInit(overrun));

    test::HeadlessWindow window;
    window.Run([&] { platform::RunDialogInitData(window, overrun); });
    EXPECT_EQ(window.ComboCount(IDC_CMB_MODEL), 0);
    window.Run([&] { platform::RunDialogInitData(window, data); });
    ASSERT_EQ(window.ComboCount(IDC_CMB_MODEL), 1);
    EXPECT_EQ(window.ComboText(IDC_CMB_MODEL, 0), "115200");
    EXPECT_EQ(window.ComboGetCurSel(IDC_CMB_MODEL), -1);  // added, not selected
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t Le(const std::vector<uint8_t>& b, std::size_t at, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
    }
    return v;
}

TEST(Resources, IconIsOneImageAsPngAndIco) {
    const auto png = res::IconPng(IDI_APP_ICON);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(std::vector<uint8_t>(png.begin(), png.begin() + 8),
              (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    // IHDR: 64 x 64.
    EXPECT_EQ(png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19], 64);
    EXPECT_EQ(png[20] << 24 | png[21] << 16 | png[22] << 8 | png[23], 64);
    EXPECT_EQ(std::vector<uint8_t>(png.begin(), png.end()),
              ReadFile(PLINKOR_SOURCE_DIR "/res/app_icon.png"));
    EXPECT_TRUE(res::IconPng(IDI_DEFAULT_ICON).empty());

    const auto ico = ReadFile(PLINKOR_SOURCE_DIR "/res/app_icon.ico");
    ASSERT_EQ(ico.size(), 6u + 16u + 12840u);
    EXPECT_EQ(Le(ico, 2, 2), 1u);    // icon
    EXPECT_EQ(Le(ico, 4, 2), 1u);    // one image
    EXPECT_EQ(ico[6], 64);           // width
    EXPECT_EQ(ico[7], 64);           // height
    EXPECT_EQ(Le(ico, 12, 2), 24u);  // bits per pixel
    EXPECT_EQ(Le(ico, 14, 4), 12840u);
    const std::size_t bmp = Le(ico, 18, 4);
    EXPECT_EQ(Le(ico, bmp, 4), 40u);       // header size
    EXPECT_EQ(Le(ico, bmp + 8, 4), 128u);  // colour rows and mask rows
    EXPECT_EQ(Le(ico, bmp + 12, 2), 1u);   // planes
    EXPECT_EQ(Le(ico, bmp + 14, 2), 24u);
}

TEST(Resources, TheWindowsResourceScriptIsWrittenFromTheTables) {
    const std::string script = res::ResourceScript();
    const auto committed = ReadFile(PLINKOR_SOURCE_DIR "/res/plinkor.rc");
    EXPECT_EQ(script, std::string(committed.begin(), committed.end()))
        << "res/plinkor.rc is stale: build the plinkor_rc target";
    // A few lines a resource compiler must see exactly so: windres wants a
    // comma after every item of data, and the compilers make every control
    // visible that does not say otherwise.
    for (const char* line :
         {"102 DIALOGEX 0, 0, 320, 46\n", "STYLE 0x90C800C0\n", "CAPTION \"Plinkor-在线编程\"\n",
          "    CONTROL \"打开串口\", 1001, \"Button\", 0x50010000, 209, 7, 60, 16\n",
          "    CONTROL \"\", 1003, \"ComboBox\", 0x40210102 | NOT 0x10000000, 134, 7, 72, 53\n",
          "    1003, 0x403, 7, 0,\n0x3131, 0x3235, 0x3030, \"\\000\",\n",
          "    101 \"关于 Plinkor(&A)...\"\n", "133 ICON \"app_icon.ico\"\n"}) {
        EXPECT_NE(script.find(line), std::string::npos) << line;
    }
}

TEST(DialogUnits, ConvertWithTheDialogFontsBaseUnits) {
    EXPECT_EQ(platform::MulDiv(7, 6, 4), 11);  // 10.5 rounds up
    EXPECT_EQ(platform::MulDiv(-7, 6, 4), -11);
    EXPECT_EQ(platform::MulDiv(5, 12, 8), 8);  // 7.5
    // 52 letters 312 pixels wide: 6 per character, as SimSun 9 pt at 96 dpi.
    const auto units = platform::DialogBaseUnits::FromFont(312, 12);
    EXPECT_EQ(units.baseX, 6);
    EXPECT_EQ(units.ToPixels(320, 46, 41, 15), (platform::Rect{480, 69, 62, 23}));
    EXPECT_EQ(platform::DialogBaseUnits::FromFont(290, 16).baseX, 6);  // 11 / 2 rounds up
}

TEST(DialogUnits, MinimizedIconIsCentredTruncatingTowardZero) {
    EXPECT_EQ(platform::CentredIconPosition(36, 36, 32, 32), (platform::Point{2, 2}));
    EXPECT_EQ(platform::CentredIconPosition(31, 31, 32, 32), (platform::Point{0, 0}));
    EXPECT_EQ(platform::CentredIconPosition(28, 28, 32, 32), (platform::Point{-1, -1}));
    EXPECT_EQ(platform::CentredIconPosition(28, 36, 32, 32), (platform::Point{-1, 2}));
}

// --- the shell through a recording frame ---------------------------------------

struct Call {
    std::string what;
    uint64_t a = 0;
    int64_t b = 0;
    bool operator==(const Call&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Call& c) {
    return out << c.what << "(" << c.a << ", " << c.b << ")";
}

class FakePaint final : public platform::PaintContext {
public:
    explicit FakePaint(std::vector<Call>& calls) : calls_(calls) {}
    ~FakePaint() override { calls_.push_back({"end paint"}); }
    void DrawIcon(int x, int y, IconHandle icon) override {
        calls_.push_back({icon != nullptr ? "draw icon" : "draw nothing",
                          static_cast<uint64_t>(static_cast<uint32_t>(x)), y});
    }

private:
    std::vector<Call>& calls_;
};

class FakeFrame final : public DialogFrame {
public:
    std::vector<Call> calls;
    bool minimized = false;
    bool hasMenu = true;
    Size client{36, 36};

    LResult DefaultProc(uint32_t message, WParam wParam, LParam lParam) override {
        calls.push_back({"default " + std::to_string(message), wParam, lParam});
        return message == platform::kWmInitDialog ? 1 : 0;
    }
    void SetIcon(int which, IconHandle icon) override {
        calls.push_back({which == platform::kIconBig ? "big icon" : "small icon",
                         reinterpret_cast<uint64_t>(icon)});
    }
    IconHandle GetIcon(int) override { return nullptr; }
    bool HasWindowMenu() override { return hasMenu; }
    void AppendWindowMenuSeparator() override { calls.push_back({"separator"}); }
    void AppendWindowMenuItem(unsigned command, const std::string& text) override {
        calls.push_back({"item " + text, command});
    }
    bool IsMinimized() override { return minimized; }
    Size ClientSize() override { return client; }
    std::unique_ptr<platform::PaintContext> BeginPaint() override {
        calls.push_back({"begin paint"});
        return std::make_unique<FakePaint>(calls);
    }
    void EndDialog(int result) override { calls.push_back({"end dialog", 0, result}); }
    bool IsEnabled() override { return true; }
};

// A window system that records which dialogs were asked for and has no icons.
class FakeHost final : public platform::DialogHost {
public:
    std::vector<int> created;
    std::unique_ptr<platform::DialogWindow> CreateDialogWindow(
        const res::DialogTemplate& dialog) override {
        created.push_back(dialog.id);
        return nullptr;
    }
    IconHandle LoadIcon(int) override { return nullptr; }
    Size IconSize() override { return {32, 32}; }
};

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetCurrentDialogHost(&host_);
        dialog_.AttachFrame(&frame_);
    }
    void TearDown() override { platform::SetCurrentDialogHost(nullptr); }

    FakeHost host_;
    FakeFrame frame_;
    CBridgeDlg dialog_;
};

TEST_F(ShellTest, InitialisationRunsTheBaseThenIconThenWindowMenu) {
    dialog_.InitWindowShell();
    const std::vector<Call> expected{
        {"default 272"},  // WM_INITDIALOG: the base initialisation
        {"big icon"},     // no icon to be had: the window keeps none
        {"separator"},   {"item 关于 Plinkor(&A)...", 16}, {"big icon"}, {"small icon"},
    };
    EXPECT_EQ(frame_.calls, expected);
    EXPECT_EQ(dialog_.OnQueryDragIcon(), nullptr);

    // Without a window menu neither the separator nor the entry is added.
    frame_.calls.clear();
    frame_.hasMenu = false;
    dialog_.InitWindowShell();
    EXPECT_EQ(frame_.calls.size(), 4u);
}

TEST_F(ShellTest, WithoutAFrameTheBaseInitialisationStillFillsTheModelList) {
    CBridgeDlg dialog;
    test::HeadlessWindow window;
    dialog.Attach(&window);
    window.Run([&] { EXPECT_EQ(dialog.OnInitDialog(), 1); });
    ASSERT_EQ(window.ComboCount(IDC_CMB_MODEL), 1);
    EXPECT_EQ(window.ComboText(IDC_CMB_MODEL, 0), "115200");
}

TEST_F(ShellTest, SystemCommandsSixteenToThirtyOneOpenTheAboutBox) {
    for (const unsigned command : {16u, 17u, 31u, 0x10010u}) {
        dialog_.OnSysCommand(command, 0);
    }
    EXPECT_EQ(host_.created, (std::vector<int>{100, 100, 100, 100}));
    EXPECT_TRUE(frame_.calls.empty());

    for (const unsigned command : {15u, 32u, 0xF060u, 0xF061u}) {
        dialog_.WindowProc(platform::kWmSysCommand, command, 7);
    }
    EXPECT_EQ(host_.created.size(), 4u);
    const std::vector<Call> expected{{"default 274", 15, 7},
                                     {"default 274", 32, 7},
                                     {"default 274", 0xF060, 7},
                                     {"default 274", 0xF061, 7}};
    EXPECT_EQ(frame_.calls, expected);
}

TEST_F(ShellTest, MinimizedPaintingCentresTheIcon) {
    dialog_.WindowProc(platform::kWmPaint, 0, 0);
    EXPECT_EQ(frame_.calls, (std::vector<Call>{{"default 15"}}));

    frame_.minimized = true;
    for (const auto& [side, at] : {std::pair{36, 2}, {31, 0}, {28, -1}}) {
        frame_.calls.clear();
        frame_.client = {side, side};
        dialog_.OnPaint();
        ASSERT_EQ(frame_.calls.size(), 4u) << side;
        EXPECT_EQ(frame_.calls[0].what, "begin paint");
        EXPECT_EQ(frame_.calls[1].what, "default 39");  // WM_ICONERASEBKGND with the context
        EXPECT_NE(frame_.calls[1].a, 0u);
        EXPECT_EQ(frame_.calls[2], (Call{"draw nothing", static_cast<uint32_t>(at), at})) << side;
        EXPECT_EQ(frame_.calls[3].what, "end paint");
    }
}

}  // namespace
}  // namespace plk
