// CBridgeDlg: the main dialog. It holds the program's one serial link and
// routes the window's messages to its handlers.
#pragma once

#include "platform/window.h"
#include "serial/serial_link.h"

namespace plk {

// Control identifiers of the main dialog.
inline constexpr int IDC_BTN_CONNECT = 1000;
inline constexpr int IDC_BTN_OPENPORT = 1001;
inline constexpr int IDC_CMB_PORT = 1002;
inline constexpr int IDC_CMB_MODEL = 1003;
inline constexpr int IDC_TXT_PORTINFO = 1004;
inline constexpr int IDC_TXT_LINKSTATE = 1005;

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

private:
    platform::Window* m_window = nullptr;
    CSerialLink m_link;
};

}  // namespace plk
