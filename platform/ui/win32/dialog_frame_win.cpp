// A native dialog's frame: the dialog procedure that hands every message to
// the target, default processing, the dialog-initialisation resource, icons,
// the system menu, minimized painting and the modal run.
#include "platform/ui/win32/dialog_host_win.h"
#include "res/templates.h"

namespace plk::platform {

namespace {

// The framework's resource type of dialog-initialisation data.
constexpr WORD kRtDlgInit = 240;
// The framework keeps the 16-bit codes of the list messages in that data.
constexpr uint16_t kFrameworkLbAddString = 0x0401;

class Win32PaintContext final : public PaintContext {
public:
    explicit Win32PaintContext(HWND hwnd) : hwnd_(hwnd) { hdc_ = ::BeginPaint(hwnd_, &paint_); }
    ~Win32PaintContext() override { ::EndPaint(hwnd_, &paint_); }
    Win32PaintContext(const Win32PaintContext&) = delete;
    Win32PaintContext& operator=(const Win32PaintContext&) = delete;

    void DrawIcon(int x, int y, IconHandle icon) override {
        if (hdc_ != nullptr && icon != nullptr && icon->big != nullptr) {
            ::DrawIcon(hdc_, x, y, icon->big);
        }
    }
    HDC hdc() const { return hdc_; }

private:
    HWND hwnd_;
    PAINTSTRUCT paint_{};
    HDC hdc_ = nullptr;
};

}  // namespace

// --- the dialog procedure --------------------------------------------------

INT_PTR CALLBACK Win32DialogWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    auto* self = reinterpret_cast<Win32DialogWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Win32DialogWindow*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        ::SetPropW(hwnd, kDialogMark, reinterpret_cast<HANDLE>(self));
        self->hwnd_.store(hwnd, std::memory_order_release);
    }
    if (self == nullptr) {
        return FALSE;  // before WM_INITDIALOG (WM_SETFONT): the dialog manager's
    }
    return self->OnMessage(hwnd, message, wParam, lParam);
}

INT_PTR Win32DialogWindow::OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kWmRunSentWork:
            (*reinterpret_cast<const std::function<void()>*>(lParam))();
            ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 1);
            return TRUE;
        case WM_DESTROY:
            // From here on sends fail at once.
            hwnd_.store(nullptr, std::memory_order_release);
            ::RemovePropW(hwnd, kDialogMark);
            tips_ = nullptr;  // an owned window: it goes with the dialog
            break;
        case WM_NOTIFY:
            // The tooltip asks for the text of the entry it is about to show.
            if (reinterpret_cast<const NMHDR*>(lParam)->code == TTN_GETDISPINFOW &&
                AnswerTipRequest(*reinterpret_cast<NMTTDISPINFOW*>(lParam))) {
                return TRUE;
            }
            break;
        default:
            break;
    }
    if (target_ == nullptr) {
        return FALSE;
    }
    if (message == WM_HELP) {
        // F1 reaches the dialog as WM_HELP; the dialog sees it as the help
        // command, which its owner's routing table may take.
        message = WM_COMMAND;
        wParam = MakeCommandParam(kIdHelp, 0);
        lParam = 0;
    }
    Current current{message, wParam, lParam, false};
    Current* outer = current_;
    current_ = &current;
    const LResult result = target_->WindowProc(message, wParam, static_cast<LParam>(lParam));
    current_ = outer;

    switch (message) {
        case WM_INITDIALOG:
            if (host_.cancelling()) {
                ::EndDialog(hwnd, kIdCancel);
            }
            Centre(owner_);
            // Nonzero: the dialog manager focuses the first tab-stop control.
            return result != 0 ? TRUE : FALSE;
        case WM_QUERYDRAGICON: {
            // Answered directly: the cursor of the dragged minimized window.
            const auto* icon = reinterpret_cast<const Icon*>(result);
            if (current.defaultAsked || icon == nullptr || icon->big == nullptr) {
                return FALSE;
            }
            return reinterpret_cast<INT_PTR>(icon->big);
        }
        default:
            break;
    }
    if (current.defaultAsked) {
        return FALSE;  // the dialog manager's default processing
    }
    ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
    return TRUE;
}

// --- the dialog frame ------------------------------------------------------

void Win32DialogWindow::ApplyDialogInitData() {
    const HMODULE module = host_.module();
    const HRSRC found =
        ::FindResourceW(module, MAKEINTRESOURCEW(template_.id), MAKEINTRESOURCEW(kRtDlgInit));
    if (found == nullptr) {
        return;
    }
    const HGLOBAL loaded = ::LoadResource(module, found);
    const auto* bytes = static_cast<const uint8_t*>(loaded ? ::LockResource(loaded) : nullptr);
    if (bytes == nullptr) {
        return;
    }
    const auto records = res::ParseDlgInit({bytes, ::SizeofResource(module, found)});
    if (!records) {
        return;
    }
    HWND hwnd = this->hwnd();
    for (const res::DlgInitRecord& record : *records) {
        // Each record's message goes to its control with the data as an 8-bit
        // text; only the list-filling messages have a meaning here.
        UINT message = 0;
        if (record.message == res::kCbAddString) {
            message = CB_ADDSTRING;
        } else if (record.message == kFrameworkLbAddString) {
            message = LB_ADDSTRING;
        } else {
            continue;
        }
        std::string text(record.data.begin(), record.data.end());
        ::SendDlgItemMessageA(hwnd, record.controlId, message, 0,
                              reinterpret_cast<LPARAM>(text.c_str()));
    }
}

LResult Win32DialogWindow::DefaultProc(uint32_t message, WParam wParam, LParam lParam) {
    const bool handling = current_ != nullptr && current_->message == message &&
                          current_->wParam == wParam &&
                          current_->lParam == static_cast<LPARAM>(lParam);
    HWND hwnd = this->hwnd();
    if (hwnd == nullptr) {
        // WM_DESTROY and WM_NCDESTROY come after the handle was given up, and
        // the dialog manager's default for them is its clean-up (the font it
        // made for the template among it): it must still run.
        if (handling) {
            current_->defaultAsked = true;
        }
        return 0;
    }
    if (message == WM_INITDIALOG) {
        // The base dialog's initialisation: its dialog-initialisation data.
        ApplyDialogInitData();
        return 1;
    }
    const int id = static_cast<int>(LOWORD(wParam));
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && (id == kIdOk || id == kIdCancel)) {
        // The base dialog's own commands.
        EndDialog(id);
        return 0;
    }
    if (handling) {
        // The message being handled: the dialog manager processes it once the
        // dialog procedure has returned.
        current_->defaultAsked = true;
        return 0;
    }
    if (message == WM_ICONERASEBKGND) {
        auto* paint = dynamic_cast<Win32PaintContext*>(reinterpret_cast<PaintContext*>(wParam));
        return ::DefWindowProcW(
            hwnd, message, reinterpret_cast<WPARAM>(paint != nullptr ? paint->hdc() : nullptr), 0);
    }
    return ::DefWindowProcW(hwnd, message, wParam, static_cast<LPARAM>(lParam));
}

void Win32DialogWindow::SetIcon(int which, IconHandle icon) {
    (which == kIconBig ? bigIcon_ : smallIcon_) = icon;
    if (HWND hwnd = this->hwnd()) {
        HICON handle = icon == nullptr ? nullptr : which == kIconBig ? icon->big : icon->small;
        ::SendMessageW(hwnd, WM_SETICON, which == kIconBig ? ICON_BIG : ICON_SMALL,
                       reinterpret_cast<LPARAM>(handle));
    }
}

IconHandle Win32DialogWindow::GetIcon(int which) {
    return which == kIconBig ? bigIcon_ : smallIcon_;
}

bool Win32DialogWindow::HasWindowMenu() {
    HWND hwnd = this->hwnd();
    return hwnd != nullptr && ::GetSystemMenu(hwnd, FALSE) != nullptr;
}

void Win32DialogWindow::AppendWindowMenuSeparator() {
    if (HWND hwnd = this->hwnd()) {
        if (HMENU menu = ::GetSystemMenu(hwnd, FALSE)) {
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        }
    }
}

void Win32DialogWindow::AppendWindowMenuItem(unsigned command, const std::string& text) {
    if (HWND hwnd = this->hwnd()) {
        if (HMENU menu = ::GetSystemMenu(hwnd, FALSE)) {
            ::AppendMenuW(menu, MF_STRING, command, Widen(text).c_str());
        }
    }
}

bool Win32DialogWindow::IsMinimized() {
    HWND hwnd = this->hwnd();
    return hwnd != nullptr && ::IsIconic(hwnd);
}

Size Win32DialogWindow::ClientSize() {
    RECT rect{};
    if (HWND hwnd = this->hwnd(); hwnd == nullptr || !::GetClientRect(hwnd, &rect)) {
        return {};
    }
    return {rect.right - rect.left, rect.bottom - rect.top};
}

std::unique_ptr<PaintContext> Win32DialogWindow::BeginPaint() {
    return std::make_unique<Win32PaintContext>(hwnd());
}

void Win32DialogWindow::EndDialog(int result) {
    if (HWND hwnd = this->hwnd()) {
        ::EndDialog(hwnd, result);
    }
}

bool Win32DialogWindow::IsEnabled() {
    HWND hwnd = this->hwnd();
    return hwnd != nullptr && ::IsWindowEnabled(hwnd);
}

// --- the modal run ---------------------------------------------------------

void Win32DialogWindow::Centre(HWND owner) {
    HWND hwnd = this->hwnd();
    RECT area{};
    if (owner != nullptr) {
        ::GetWindowRect(owner, &area);
    } else {
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    }
    RECT frame{};
    if (hwnd == nullptr || !::GetWindowRect(hwnd, &frame)) {
        return;
    }
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = area.left + (area.right - area.left - width) / 2;
    const int y = area.top + (area.bottom - area.top - height) / 2;
    ::SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int Win32DialogWindow::RunModal(MessageTarget& target) {
    if (ran_ || !OnUiThread()) {
        return -1;
    }
    ran_ = true;
    target_ = &target;
    Win32DialogWindow* owner = host_.InnermostModal();
    owner_ = owner != nullptr ? owner->hwnd() : nullptr;
    host_.PushModal(this);
    // The dialog manager makes the window from the template of the same
    // identifier among the resources, disables the owner, runs the modal
    // loop (which also delivers what other threads send) and destroys the
    // window when the dialog ends.
    const INT_PTR result =
        ::DialogBoxParamW(host_.module(), MAKEINTRESOURCEW(template_.id), owner_,
                          &Win32DialogWindow::DialogProc, reinterpret_cast<LPARAM>(this));
    host_.PopModal(this);
    hwnd_.store(nullptr, std::memory_order_release);
    target_ = nullptr;
    return static_cast<int>(result);
}

}  // namespace plk::platform
