// A native dialog as platform::Window: sends from other threads as real
// SendMessageW calls, message boxes, and the controls by identifier.
#include <cstdio>

#include "platform/ui/win32/dialog_host_win.h"

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
    while (!done.IsSet()) {
        const DWORD woke = ::MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woke == WAIT_FAILED) {
            return;
        }
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_QS_SENDMESSAGE | PM_NOREMOVE);
    }
}

// --- message boxes ---------------------------------------------------------

void Win32DialogWindow::MessageBox(const std::string& text, const std::string& caption,
                                   unsigned type) {
    Box(text, caption, type, false);
}

void Win32DialogWindow::AppMessageBox(const std::string& text, unsigned type) {
    Box(text, host_.appName(), type, true);
}

void Win32DialogWindow::Box(const std::string& text, const std::string& caption, unsigned type,
                            bool owned) {
    // Every box runs on the user-interface thread, so that the end of the
    // session finds and ends it there.
    if (OnUiThread()) {
        ShowBox(text, caption, type, owned);
        return;
    }
    if (!SendWork([&] { ShowBox(text, caption, type, owned); })) {
        // No window to show it for any more, and the user-interface thread
        // may be waiting for this very thread: report it where it can be seen.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
}

void Win32DialogWindow::ShowBox(const std::string& text, const std::string& caption, unsigned type,
                                bool owned) {
    if (host_.cancelling()) {
        return;
    }
    HWND owner = owned ? hwnd() : nullptr;
    ::MessageBoxW(owner, Widen(text).c_str(), Widen(caption).c_str(), type);
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
}  // namespace

void Win32DialogWindow::SetItemText(int id, const std::string& text) {
    SendWork([&] {
        if (HWND control = Item(id)) {
            ::SetWindowTextW(control, Widen(text).c_str());
        }
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

}  // namespace plk::platform
