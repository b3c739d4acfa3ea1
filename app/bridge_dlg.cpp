#include "app/bridge_dlg.h"

#include <type_traits>

#include "bridge/mailbox.h"

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

// Calls a handler of either form: (wParam, lParam) with a result, or no
// arguments and no result (answered with 0).
template <auto Member>
platform::LResult Invoke(CBridgeDlg& dlg, platform::WParam wParam, platform::LParam lParam) {
    using Fn = decltype(Member);
    if constexpr (std::is_invocable_v<Fn, CBridgeDlg&, platform::WParam, platform::LParam>) {
        if constexpr (std::is_void_v<std::invoke_result_t<Fn, CBridgeDlg&, platform::WParam,
                                                          platform::LParam>>) {
            (dlg.*Member)(wParam, lParam);
            return 0;
        } else {
            return static_cast<platform::LResult>((dlg.*Member)(wParam, lParam));
        }
    } else {
        (dlg.*Member)();
        return 0;
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

// Tried in order; the first matching row handles the message. The window's own
// rows (system command, painting, drag icon) go first.
constexpr Route kMessageMap[] = {
    OnMessage<&CBridgeDlg::OnPortChar>(WM_PORT_CHAR),
    OnCommand<&CBridgeDlg::OnOpenPortButton>(platform::kBnClicked, IDC_BTN_OPENPORT),
    OnCommand<&CBridgeDlg::OnConnectButton>(platform::kBnClicked, IDC_BTN_CONNECT),
    OnCommand<&CBridgeDlg::OnDropdownPort>(platform::kCbnDropdown, IDC_CMB_PORT),
    OnCommand<&CBridgeDlg::OnSelendokModel>(platform::kCbnSelendOk, IDC_CMB_MODEL),
    OnCommand<&CBridgeDlg::OnSelendokPort>(platform::kCbnSelendOk, IDC_CMB_PORT),
};

}  // namespace

CBridgeDlg::CBridgeDlg(std::unique_ptr<platform::PortListSource> ports, uint16_t bridgePort)
    : m_ports(ports ? std::move(ports) : platform::SystemPortListSource()),
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
    return 0;  // default processing
}

platform::LResult CBridgeDlg::OnPortChar(platform::WParam wParam, platform::LParam /*lParam*/) {
    MailboxPutByte(static_cast<uint8_t>(wParam));
    return 0;
}

}  // namespace plk
