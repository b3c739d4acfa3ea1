// The Win32 dialog host: native dialogs made by the dialog manager from the
// executable's own resources. Included only by the *_win.cpp files of this
// folder.
//
// DialogBoxParamW makes each dialog from the template of its identifier
// (SetItemText widens a left-aligned static text to the right, within the
// dialog, as far as its text needs on one line, as on Qt). The dialog procedure
// hands every message to the target and returns FALSE (the dialog manager's
// default) for the message whose DefaultProc was asked for; WM_INITDIALOG's
// default sends the records of resource type 240 to their controls; the
// defaults of WM_DESTROY and WM_NCDESTROY, asked for after the handle is given
// up, are still the dialog manager's (its font goes). The manifest (type 24)
// makes the process aware of the system's DPI; the controls stay the classic
// ones.
//
// Other threads' sends are real SendMessageW calls (the work as a private
// message); WaitServingSends serves only sent messages. The application's own
// box is owned by the dialog and captioned with the executable's base name; the
// system's (Application Error) has no owner and runs on the calling thread, so a
// worker waiting in it never holds the user-interface thread. gui_session_win.cpp
// turns the end of the session and a console's Ctrl+C or close into Cancel; the
// answer waits, on a thread of its own, until main has unwound.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sys/win32.h"
#include "platform/ui/dialog_host.h"

// clang-format off
#include <commctrl.h>
// clang-format on

namespace plk::platform {

// Texts are UTF-8 in the program and UTF-16 on the wide API.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// One icon group of the resources at the two sizes a window shows.
struct Icon {
    HICON big = nullptr;    // SM_CXICON x SM_CYICON
    HICON small = nullptr;  // SM_CXSMICON x SM_CYSMICON
};

// Work another thread hands to a dialog's user-interface thread with
// SendMessageW: lParam is a const std::function<void()>*, the answer 1 once it
// ran. Private to the dialogs of this host.
inline constexpr UINT kWmRunSentWork = WM_APP + 0x2A0;
// Posted to the host's message-only window: cancel every dialog and box.
inline constexpr UINT kWmCancelAll = WM_APP + 0x2A1;

// The window property that marks the dialogs of this host among the
// dialog-class windows of the thread (the others are message boxes).
inline constexpr wchar_t kDialogMark[] = L"PlinkorDialog";

class Win32DialogWindow;

class Win32DialogHost final : public DialogHost {
public:
    Win32DialogHost();
    ~Win32DialogHost() override;
    Win32DialogHost(const Win32DialogHost&) = delete;
    Win32DialogHost& operator=(const Win32DialogHost&) = delete;

    std::unique_ptr<DialogWindow> CreateDialogWindow(const res::DialogTemplate& dialog) override;
    IconHandle LoadIcon(int id) override;
    Size IconSize() override;

    HINSTANCE module() const { return module_; }
    DWORD uiThread() const { return uiThread_; }
    // The executable's base name without its extension ("Plinkor"): the
    // caption of the application's own boxes, as the framework names it.
    const std::string& appName() const { return appName_; }

    void PushModal(Win32DialogWindow* dialog) { modal_.push_back(dialog); }
    void PopModal(Win32DialogWindow* dialog);
    Win32DialogWindow* InnermostModal() const { return modal_.empty() ? nullptr : modal_.back(); }

    // Any thread: the user-interface thread runs CancelAll as soon as a loop
    // of its gets there (a modal loop, a box, a menu).
    void RequestCancelAll();
    // User-interface thread: closes an open menu, ends every box of the
    // process (whatever thread shows it), then every running dialog innermost
    // first, with Cancel; dialogs and boxes started from now on end at once.
    void CancelAll();
    bool cancelling() const { return cancelling_.load(std::memory_order_acquire); }

private:
    static LRESULT CALLBACK NotifyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    const HINSTANCE module_;
    const DWORD uiThread_;
    std::string appName_;
    HWND notify_ = nullptr;  // message-only window of the user-interface thread
    std::map<int, Icon> icons_;
    std::vector<Win32DialogWindow*> modal_;
    std::atomic<bool> cancelling_{false};
};

class Win32DialogWindow final : public DialogWindow {
public:
    Win32DialogWindow(Win32DialogHost& host, const res::DialogTemplate& dialog);
    ~Win32DialogWindow() override;

    // Window
    bool Send(uint32_t message, WParam wParam, LParam lParam, LResult* result = nullptr) override;
    void WaitServingSends(const Event& done) override;
    void MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    void AppMessageBox(const std::string& text, unsigned type) override;
    void SetItemText(int id, const std::string& text) override;
    std::string ItemText(int id) override;
    void ComboReset(int id) override;
    void ComboInsert(int id, int position, const std::string& text) override;
    void ComboSetCurSel(int id, int position) override;
    int ComboGetCurSel(int id) override;
    std::string ComboText(int id, int position) override;
    int ComboCount(int id) override;
    void ComboSetItemTip(int id, int position, const std::string& tip) override;

    // DialogFrame
    LResult DefaultProc(uint32_t message, WParam wParam, LParam lParam) override;
    void SetIcon(int which, IconHandle icon) override;
    IconHandle GetIcon(int which) override;
    bool HasWindowMenu() override;
    void AppendWindowMenuSeparator() override;
    void AppendWindowMenuItem(unsigned command, const std::string& text) override;
    bool IsMinimized() override;
    Size ClientSize() override;
    std::unique_ptr<PaintContext> BeginPaint() override;
    void EndDialog(int result) override;
    bool IsEnabled() override;

    // DialogWindow
    int RunModal(MessageTarget& target) override;

    // The window while it exists, else nullptr. Any thread.
    HWND hwnd() const { return hwnd_.load(std::memory_order_acquire); }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    bool OnUiThread() const { return ::GetCurrentThreadId() == host_.uiThread(); }
    // Runs `work` on the user-interface thread, through a real sent message
    // from other threads; false once the window is gone.
    bool SendWork(const std::function<void()>& work);
    HWND Item(int id) const;
    // Entry tips: one tooltip for the dialog, its tools the combo box, its edit
    // field and its dropped-down list; the text is asked for when it shows.
    void AddTipTools(HWND combo);
    bool AnswerTipRequest(NMTTDISPINFOW& request);
    static LRESULT CALLBACK TipListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
    void ApplyDialogInitData();
    void Centre(HWND owner);

    Win32DialogHost& host_;
    const res::DialogTemplate& template_;

    // Set by the user-interface thread when the dialog manager has made the
    // window and cleared as it is destroyed (release); senders read it
    // (acquire) and fail at once when it is gone.
    std::atomic<HWND> hwnd_{nullptr};

    // User-interface thread only.
    struct Current {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool defaultAsked;
    };
    Current* current_ = nullptr;  // the message the target is handling
    MessageTarget* target_ = nullptr;
    HWND owner_ = nullptr;
    bool ran_ = false;
    IconHandle bigIcon_ = nullptr;
    IconHandle smallIcon_ = nullptr;
    HWND tips_ = nullptr;  // goes with the dialog, its owner
    // Per combo box, the tips its entries' item data point at; dropped with
    // the entries.
    std::map<int, std::vector<std::unique_ptr<std::wstring>>> tipTexts_;
    std::wstring tipShown_;  // the text a tooltip was last given
    int tipListItem_ = -1;   // the list entry under the mouse
};

}  // namespace plk::platform
