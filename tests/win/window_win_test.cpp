// The Win32 window layer in this process, with the program's resources
// compiled in: the main dialog made by the dialog manager, what its shell puts
// in place, and the sends of other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/bridge_app.h"
#include "app/bridge_dlg.h"
#include "platform/sys/win32.h"

// clang-format off
#include <commctrl.h>
// clang-format on
#include "platform/ui/gui_session.h"
#include "res/resource.h"
#include "res/templates.h"
#include "support/wait.h"

namespace plk {
namespace {

using std::chrono::milliseconds;

std::string Utf8(const wchar_t* wide) {
    char narrow[512] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

// A system without serial ports: the dialog opens nothing and starts no bridge.
class NoPorts final : public platform::PortListSource {
public:
    std::unique_ptr<platform::PortListing> Open() override { return nullptr; }
};

// The dialog once it is shown, that is once its initialisation is through.
HWND WaitForDialog(const wchar_t* caption) {
    HWND hwnd = nullptr;
    const bool shown = test::WaitUntil(
        [&] { return (hwnd = ::FindWindowW(L"#32770", caption)) && ::IsWindowVisible(hwnd); },
        10000);
    return shown ? hwnd : nullptr;
}

class WindowWin : public ::testing::Test {
protected:
    void SetUp() override {
        session_ = platform::GuiSession::Start(argc_, argv_);
        ASSERT_NE(platform::CurrentDialogHost(), nullptr);
    }
    int argc_ = 1;
    char name_[16] = "window_win_test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<platform::GuiSession> session_;
};

// The dialog's shell, checked from another thread while the dialog runs:
// the model list's entry from the initialisation resource, the window menu
// ending in a separator and the About entry, both icons; F1's help request
// reaching the application.
TEST_F(WindowWin, TheShellPutsTheModelEntryTheAboutEntryAndTheIconsInPlace) {
    CBridgeDlg dialog(std::make_unique<NoPorts>());
    CBridgeApp app;
    dialog.SetCommandOwner(&app);
    std::string about;
    bool separatorBefore = false;
    UINT aboutId = 0;
    LRESULT models = 0, bigIcon = 0, smallIcon = 0;
    std::string model;
    bool sentAfterEnd = true;
    std::thread checker([&] {
        HWND hwnd = WaitForDialog(L"Plinkor-在线编程");
        ASSERT_NE(hwnd, nullptr);
        models = ::SendDlgItemMessageW(hwnd, IDC_CMB_MODEL, CB_GETCOUNT, 0, 0);
        wchar_t text[64] = {};
        ::SendDlgItemMessageW(hwnd, IDC_CMB_MODEL, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
        model = Utf8(text);
        bigIcon = ::SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0);
        smallIcon = ::SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0);
        HMENU menu = ::GetSystemMenu(hwnd, FALSE);
        const int count = menu != nullptr ? ::GetMenuItemCount(menu) : 0;
        if (count >= 2) {
            MENUITEMINFOW item{};
            item.cbSize = sizeof item;
            item.fMask = MIIM_FTYPE;
            ::GetMenuItemInfoW(menu, count - 2, TRUE, &item);
            separatorBefore = (item.fType & MFT_SEPARATOR) != 0;
            wchar_t entry[64] = {};
            ::GetMenuStringW(menu, count - 1, entry, 64, MF_BYPOSITION);
            about = Utf8(entry);
            aboutId = ::GetMenuItemID(menu, count - 1);
        }
        HELPINFO help{};
        help.cbSize = sizeof help;
        help.iContextType = HELPINFO_WINDOW;
        ::SendMessageW(hwnd, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
        ::PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
        // Once the dialog has ended, a send fails at once.
        test::WaitUntil([&] { return !::IsWindow(hwnd); });
        sentAfterEnd = dialog.window()->Send(WM_NULL, 0, 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    checker.join();
    EXPECT_EQ(models, 1);
    EXPECT_EQ(model, "115200");
    EXPECT_TRUE(separatorBefore);
    EXPECT_EQ(about, "关于 Plinkor(&A)...");
    EXPECT_EQ(aboutId, IDM_ABOUT_ENTRY);
    EXPECT_NE(bigIcon, 0);
    EXPECT_NE(smallIcon, 0);
    EXPECT_FALSE(sentAfterEnd);
    EXPECT_EQ(app.helpRequests(), 1);
    // The manifest among the resources made the process aware of the system's DPI.
    EXPECT_TRUE(::IsProcessDPIAware());
}

// Every text the program puts into its two status labels is read whole: laid
// out as the static control lays it out (wrapped at its width, clipped to its
// rectangle), it stays on one line, with the label where the template puts it,
// as high, inside the dialog and clear of the other controls. A text that fits
// the template's rectangle leaves the label as the template made it.
TEST_F(WindowWin, EveryStatusTextFitsItsLabel) {
    const struct {
        int id;
        const wchar_t* text;
    } cases[] = {
        {IDC_TXT_PORTINFO, L"打开端口失败,请检查12345端口是否被占用"},
        {IDC_TXT_PORTINFO, L"打开端口成功"},
        {IDC_TXT_PORTINFO, L"串口:COM33"},
        {IDC_TXT_PORTINFO, L"串口:COM33 型号:115200"},
        {IDC_TXT_LINKSTATE, L"已连接"},
        {IDC_TXT_LINKSTATE, L"未连接"},
    };
    CBridgeDlg dialog(std::make_unique<NoPorts>());
    std::vector<std::string> faults;
    std::thread checker([&] {
        HWND hwnd = WaitForDialog(L"Plinkor-在线编程");
        ASSERT_NE(hwnd, nullptr);
        RECT inside{};
        ::GetClientRect(hwnd, &inside);
        for (const auto& c : cases) {
            const std::string name = Utf8(c.text);
            auto fault = [&](const std::string& what) { faults.push_back(name + ": " + what); };
            dialog.window()->SetItemText(c.id, name);
            HWND label = ::GetDlgItem(hwnd, c.id);
            wchar_t shown[128] = {};
            ::GetWindowTextW(label, shown, 128);
            if (std::wstring_view(shown) != c.text) {
                fault("shows " + Utf8(shown));
            }
            const res::ControlTemplate* placed = nullptr;
            for (const auto& control : res::FindDialog(IDD_MAIN_DIALOG)->controls) {
                placed = control.id == c.id ? &control : placed;
            }
            if (placed == nullptr) {
                fault("not in the template");
                continue;
            }
            // Position and size each in pixels, as the dialog manager maps them.
            RECT planned{placed->x, placed->y, placed->width, placed->height};
            ::MapDialogRect(hwnd, &planned);
            planned.right += planned.left;
            planned.bottom += planned.top;
            RECT rect{};
            ::GetWindowRect(label, &rect);
            ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&rect), 2);

            RECT client{};
            ::GetClientRect(label, &client);
            HDC dc = ::GetDC(label);
            HGDIOBJ old = ::SelectObject(
                dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(label, WM_GETFONT, 0, 0)));
            RECT line{};
            ::DrawTextW(dc, c.text, -1, &line, DT_CALCRECT | DT_SINGLELINE | DT_EXPANDTABS);
            RECT laid = client;
            ::DrawTextW(dc, c.text, -1, &laid,
                        DT_CALCRECT | DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS);
            ::SelectObject(dc, old);
            ::ReleaseDC(label, dc);
            if (laid.bottom > line.bottom || laid.right > client.right ||
                laid.bottom > client.bottom) {
                fault("laid out " + std::to_string(laid.right) + " x " +
                      std::to_string(laid.bottom) + " in " + std::to_string(client.right) + " x " +
                      std::to_string(client.bottom));
            }
            if (rect.left != planned.left || rect.top != planned.top ||
                rect.bottom != planned.bottom) {
                fault("moved or resized in height");
            }
            if (line.right <= planned.right - planned.left && rect.right != planned.right) {
                fault("not the template's width though the text fits it");
            }
            if (rect.right > inside.right || rect.bottom > inside.bottom) {
                fault("past the dialog's edge");
            }
            for (HWND other = ::GetWindow(hwnd, GW_CHILD); other != nullptr;
                 other = ::GetWindow(other, GW_HWNDNEXT)) {
                RECT theirs{}, common{};
                ::GetWindowRect(other, &theirs);
                ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&theirs), 2);
                if (other != label && ::IsWindowVisible(other) &&
                    ::IntersectRect(&common, &rect, &theirs)) {
                    fault("overlaps control " + std::to_string(::GetDlgCtrlID(other)));
                }
            }
        }
        ::PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    checker.join();
    EXPECT_EQ(faults, std::vector<std::string>{});
}

// An About box gives back every GDI object it made, the font the dialog
// manager made for its template among them: over 50 boxes the process's GDI
// count does not grow, and no box's font outlives its box. (Wine counts no
// GDI objects per process; there the fonts tell.)
TEST_F(WindowWin, AboutBoxesLeaveNoGdiObjectsBehind) {
    constexpr int kBoxes = 50;
    CBridgeDlg dialog(std::make_unique<NoPorts>());
    DWORD gdiBefore = 0, gdiAfter = 0;
    int shown = 0, fontsAlive = 0;
    std::thread checker([&] {
        HWND hwnd = WaitForDialog(L"Plinkor-在线编程");
        ASSERT_NE(hwnd, nullptr);
        auto showAbout = [&]() -> HFONT {
            ::PostMessageW(hwnd, WM_SYSCOMMAND, IDM_ABOUT_ENTRY, 0);
            HWND about = WaitForDialog(L"关于 Plinkor");
            if (about == nullptr) {
                return nullptr;
            }
            const auto font = reinterpret_cast<HFONT>(::SendMessageW(about, WM_GETFONT, 0, 0));
            ::PostMessageW(about, WM_COMMAND, IDOK, 0);
            test::WaitUntil([&] { return !::IsWindow(about); });
            return font;
        };
        // The first box may load what the process keeps (its icon, the system's fonts).
        showAbout();
        gdiBefore = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
        std::vector<HFONT> fonts;
        for (int i = 0; i < kBoxes; ++i) {
            const HFONT font = showAbout();
            if (font == nullptr) {
                break;
            }
            ++shown;
            fonts.push_back(font);
        }
        gdiAfter = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
        for (const HFONT font : fonts) {
            fontsAlive += ::GetObjectType(font) != 0 ? 1 : 0;
        }
        ::PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    checker.join();
    EXPECT_EQ(shown, kBoxes);
    std::printf("GDI objects: %lu before, %lu after %d About boxes; fonts still alive: %d\n",
                static_cast<unsigned long>(gdiBefore), static_cast<unsigned long>(gdiAfter), shown,
                fontsAlive);
    EXPECT_LT(gdiAfter, gdiBefore + kBoxes / 5);
    EXPECT_EQ(fontsAlive, 0);
}

// A dialog that ends on Cancel and leaves everything else to default processing.
class PlainTarget final : public platform::MessageTarget {
public:
    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override {
        return window->DefaultProc(message, wParam, lParam);
    }
    platform::DialogWindow* window = nullptr;
};

// The tooltip a dialog owns, if it has one.
struct TooltipSearch {
    HWND dialog;
    HWND found;
};

BOOL CALLBACK FindTooltip(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<TooltipSearch*>(param);
    wchar_t name[64] = {};
    ::GetClassNameW(hwnd, name, 64);
    if (std::wstring_view(name) == L"tooltips_class32" &&
        ::GetWindow(hwnd, GW_OWNER) == search->dialog) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND TooltipOf(HWND dialog) {
    TooltipSearch search{dialog, nullptr};
    ::EnumThreadWindows(::GetWindowThreadProcessId(dialog, nullptr), &FindTooltip,
                        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// What the tooltip would show over one of its tools, asked as it asks.
std::string TipOver(HWND dialog, HWND tooltip, HWND tool) {
    NMTTDISPINFOW request{};
    request.hdr.hwndFrom = tooltip;
    request.hdr.idFrom = reinterpret_cast<UINT_PTR>(tool);
    request.hdr.code = TTN_GETDISPINFOW;
    request.uFlags = TTF_IDISHWND;
    ::SendMessageW(dialog, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&request));
    if (request.lpszText == nullptr || request.lpszText == LPSTR_TEXTCALLBACKW) {
        return Utf8(request.szText);
    }
    return Utf8(request.lpszText);
}

// The device behind a port shows as a tip over the port list: over the chosen
// entry while the list is closed, over the entry under the mouse while it is
// dropped down. The tips change neither the entries, nor their order, nor the
// selection; a tip moves with its entry and goes with the list's reset.
TEST_F(WindowWin, PortEntryTipsNameTheDeviceAndLeaveTheListAsItWas) {
    auto window = platform::CurrentDialogHost()->CreateDialogWindow(res::MainDialog());
    ASSERT_NE(window, nullptr);
    PlainTarget target;
    target.window = window.get();
    std::vector<std::string> faults;
    std::thread checker([&] {
        HWND hwnd = WaitForDialog(L"Plinkor-在线编程");
        ASSERT_NE(hwnd, nullptr);
        auto expect = [&](const std::string& what, const std::string& got,
                          const std::string& wanted) {
            if (got != wanted) {
                faults.push_back(what + ": \"" + got + "\", not \"" + wanted + "\"");
            }
        };
        auto entries = [&] {
            std::string all;
            for (int i = 0; i < window->ComboCount(IDC_CMB_PORT); ++i) {
                all += window->ComboText(IDC_CMB_PORT, i) + ";";
            }
            return all + " selected " + std::to_string(window->ComboGetCurSel(IDC_CMB_PORT));
        };
        const std::string ch340 = "USB-SERIAL CH340 (COM10)";
        const std::string prolific = "Prolific USB-to-Serial Comm Port (COM3)";
        window->ComboInsert(IDC_CMB_PORT, 0, "COM1");
        window->ComboInsert(IDC_CMB_PORT, 1, "COM10");
        window->ComboInsert(IDC_CMB_PORT, 2, "COM3");
        window->ComboSetCurSel(IDC_CMB_PORT, 2);
        window->ComboSetItemTip(IDC_CMB_PORT, 1, ch340);
        window->ComboSetItemTip(IDC_CMB_PORT, 2, prolific);
        expect("entries", entries(), "COM1;COM10;COM3; selected 2");

        HWND combo = ::GetDlgItem(hwnd, IDC_CMB_PORT);
        COMBOBOXINFO parts{};
        parts.cbSize = sizeof parts;
        ::GetComboBoxInfo(combo, &parts);
        HWND tooltip = TooltipOf(hwnd);
        if (tooltip == nullptr) {
            faults.push_back("no tooltip");
        } else {
            expect("tools", std::to_string(::SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0)), "3");
            expect("combo, COM3 chosen", TipOver(hwnd, tooltip, combo), prolific);
            expect("edit field, COM3 chosen", TipOver(hwnd, tooltip, parts.hwndItem), prolific);
            window->ComboSetCurSel(IDC_CMB_PORT, 0);
            expect("combo, COM1 chosen", TipOver(hwnd, tooltip, combo), "");
            // An entry put before them moves the tips along.
            window->ComboInsert(IDC_CMB_PORT, 0, "COM2");
            window->ComboSetCurSel(IDC_CMB_PORT, 2);
            expect("entries after an insert", entries(), "COM2;COM1;COM10;COM3; selected 2");
            expect("combo, COM10 chosen", TipOver(hwnd, tooltip, combo), ch340);
            // Dropped down, the entry under the mouse.
            ::SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
            RECT item{};
            ::SendMessageW(parts.hwndList, LB_GETITEMRECT, 3, reinterpret_cast<LPARAM>(&item));
            POINT at{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
            ::ClientToScreen(parts.hwndList, &at);
            ::SetCursorPos(at.x, at.y);
            expect("list, mouse over COM3", TipOver(hwnd, tooltip, parts.hwndList), prolific);
            ::SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
            // (The selection follows the mouse in a dropped-down list, tips or not.)
            expect("entries after the drop-down", entries().substr(0, 20), "COM2;COM1;COM10;COM3");
            window->ComboReset(IDC_CMB_PORT);
            window->ComboInsert(IDC_CMB_PORT, 0, "COM10");
            window->ComboSetCurSel(IDC_CMB_PORT, 0);
            expect("combo after a reset", TipOver(hwnd, tooltip, combo), "");
        }
        ::PostMessageW(hwnd, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(window->RunModal(target), IDCANCEL);
    checker.join();
    EXPECT_EQ(faults, std::vector<std::string>{});
}

// A handler waiting on the user-interface thread serves what other threads
// send, on that thread, but neither posted messages nor input: those wait
// for the modal loop.
class WaitingTarget final : public platform::MessageTarget {
public:
    static constexpr UINT kStartWait = WM_APP + 1;
    static constexpr UINT kPosted = WM_APP + 2;
    static constexpr UINT kSent = WM_APP + 3;

    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override {
        switch (message) {
            case kStartWait:
                log.push_back("wait");
                waiting.Set();
                window->WaitServingSends(done);
                log.push_back("waited");
                return 0;
            case kPosted:
                log.push_back("posted");
                window->EndDialog(IDOK);
                return 0;
            case kSent:
                log.push_back(::GetCurrentThreadId() == uiThread ? "sent on ui" : "sent elsewhere");
                return 42;
            default:
                return window->DefaultProc(message, wParam, lParam);
        }
    }

    platform::DialogWindow* window = nullptr;
    platform::Event waiting, done;
    DWORD uiThread = ::GetCurrentThreadId();
    std::vector<std::string> log;
};

TEST_F(WindowWin, AWaitServesSentMessagesOnlyAndOnTheUserInterfaceThread) {
    auto window = platform::CurrentDialogHost()->CreateDialogWindow(res::MainDialog());
    ASSERT_NE(window, nullptr);
    WaitingTarget target;
    target.window = window.get();
    platform::LResult answer = 0;
    bool sent = false;
    std::thread worker([&] {
        HWND hwnd = WaitForDialog(L"Plinkor-在线编程");
        ASSERT_NE(hwnd, nullptr);
        ::PostMessageW(hwnd, WaitingTarget::kStartWait, 0, 0);
        test::WaitSet(target.waiting);
        ::PostMessageW(hwnd, WaitingTarget::kPosted, 0, 0);
        sent = window->Send(WaitingTarget::kSent, 0, 0, &answer);
        std::this_thread::sleep_for(milliseconds(200));  // the posted ones would be in by now
        target.done.Set();
    });
    EXPECT_EQ(window->RunModal(target), IDOK);
    worker.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(answer, 42);
    ASSERT_GE(target.log.size(), 4u);
    EXPECT_EQ(target.log[0], "wait");
    EXPECT_EQ(target.log[1], "sent on ui");
    EXPECT_EQ(target.log[2], "waited");
    EXPECT_EQ(target.log[3], "posted");
}

}  // namespace
}  // namespace plk
