// The Win32 session: the dialog host, and the end of the Windows session
// (logoff, shutdown) or a console's Ctrl+C or close turned into Cancel.
//
// Windows ends a process once its windows have answered WM_ENDSESSION, and a
// console process once its control handler returns. So both answers wait,
// on a thread of their own, until the user-interface thread has ended the
// dialogs as Cancel does and unwound the program in its usual order (the
// bridge stopped and joined, the link closed, the window gone), and main is
// about to return.
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/ui/gui_session.h"
#include "platform/ui/win32/dialog_host_win.h"

namespace plk::platform {

namespace {

constexpr wchar_t kSessionClass[] = L"PlinkorSession";
// How long an answer waits for the program to unwind; Windows itself gives up
// on a program that takes much longer.
constexpr DWORD kUnwindWaitMs = 20000;

// Set once the program has unwound. Process-wide and never closed: a console
// handler may still be waiting on it while the process ends.
HANDLE UnwoundEvent() {
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// The host to cancel while a session watches. The lock keeps the session
// from destroying the host while a request reaches it; nobody waits under it.
std::mutex g_hostLock;
Win32DialogHost* g_watchedHost = nullptr;
bool g_endRequested = false;

// The first request asks the user-interface thread to end the dialogs; false
// for a later one, or with no session watching.
bool RequestEnd() {
    std::lock_guard lock(g_hostLock);
    if (g_watchedHost == nullptr || g_endRequested) {
        return false;
    }
    g_endRequested = true;
    g_watchedHost->RequestCancelAll();
    return true;
}

// Ends the dialogs and waits for the program to unwind; false for a second
// request, which then has its default effect.
bool EndAsCancel() {
    if (!RequestEnd()) {
        return false;
    }
    ::WaitForSingleObject(UnwoundEvent(), kUnwindWaitMs);
    return true;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // Ctrl+C need not wait: the process goes on after the handler.
            return RequestEnd() ? TRUE : FALSE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return EndAsCancel() ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

LRESULT CALLBACK SessionProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;  // nothing to ask the user: the dialog ends as Cancel does
        case WM_ENDSESSION:
            if (wParam != FALSE) {
                EndAsCancel();
            }
            return 0;
        case WM_CLOSE:
            ::DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

class Win32GuiSession final : public GuiSession {
public:
    Win32GuiSession() { SetCurrentDialogHost(&host_); }

    ~Win32GuiSession() override {
        ::SetEvent(UnwoundEvent());
        if (watcher_.joinable()) {
            ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
            if (HWND hwnd = sessionWindow_.load(std::memory_order_acquire)) {
                ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
            }
            watcher_.join();
            std::lock_guard lock(g_hostLock);
            g_watchedHost = nullptr;
        }
        SetCurrentDialogHost(nullptr);
    }

    void CancelDialogsOnTerminationSignals() override {
        if (watcher_.joinable()) {
            return;
        }
        {
            std::lock_guard lock(g_hostLock);
            g_watchedHost = &host_;
        }
        ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
        const HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        watcher_ = std::thread([this, ready] { Watch(ready); });
        if (ready != nullptr) {
            ::WaitForSingleObject(ready, INFINITE);
            ::CloseHandle(ready);
        }
    }

private:
    // A hidden top-level window of its own thread: Windows asks every
    // top-level window whether the session may end, and this one can wait.
    void Watch(HANDLE ready) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &SessionProc;
        wc.hInstance = host_.module();
        wc.lpszClassName = kSessionClass;
        ::RegisterClassExW(&wc);
        HWND hwnd = ::CreateWindowExW(0, kSessionClass, L"Plinkor", WS_POPUP, 0, 0, 0, 0, nullptr,
                                      nullptr, host_.module(), nullptr);
        sessionWindow_.store(hwnd, std::memory_order_release);
        if (ready != nullptr) {
            ::SetEvent(ready);
        }
        if (hwnd == nullptr) {
            return;
        }
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::UnregisterClassW(kSessionClass, host_.module());
    }

    Win32DialogHost host_;
    std::atomic<HWND> sessionWindow_{nullptr};
    std::thread watcher_;
};

}  // namespace

std::unique_ptr<GuiSession> GuiSession::Start(int& /*argc*/, char** /*argv*/) {
    return std::make_unique<Win32GuiSession>();
}

}  // namespace plk::platform
