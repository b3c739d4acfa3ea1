#include "app/bridge_dlg.h"

#include "bridge/mailbox.h"

namespace plk {

platform::LResult CBridgeDlg::WindowProc(uint32_t message, platform::WParam wParam,
                                         platform::LParam lParam) {
    if (message == WM_PORT_CHAR) {
        return OnPortChar(wParam, lParam);
    }
    return 0;
}

platform::LResult CBridgeDlg::OnPortChar(platform::WParam wParam, platform::LParam /*lParam*/) {
    MailboxPutByte(static_cast<uint8_t>(wParam));
    return 0;
}

}  // namespace plk
