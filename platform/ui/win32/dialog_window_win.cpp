// A native dialog as platform::Window: sends from other threads as real
// SendMessageW calls, message boxes, and the controls by identifier.
#include <algorithm>
#include <cstdio>

#include "platform/ui/win32/dialog_host_win.h"
#include "res/templates.h"

namespace plk::platform {

Win32DialogWindow::Win32DialogWindow(Win32DialogHost& host, const res::DialogTemplate& dialog)
    : host_(host), template_(dialog) {}

Win32DialogWindow::~Win32DialogWindow() {
    if (HWND hwnd = this->hwnd(); hwnd != nullptr && OnUiThread()) {
        ::DestroyWindow(hwnd);
    }
}

// --- messages -------------------------------------------------------------

bool Win32DialogWindow::Send(uint32_t message, WParam wParam, LParam lParam, LResult* result) {
    LResult value = 0;
    bool sent = false;
    if (HWND hwnd = this->hwnd(); hwnd != nullptr) {
        // A window that goes while the call waits answers 0 and says why.
        ::SetLastError(ERROR_SUCCESS);
        value = ::SendMessageW(hwnd, message, wParam, lParam);
        sent = value != 0 || ::GetLastError() != ERROR_INVALID_WINDOW_HANDLE;
    }
    if (result != nullptr) {
        *result = sent ? value : 0;
    }
    return sent;
}

bool Win32DialogWindow::SendWork(const std::function<void()>& work) {
    if (OnUiThread()) {
        if (hwnd() == nullptr) {
            return false;
        }
        work();
        return true;
    }
    HWND hwnd = this->hwnd();
    return hwnd != nullptr &&
           ::SendMessageW(hwnd, kWmRunSentWork, 0, reinterpret_cast<LPARAM>(&work)) == 1;
}

void Win32DialogWindow::WaitServingSends(const Event& done) {
    const HANDLE handle = reinterpret_cast<HANDLE>(done.waitable().native);
    if (!OnUiThread()) {
        ::WaitForSingleObject(handle, INFINITE);
        return;
    }
    // Only sent messages are served here, never input, timers or posted
    // messages: the caller is in the middle of a handler and must not be
    // re-entered by anything else.
    for (;;) {
        // Serves what was sent already, then sleeps until more is or `done`.
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_QS_SENDMESSAGE | PM_NOREMOVE);
        if (done.IsSet() || ::MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE,
                                                        QS_SENDMESSAGE) == WAIT_FAILED) {
            return;
        }
    }
}

// --- message boxes ---------------------------------------------------------

void Win32DialogWindow::MessageBox(const std::string& text, const std::string& caption,
                                   unsigned type) {
    // The system's own box, with no owner, on the calling thread: a worker
    // that reports a failure waits for the user there, and the user-interface
    // thread stays free, though it may itself be waiting for that worker.
    if (host_.cancelling()) {
        return;
    }
    ::MessageBoxW(nullptr, Widen(text).c_str(), Widen(caption).c_str(), type);
}

void Win32DialogWindow::AppMessageBox(const std::string& text, unsigned type) {
    // The application's own box belongs to the dialog and its thread.
    const std::string& caption = host_.appName();
    auto show = [&] {
        if (!host_.cancelling()) {
            ::MessageBoxW(hwnd(), Widen(text).c_str(), Widen(caption).c_str(), type);
        }
    };
    if (OnUiThread()) {
        show();
    } else if (!SendWork(show)) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

// --- controls --------------------------------------------------------------

HWND Win32DialogWindow::Item(int id) const {
    HWND hwnd = this->hwnd();
    return hwnd != nullptr ? ::GetDlgItem(hwnd, id) : nullptr;
}

namespace {
std::wstring WindowText(HWND control) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// A control's device context with the control's own font selected.
class ControlDc {
public:
    explicit ControlDc(HWND control) : control_(control), dc_(::GetDC(control)) {
        const auto font = reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0));
        if (dc_ != nullptr && font != nullptr) {
            old_ = ::SelectObject(dc_, font);
        }
    }
    ~ControlDc() {
        if (old_ != nullptr) {
            ::SelectObject(dc_, old_);
        }
        if (dc_ != nullptr) {
            ::ReleaseDC(control_, dc_);
        }
    }
    ControlDc(const ControlDc&) = delete;
    ControlDc& operator=(const ControlDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND control_;
    HDC dc_;
    HGDIOBJ old_ = nullptr;
};

// The static control wraps a text wider than itself onto further lines, which
// a rectangle one line high cuts off. A left-aligned label is made as much
// wider to the right as its text needs on one line, within the dialog, keeping
// its place and height; a text that fits gets the template's width back.
void FitLabel(HWND dialog, HWND label, const res::ControlTemplate& placed,
              const std::wstring& text) {
    const auto style = static_cast<DWORD>(::GetWindowLongW(label, GWL_STYLE));
    if (placed.controlClass != res::ControlClass::kStatic || (style & SS_TYPEMASK) != SS_LEFT) {
        return;
    }
    // The template's width in pixels, as the dialog manager mapped it.
    RECT size{0, 0, placed.width, placed.height};
    ::MapDialogRect(dialog, &size);
    RECT rect{};
    ::GetWindowRect(label, &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    RECT inside{};
    ::GetClientRect(dialog, &inside);
    RECT line{};
    {
        const ControlDc dc(label);
        if (dc.get() != nullptr) {
            ::DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &line,
                        DT_CALCRECT | DT_SINGLELINE | DT_EXPANDTABS |
                            ((style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0));
        }
    }
    const LONG room = std::max(size.right, inside.right - rect.left);
    const LONG width = std::clamp(line.right, size.right, room);
    if (width != rect.right - rect.left) {
        ::SetWindowPos(label, nullptr, 0, 0, width, rect.bottom - rect.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
}  // namespace

void Win32DialogWindow::SetItemText(int id, const std::string& text) {
    SendWork([&] {
        HWND control = Item(id);
        if (control == nullptr) {
            return;
        }
        const std::wstring wide = Widen(text);
        // Sized before the text changes, so that the text is drawn once, at its size.
        for (const res::ControlTemplate& placed : template_.controls) {
            if (placed.id == id) {
                FitLabel(hwnd(), control, placed, wide);
                break;
            }
        }
        ::SetWindowTextW(control, wide.c_str());
    });
}

std::string Win32DialogWindow::ItemText(int id) {
    std::string text;
    SendWork([&] {
        if (HWND control = Item(id)) {
            text = Narrow(WindowText(control));
        }
    });
    return text;
}

void Win32DialogWindow::ComboReset(int id) {
    SendWork([&] {
        if (HWND control = Item(id)) {
            ::SendMessageW(control, CB_RESETCONTENT, 0, 0);
            tipTexts_.erase(id);
        }
    });
}

void Win32DialogWindow::ComboInsert(int id, int position, const std::string& text) {
    SendWork([&] {
        if (HWND control = Item(id)) {
            const std::wstring wide = Widen(text);
            ::SendMessageW(control, CB_INSERTSTRING, static_cast<WPARAM>(position),
                           reinterpret_cast<LPARAM>(wide.c_str()));
        }
    });
}

void Win32DialogWindow::ComboSetCurSel(int id, int position) {
    SendWork([&] {
        if (HWND control = Item(id)) {
            ::SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
        }
    });
}

int Win32DialogWindow::ComboGetCurSel(int id) {
    int selection = -1;
    SendWork([&] {
        if (HWND control = Item(id)) {
            selection = static_cast<int>(::SendMessageW(control, CB_GETCURSEL, 0, 0));
        }
    });
    return selection < 0 ? -1 : selection;
}

std::string Win32DialogWindow::ComboText(int id, int position) {
    std::string text;
    SendWork([&] {
        HWND control = Item(id);
        if (control == nullptr || position < 0) {
            return;
        }
        const LRESULT length =
            ::SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(position), 0);
        if (length == CB_ERR) {
            return;
        }
        std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT got = ::SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(position),
                                           reinterpret_cast<LPARAM>(wide.data()));
        if (got != CB_ERR) {
            wide.resize(static_cast<std::size_t>(got));
            text = Narrow(wide);
        }
    });
    return text;
}

int Win32DialogWindow::ComboCount(int id) {
    int count = 0;
    SendWork([&] {
        if (HWND control = Item(id)) {
            const LRESULT n = ::SendMessageW(control, CB_GETCOUNT, 0, 0);
            count = n == CB_ERR ? 0 : static_cast<int>(n);
        }
    });
    return count;
}

// --- entry tips -----------------------------------------------------------

namespace {
// On the dropped-down list: the dialog window whose tips it shows, and the
// window procedure it had.
constexpr wchar_t kTipOwner[] = L"PlinkorTipOwner";
constexpr wchar_t kTipListProc[] = L"PlinkorTipListProc";
}  // namespace

void Win32DialogWindow::ComboSetItemTip(int id, int position, const std::string& tip) {
    SendWork([&] {
        HWND control = Item(id);
        if (control == nullptr || position < 0 ||
            position >= static_cast<int>(::SendMessageW(control, CB_GETCOUNT, 0, 0))) {
            return;
        }
        // The entry's item data points at its tip, so it moves and goes with it.
        auto& texts = tipTexts_[id];
        texts.push_back(std::make_unique<std::wstring>(Widen(tip)));
        ::SendMessageW(control, CB_SETITEMDATA, static_cast<WPARAM>(position),
                       reinterpret_cast<LPARAM>(texts.back().get()));
        AddTipTools(control);
    });
}

void Win32DialogWindow::AddTipTools(HWND combo) {
    HWND hwnd = this->hwnd();
    if (tips_ == nullptr) {
        INITCOMMONCONTROLSEX classes{sizeof classes, ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&classes);
        tips_ =
            ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                              WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, hwnd, nullptr, host_.module(), nullptr);
        if (tips_ == nullptr) {
            return;
        }
        ::SendMessageW(tips_, TTM_SETMAXTIPWIDTH, 0, 600);
    }
    COMBOBOXINFO parts{};
    parts.cbSize = sizeof parts;
    if (!::GetComboBoxInfo(combo, &parts)) {
        return;
    }
    for (HWND part : {combo, parts.hwndItem, parts.hwndList}) {
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V1_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = hwnd;
        tool.uId = reinterpret_cast<UINT_PTR>(part);
        if (part == nullptr ||
            ::SendMessageW(tips_, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool)) != 0) {
            continue;  // none, or already a tool
        }
        tool.lpszText = LPSTR_TEXTCALLBACKW;
        ::SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        if (part == parts.hwndList && ::GetPropW(part, kTipOwner) == nullptr) {
            // Subclassed the classic way: the helpers for it are not exported
            // by name from every Common Controls 5 the program may meet.
            ::SetPropW(part, kTipOwner, reinterpret_cast<HANDLE>(this));
            ::SetPropW(part, kTipListProc,
                       reinterpret_cast<HANDLE>(::SetWindowLongPtrW(
                           part, GWLP_WNDPROC,
                           reinterpret_cast<LONG_PTR>(&Win32DialogWindow::TipListProc))));
        }
    }
}

// The list's tool covers every entry: when the mouse moves on to another
// entry the tip goes, and comes back with that entry's text.
LRESULT CALLBACK Win32DialogWindow::TipListProc(HWND list, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    auto* window = reinterpret_cast<Win32DialogWindow*>(::GetPropW(list, kTipOwner));
    const auto next = reinterpret_cast<WNDPROC>(::GetPropW(list, kTipListProc));
    if (message == WM_MOUSEMOVE && window != nullptr) {
        const LRESULT hit = ::SendMessageW(list, LB_ITEMFROMPOINT, 0, lParam);
        const int item = HIWORD(hit) != 0 ? -1 : static_cast<int>(LOWORD(hit));
        if (item != window->tipListItem_) {
            window->tipListItem_ = item;
            if (window->tips_ != nullptr) {
                ::SendMessageW(window->tips_, TTM_POP, 0, 0);
            }
        }
    } else if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(next));
        ::RemovePropW(list, kTipOwner);
        ::RemovePropW(list, kTipListProc);
    }
    return next != nullptr ? ::CallWindowProcW(next, list, message, wParam, lParam)
                           : ::DefWindowProcW(list, message, wParam, lParam);
}

bool Win32DialogWindow::AnswerTipRequest(NMTTDISPINFOW& request) {
    if (tips_ == nullptr || request.hdr.hwndFrom != tips_ || (request.uFlags & TTF_IDISHWND) == 0) {
        return false;
    }
    const auto part = reinterpret_cast<HWND>(request.hdr.idFrom);
    // The combo box the tool belongs to (its list is no child of it).
    HWND combo = nullptr;
    COMBOBOXINFO parts{};
    for (const auto& [id, texts] : tipTexts_) {
        HWND candidate = Item(id);
        COMBOBOXINFO info{};
        info.cbSize = sizeof info;
        if (candidate != nullptr && ::GetComboBoxInfo(candidate, &info) &&
            (part == candidate || part == info.hwndItem || part == info.hwndList)) {
            combo = candidate;
            parts = info;
        }
    }
    // Over the list, the entry under the mouse; elsewhere, the chosen one.
    // A box whose tips went with a reset answers with no text.
    LRESULT item = combo != nullptr ? ::SendMessageW(combo, CB_GETCURSEL, 0, 0) : CB_ERR;
    if (combo != nullptr && part == parts.hwndList) {
        POINT at{};
        ::GetCursorPos(&at);
        ::ScreenToClient(part, &at);
        const LRESULT hit = ::SendMessageW(part, LB_ITEMFROMPOINT, 0, MAKELPARAM(at.x, at.y));
        item = HIWORD(hit) != 0 ? CB_ERR : LOWORD(hit);
    }
    tipShown_.clear();
    if (item != CB_ERR) {
        const LRESULT data = ::SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(item), 0);
        if (data != CB_ERR && data != 0) {
            tipShown_ = *reinterpret_cast<const std::wstring*>(data);
        }
    }
    request.lpszText = tipShown_.data();
    request.szText[0] = L'\0';
    request.hinst = nullptr;
    return true;
}

}  // namespace plk::platform
