// CAboutBox: the About box, shown from the main dialog's window menu. It has
// no handlers of its own: OK, Escape and the close box end it.
#pragma once

#include "platform/ui/dialog_host.h"

namespace plk {

class CAboutBox final : public platform::MessageTarget {
public:
    CAboutBox() = default;
    CAboutBox(const CAboutBox&) = delete;
    CAboutBox& operator=(const CAboutBox&) = delete;

    // Runs the box from IDD_ABOUT_BOX, owned by the dialog running now, which
    // stays disabled until the box ends. Returns the end code, -1 when there
    // is no window system.
    int DoModal();

    platform::LResult WindowProc(uint32_t message, platform::WParam wParam,
                                 platform::LParam lParam) override;

private:
    platform::DialogFrame* m_frame = nullptr;  // while the box runs
};

}  // namespace plk
