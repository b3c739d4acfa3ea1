#include "app/bridge_dlg.h"

#include <type_traits>

#include "app/about_box.h"
#include "bridge/mailbox.h"
#include "platform/ui/dialog_init.h"
#include "res/templates.h"

namespace plk {

namespace {

using Handler = platform::LResult (*)(CBridgeDlg&, platform::WParam, platform::LParam);

inline constexpr int kAny = -1;

// One row of the routing table: a message, and for WM_COMMAND the notification
// code and the control, bound to a member handler.
struct Route {
    uint32_t message;
    int code;
    int controlId;
    Handler handler;
};

template <typename T>
platform::LResult ToResult(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<platform::LResult>(value);
    } else {
        return static_cast<platform::LResult>(value);
    }
}

// Calls a handler of either form: (wParam, lParam), or no arguments; one
// without a result is answered with 0.
template <auto Member>
platform::LResult Invoke(CBridgeDlg& dlg, platform::WParam wParam, platform::LParam lParam) {
    using Fn = decltype(Member);
    if constexpr (std::is_invocable_v<Fn, CBridgeDlg&, platform::WParam, platform::LParam>) {
        if constexpr (std::is_void_v<std::invoke_result_t<Fn, CBridgeDlg&, platform::WParam,
                                                          platform::LParam>>) {
            (dlg.*Member)(wParam, lParam);
            return 0;
        } else {
            return ToResult((dlg.*Member)(wParam, lParam));
        }
    } else if constexpr (std::is_void_v<std::invoke_result_t<Fn, CBridgeDlg&>>) {
        (dlg.*Member)();
        return 0;
    } else {
        return ToResult((dlg.*Member)());
    }
}

template <auto Member>
constexpr Route OnMessage(uint32_t message) {
    return {message, kAny, kAny, &Invoke<Member>};
}

template <auto Member>
constexpr Route OnCommand(uint16_t code, int controlId) {
    return {platform::kWmCommand, code, controlId, &Invoke<Member>};
}

// Tried in order; the first matching row handles the message.
constexpr Route kMessageMap[] = {
    OnMessage<&CBridgeDlg::OnSysCommand>(platform::kWmSysCommand),
    OnMessage<&CBridgeDlg::OnPaint>(platform::kWmPaint),
    OnMessage<&CBridgeDlg::OnQueryDragIcon>(platform::kWmQueryDragIcon),
    OnMessage<&CBridgeDlg::OnPortChar>(WM_PORT_CHAR),
    OnMessage<&CBridgeDlg::OnPortDiscard>(WM_PORT_DISCARD),
    OnCommand<&CBridgeDlg::OnOpenPortButton>(platform::kBnClicked, IDC_BTN_OPENPORT),
    OnCommand<&CBridgeDlg::OnConnectButton>(platform::kBnClicked, IDC_BTN_CONNECT),
    OnCommand<&CBridgeDlg::OnDropdownPort>(platform::kCbnDropdown, IDC_CMB_PORT),
    OnCommand<&CBridgeDlg::OnSelendokModel>(platform::kCbnSelendOk, IDC_CMB_MODEL),
    OnCommand<&CBridgeDlg::OnSelendokPort>(platform::kCbnSelendOk, IDC_CMB_PORT),
};

}  // namespace

CBridgeDlg::CBridgeDlg(std::unique_ptr<platform::PortListSource> ports, uint16_t bridgePort,
                       platform::SerialPortOpener openPort)
    : m_link(openPort ? std::move(openPort) : platform::OpenSerialPort),
      m_ports(ports ? std::move(ports) : platform::SystemPortListSource()),
      m_bridgePort(bridgePort) {}

CBridgeDlg::~CBridgeDlg() {
    // The server thread uses the link and the window: it goes before either.
    m_bridge.reset();
}

platform::LResult CBridgeDlg::WindowProc(uint32_t message, platform::WParam wParam,
                                         platform::LParam lParam) {
    const int code = static_cast<int>((wParam >> 16) & 0xFFFF);
    const int controlId = static_cast<int>(wParam & 0xFFFF);
    for (const Route& route : kMessageMap) {
        if (route.message != message || (route.code != kAny && route.code != code) ||
            (route.controlId != kAny && route.controlId != controlId)) {
            continue;
        }
        return route.handler(*this, wParam, lParam);
    }
    // The base dialog's initialisation hook, then the application's commands,
    // then default processing.
    if (message == platform::kWmInitDialog) {
        return OnInitDialog();
    }
    if (message == platform::kWmCommand && m_commandOwner != nullptr &&
        m_commandOwner->OnCmdMsg(controlId)) {
        return 0;
    }
    return Default(message, wParam, lParam);
}

platform::LResult CBridgeDlg::OnPortChar(platform::WParam wParam, platform::LParam /*lParam*/) {
    MailboxPutByte(static_cast<uint8_t>(wParam));
    return 0;
}

platform::LResult CBridgeDlg::OnPortDiscard(platform::WParam wParam, platform::LParam /*lParam*/) {
    MailboxDiscarded(wParam != 0);
    return 0;
}

// --- the window shell ---------------------------------------------------------

platform::LResult CBridgeDlg::Default(uint32_t message, platform::WParam wParam,
                                      platform::LParam lParam) {
    return m_frame != nullptr ? m_frame->DefaultProc(message, wParam, lParam) : 0;
}

int CBridgeDlg::DoModal() {
    platform::DialogHost* host = platform::CurrentDialogHost();
    if (host == nullptr || m_ownWindow) {
        return -1;
    }
    m_ownWindow = host->CreateDialogWindow(res::MainDialog());
    if (!m_ownWindow) {
        return -1;
    }
    Attach(m_ownWindow.get());
    m_frame = m_ownWindow.get();
    const int result = m_ownWindow->RunModal(*this);
    // The window is gone. m_window still names the object, whose requests now
    // fail at once, for whoever still holds it until this dialog goes.
    m_frame = nullptr;
    return result;
}

int CBridgeDlg::OnInitDialog() {
    InitWindowShell();
    InitPortControl();
    return 1;  // the first tab-stop control gets the focus
}

void CBridgeDlg::InitWindowShell() {
    // The base initialisation: the template's initialisation data puts
    // "115200" into the model list.
    if (m_frame != nullptr) {
        m_frame->DefaultProc(platform::kWmInitDialog, 0, 0);
    } else if (m_window != nullptr) {
        platform::RunDialogInitData(*m_window, res::MainDialog().initData);
    }
    if (m_frame == nullptr) {
        return;  // no window frame: no icon and no window menu
    }
    // The icon; a missing one leaves the window without an icon of its own.
    if (platform::DialogHost* host = platform::CurrentDialogHost(); host != nullptr) {
        m_hIcon = host->LoadIcon(IDI_APP_ICON);
    }
    m_frame->SetIcon(platform::kIconBig, m_hIcon);
    // The About entry, last in the window menu.
    if (m_frame->HasWindowMenu()) {
        const std::string_view about = res::LoadString(IDS_ABOUT_ENTRY);
        if (!about.empty()) {
            m_frame->AppendWindowMenuSeparator();
            m_frame->AppendWindowMenuItem(IDM_ABOUT_ENTRY, std::string(about));
        }
    }
    // The icon for both sizes: the title bar's and the task switcher's.
    m_frame->SetIcon(platform::kIconBig, m_hIcon);
    m_frame->SetIcon(platform::kIconSmall, m_hIcon);
}

void CBridgeDlg::OnSysCommand(unsigned command, platform::LParam lParam) {
    if ((command & platform::kSysCommandMask) == IDM_ABOUT_ENTRY) {
        CAboutBox about;
        about.DoModal();
    } else {
        Default(platform::kWmSysCommand, command, lParam);
    }
}

void CBridgeDlg::OnPaint() {
    if (m_frame == nullptr || !m_frame->IsMinimized()) {
        Default(platform::kWmPaint, 0, 0);
        return;
    }
    const std::unique_ptr<platform::PaintContext> paint = m_frame->BeginPaint();
    // No row handles WM_ICONERASEBKGND: it goes straight to default processing.
    Default(platform::kWmIconEraseBkgnd, reinterpret_cast<platform::WParam>(paint.get()), 0);
    platform::DialogHost* host = platform::CurrentDialogHost();
    const platform::Size icon = host != nullptr ? host->IconSize() : platform::Size{32, 32};
    const platform::Size client = m_frame->ClientSize();
    const platform::Point at =
        platform::CentredIconPosition(client.width, client.height, icon.width, icon.height);
    paint->DrawIcon(at.x, at.y, m_hIcon);
}

}  // namespace plk
