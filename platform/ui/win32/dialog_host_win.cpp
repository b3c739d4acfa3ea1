// The Win32 dialog host: the module's icons, the application's name, and the
// stack of running dialogs that the end of the session cancels.
#include "platform/ui/win32/dialog_host_win.h"

#include <algorithm>

namespace plk::platform {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    if (length > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
    }
    return wide;
}

std::string Narrow(std::wstring_view utf16) {
    if (utf16.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf16.size());
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, narrow.data(), length, nullptr,
                              nullptr);
    }
    return narrow;
}

namespace {

constexpr wchar_t kNotifyClass[] = L"PlinkorDialogHost";

std::string ExecutableBaseName() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return kAppName;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (const std::size_t dot = name.find_last_of(L'.'); dot != std::wstring::npos && dot > 0) {
        name.resize(dot);
    }
    return name.empty() ? std::string(kAppName) : Narrow(name);
}

BOOL CALLBACK EndBox(HWND hwnd, LPARAM /*unused*/) {
    // A message box is a dialog of the system's class; our own dialogs carry
    // a mark and are ended through the modal stack, innermost first. A box
    // may run on any thread of the process: its OK is posted to it.
    DWORD process = 0;
    ::GetWindowThreadProcessId(hwnd, &process);
    wchar_t name[16] = {};
    ::GetClassNameW(hwnd, name, 16);
    if (process == ::GetCurrentProcessId() && std::wstring_view(name) == L"#32770" &&
        ::GetPropW(hwnd, kDialogMark) == nullptr) {
        ::PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

}  // namespace

Win32DialogHost::Win32DialogHost()
    : module_(::GetModuleHandleW(nullptr)),
      uiThread_(::GetCurrentThreadId()),
      appName_(ExecutableBaseName()) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32DialogHost::NotifyProc;
    wc.hInstance = module_;
    wc.lpszClassName = kNotifyClass;
    ::RegisterClassExW(&wc);
    notify_ = ::CreateWindowExW(0, kNotifyClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module_,
                                nullptr);
    if (notify_ != nullptr) {
        ::SetWindowLongPtrW(notify_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

Win32DialogHost::~Win32DialogHost() {
    if (notify_ != nullptr) {
        ::DestroyWindow(notify_);
    }
    ::UnregisterClassW(kNotifyClass, module_);
    for (auto& [id, icon] : icons_) {
        if (icon.big != nullptr) {
            ::DestroyIcon(icon.big);
        }
        if (icon.small != nullptr) {
            ::DestroyIcon(icon.small);
        }
    }
}

std::unique_ptr<DialogWindow> Win32DialogHost::CreateDialogWindow(
    const res::DialogTemplate& dialog) {
    // The template must be among the executable's resources: the dialog
    // manager builds the window from there.
    if (::FindResourceW(module_, MAKEINTRESOURCEW(dialog.id), MAKEINTRESOURCEW(5)) == nullptr) {
        return nullptr;
    }
    return std::make_unique<Win32DialogWindow>(*this, dialog);
}

IconHandle Win32DialogHost::LoadIcon(int id) {
    if (const auto it = icons_.find(id); it != icons_.end()) {
        return &it->second;
    }
    auto load = [&](int widthMetric, int heightMetric) {
        return static_cast<HICON>(::LoadImageW(module_, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                               ::GetSystemMetrics(widthMetric),
                                               ::GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
    };
    Icon icon{load(SM_CXICON, SM_CYICON), load(SM_CXSMICON, SM_CYSMICON)};
    if (icon.big == nullptr) {
        if (icon.small != nullptr) {
            ::DestroyIcon(icon.small);
        }
        return nullptr;
    }
    return &icons_.emplace(id, icon).first->second;
}

Size Win32DialogHost::IconSize() {
    return {::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON)};
}

void Win32DialogHost::PopModal(Win32DialogWindow* dialog) {
    std::erase(modal_, dialog);
}

void Win32DialogHost::RequestCancelAll() {
    cancelling_.store(true, std::memory_order_release);
    if (notify_ != nullptr) {
        ::PostMessageW(notify_, kWmCancelAll, 0, 0);
    }
}

void Win32DialogHost::CancelAll() {
    cancelling_.store(true, std::memory_order_release);
    // An open window menu runs a loop of its own.
    ::EndMenu();
    ::EnumWindows(&EndBox, 0);
    for (auto it = modal_.rbegin(); it != modal_.rend(); ++it) {
        (*it)->EndDialog(kIdCancel);
    }
}

LRESULT CALLBACK Win32DialogHost::NotifyProc(HWND hwnd, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == kWmCancelAll) {
        if (auto* host =
                reinterpret_cast<Win32DialogHost*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
            host->CancelAll();
        }
        return 0;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace plk::platform
