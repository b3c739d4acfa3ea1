// What a dialog needs from the window system beyond platform::Window: being
// created from its template and run modally, its icon, its window menu,
// default processing of the messages it does not handle, and painting.
//
// Implementations: Qt Widgets (ui/qt/), Win32 native dialogs (ui/win32/).
#pragma once

#include <memory>
#include <string>

#include "platform/ui/dialog_units.h"
#include "platform/ui/window.h"
#include "res/templates.h"

namespace plk::platform {

using res::kIdCancel;
using res::kIdHelp;
using res::kIdOk;

inline constexpr uint32_t kWmIconEraseBkgnd = 0x0027;
inline constexpr uint32_t kWmInitDialog = 0x0110;

// System commands (WM_SYSCOMMAND's wParam); the low four bits are the platform's.
inline constexpr unsigned kSysCommandMask = 0xFFF0;
inline constexpr unsigned kScMinimize = 0xF020;
inline constexpr unsigned kScClose = 0xF060;
inline constexpr unsigned kScRestore = 0xF120;

inline constexpr int kIconSmall = 0;
inline constexpr int kIconBig = 1;

// An icon of the program's resources. It belongs to the module and lives until
// the window system goes away; nobody releases it. nullptr is no icon.
struct Icon;
using IconHandle = const Icon*;

struct Size {
    int width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

// A paint session of a window (begun by DialogFrame::BeginPaint, ended when
// the object goes).
class PaintContext {
public:
    virtual ~PaintContext() = default;
    virtual void DrawIcon(int x, int y, IconHandle icon) = 0;
};

// Where a dialog hands the commands it does not handle itself: the
// application's own routing table.
class CommandTarget {
public:
    // True when the command was handled.
    virtual bool OnCmdMsg(int id) = 0;

protected:
    ~CommandTarget() = default;
};

// The window operations of a dialog. User-interface thread only.
class DialogFrame {
public:
    // Default processing of a message the dialog does not handle: WM_INITDIALOG
    // runs the template's dialog-initialisation data and returns TRUE; the
    // system commands close (ends the dialog with IDCANCEL), minimize and
    // restore; WM_ICONERASEBKGND (wParam: the PaintContext*) erases behind the
    // icon; everything else is ignored and gives 0.
    virtual LResult DefaultProc(uint32_t message, WParam wParam, LParam lParam) = 0;

    virtual void SetIcon(int which, IconHandle icon) = 0;  // kIconBig or kIconSmall
    virtual IconHandle GetIcon(int which) = 0;

    // The window menu, the dialog's own system menu. False when it has none.
    virtual bool HasWindowMenu() = 0;
    virtual void AppendWindowMenuSeparator() = 0;
    // Choosing the entry sends WM_SYSCOMMAND with `command` to the dialog.
    virtual void AppendWindowMenuItem(unsigned command, const std::string& text) = 0;

    virtual bool IsMinimized() = 0;
    virtual Size ClientSize() = 0;
    virtual std::unique_ptr<PaintContext> BeginPaint() = 0;

    // Ends the modal loop with `result`; the window is destroyed as it returns.
    virtual void EndDialog(int result) = 0;
    virtual bool IsEnabled() = 0;

protected:
    ~DialogFrame() = default;
};

// A dialog's window, created from its template. The object outlives the
// window on screen: once the dialog has ended, sends fail at once and control
// requests do nothing, so threads still holding it can finish safely.
class DialogWindow : public Window, public DialogFrame {
public:
    // Sends WM_INITDIALOG to `target` (its result nonzero: the first tab-stop
    // control gets the focus), shows the dialog centred over its owner (the
    // innermost dialog running, else the screen), disables that owner, runs the
    // modal loop, which also serves other threads' sends, until EndDialog,
    // re-enables the owner and destroys the window. Returns the end code.
    // Once only.
    virtual int RunModal(MessageTarget& target) = 0;
};

class DialogHost {
public:
    virtual ~DialogHost() = default;
    // nullptr when the window cannot be created.
    virtual std::unique_ptr<DialogWindow> CreateDialogWindow(const res::DialogTemplate& dialog) = 0;
    // An icon of the resources, at the system's standard icon size; nullptr
    // when there is no such icon.
    virtual IconHandle LoadIcon(int id) = 0;
    // The system's standard icon size.
    virtual Size IconSize() = 0;
};

// The window system of this process, while one runs; nullptr otherwise.
DialogHost* CurrentDialogHost();
void SetCurrentDialogHost(DialogHost* host);

}  // namespace plk::platform
