// CBridgeDlg: the main dialog. It holds the program's one serial link, turns
// the user's choice of port into an open link, and routes the window's
// messages to its handlers through one table.
//
// WindowProc's table rows are (message, notification code, control, member
// handler), first match wins; a command with no row goes to the application's
// own table (CBridgeApp::OnCmdMsg: F1's help), then to default processing.
// The dialog owns its platform window object (m_ownWindow, declared first so it
// goes last): when the dialog ends the window on screen is destroyed and sends
// fail from then on, but the object stays valid for threads that still hold it,
// so everything the dialog started is stopped and joined in its destructor (the
// bridge server before the link) before the window object goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/bridge_server.h"
#include "platform/comm/port_list.h"
#include "platform/ui/dialog_host.h"
#include "platform/ui/window.h"
#include "res/resource.h"
#include "serial/serial_link.h"

namespace plk {

// Texts of the port control.
inline constexpr const char* kPortInfoPrefix = "串口:";
inline constexpr const char* kModelInfoPrefix = " 型号:";
inline constexpr const char* kGreeting = "ready&ready&";
inline constexpr const char* kCaptionClosePort = "关闭串口";
inline constexpr const char* kCaptionOpenPort = "打开串口";
inline constexpr const char* kLinkStateNotConnected = "未连接";
inline constexpr const char* kOpenPortError = "打开串口error";

// Port-control state. Process-wide, touched only on the user-interface thread.
extern std::string g_portName;   // text of the port list's selected entry
extern std::string g_modelText;  // text of the model list's selected entry
extern int g_portOpen;           // 1 from a successful open until the next close request
// Whether this process has started its bridge server; it never does twice.
extern bool g_bridgeStarted;

// The port number in a port list entry: the text from index 3 read as the C
// library's atoi does (blanks, a sign, digits up to the first other
// character; 0 without digits), but saturating instead of overflowing.
int PortNumberFromName(std::string_view name);

class CBridgeDlg : public platform::MessageTarget {
public:
    // `ports` lists the ports (null: the system's list) and `openPort` opens
    // them (empty: the system's opener); the bridge server, once started,
    // listens on `bridgePort`.
    explicit CBridgeDlg(std::unique_ptr<platform::PortListSource> ports = nullptr,
                        uint16_t bridgePort = kBridgePort,
                        platform::SerialPortOpener openPort = {});
    // Stops and joins the bridge server before the link and the window go.
    virtual ~CBridgeDlg();
    CBridgeDlg(const CBridgeDlg&) = delete;
    CBridgeDlg& operator=(const CBridgeDlg&) = delete;

    // The window this dialog lives in; set before the window delivers messages.
    void Attach(platform::Window* window) { m_window = window; }
    platform::Window* window() const { return m_window; }
    CSerialLink& link() { return m_link; }
    bool BridgeRunning() const { return m_bridge != nullptr; }

    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override;

    // The dialog's initialisation: the window shell's steps (the base
    // initialisation, which puts the model list's one entry, "115200", in
    // place; the icon; the About entry), then the port control's: list the
    // ports and open the last one, starting the bridge server when that works.
    // Returns nonzero.
    int OnInitDialog();

    // Lists the ports into IDC_CMB_PORT and selects the last; returns how many
    // were listed. The drop-down variant empties the list first (when the
    // source can be read) and leaves the model list alone.
    int FillPortList(bool dropDown);
    // Opens the selected port at the program's line settings and greets the
    // board; `startBridge` only from the initialisation.
    void OpenSelectedPort(bool startBridge);

    // Handlers, on the user-interface thread.
    // WM_PORT_CHAR: one byte from the board (wParam).
    platform::LResult OnPortChar(platform::WParam wParam, platform::LParam lParam);
    // WM_PORT_DISCARD: the board's input was thrown away unread (wParam 1:
    // inside a line).
    platform::LResult OnPortDiscard(platform::WParam wParam, platform::LParam lParam);
    void OnOpenPortButton();
    void OnConnectButton();
    void OnDropdownPort();
    void OnSelendokPort();
    void OnSelendokModel();

    // --- the window shell ---
    // Creates the window from IDD_MAIN_DIALOG and runs it modally until OK or
    // Cancel. Returns the end code, -1 when there is no window system.
    int DoModal();
    // The first steps of OnInitDialog: the base initialisation, the window
    // icon and the About entry of the window menu.
    void InitWindowShell();
    void OnSysCommand(unsigned command, platform::LParam lParam);
    void OnPaint();
    platform::IconHandle OnQueryDragIcon() const { return m_hIcon; }
    // Takes the commands the dialog's own table does not: the application.
    void SetCommandOwner(platform::CommandTarget* owner) { m_commandOwner = owner; }
    // The window's frame operations; DoModal sets it, tests may set their own.
    void AttachFrame(platform::DialogFrame* frame) { m_frame = frame; }

private:
    platform::LResult Default(uint32_t message, platform::WParam wParam, platform::LParam lParam);
    // The port control's part of OnInitDialog.
    void InitPortControl();
    // Copies both lists' selected entries into g_portName and g_modelText;
    // false when the port list has none selected.
    bool ReadSelections();
    void SetItemText(int id, std::string_view text);

    // The window DoModal created. Declared before everything that may still use
    // it from another thread, so that it goes last; once the dialog has ended
    // its requests fail at once.
    std::unique_ptr<platform::DialogWindow> m_ownWindow;
    platform::DialogFrame* m_frame = nullptr;  // while the window exists
    platform::Window* m_window = nullptr;
    CSerialLink m_link;
    std::unique_ptr<platform::PortListSource> m_ports;
    uint16_t m_bridgePort;
    // Uses m_link and the window; declared after m_link so it would go first
    // anyway, and the destructor stops it explicitly.
    std::unique_ptr<BridgeServer> m_bridge;
    platform::IconHandle m_hIcon = nullptr;  // the module's; never released here
    platform::CommandTarget* m_commandOwner = nullptr;
};

}  // namespace plk
