// CBridgeDlg: the main dialog. It holds the program's one serial link and
// routes the window's messages to its handlers.
#pragma once

#include <memory>

#include "platform/dialog_host.h"
#include "platform/window.h"
#include "res/resource.h"
#include "serial/serial_link.h"

namespace plk {

class CBridgeDlg : public platform::MessageTarget {
  public:
    CBridgeDlg() = default;
    virtual ~CBridgeDlg() = default;
    CBridgeDlg(const CBridgeDlg&) = delete;
    CBridgeDlg& operator=(const CBridgeDlg&) = delete;

    // The window this dialog lives in; set before the window delivers messages.
    void Attach(platform::Window* window) { m_window = window; }
    platform::Window* window() const { return m_window; }
    CSerialLink& link() { return m_link; }

    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override;

    // WM_PORT_CHAR: one byte from the board (wParam), on the user-interface thread.
    platform::LResult OnPortChar(platform::WParam wParam, platform::LParam lParam);

    // --- the window shell ---
    // Creates the window from IDD_MAIN_DIALOG and runs it modally until OK or
    // Cancel. Returns the end code, -1 when there is no window system.
    int DoModal();
    int OnInitDialog();
    // The first steps of OnInitDialog: the base initialisation, the window
    // icon and the About entry of the window menu.
    void InitWindowShell();
    void OnSysCommand(unsigned command, platform::LParam lParam);
    void OnPaint();
    platform::IconHandle OnQueryDragIcon() const { return m_hIcon; }
    // The window's frame operations; DoModal sets it, tests may set their own.
    void AttachFrame(platform::DialogFrame* frame) { m_frame = frame; }

  private:
    platform::LResult Default(uint32_t message, platform::WParam wParam, platform::LParam lParam);

    // The window DoModal created. Declared before everything that may still use
    // it from another thread, so that it goes last; once the dialog has ended
    // its requests fail at once.
    std::unique_ptr<platform::DialogWindow> m_ownWindow;
    platform::DialogFrame* m_frame = nullptr;  // while the window exists
    platform::Window* m_window = nullptr;
    CSerialLink m_link;
    platform::IconHandle m_hIcon = nullptr;  // the module's; never released here
};

}  // namespace plk
