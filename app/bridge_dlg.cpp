#include "app/bridge_dlg.h"

#include "app/about_box.h"
#include "bridge/mailbox.h"
#include "platform/dialog_init.h"
#include "res/templates.h"

namespace plk {

platform::LResult CBridgeDlg::WindowProc(uint32_t message, platform::WParam wParam,
                                         platform::LParam lParam) {
    // The window shell's rows, and the base dialog's initialisation hook.
    switch (message) {
        case platform::kWmSysCommand:
            OnSysCommand(static_cast<unsigned>(wParam), lParam);
            return 0;
        case platform::kWmPaint:
            OnPaint();
            return 0;
        case platform::kWmQueryDragIcon:
            return reinterpret_cast<platform::LResult>(OnQueryDragIcon());
        case platform::kWmInitDialog:
            return OnInitDialog();
        default:
            break;
    }
    if (message == WM_PORT_CHAR) {
        return OnPortChar(wParam, lParam);
    }
    return Default(message, wParam, lParam);
}

platform::LResult CBridgeDlg::OnPortChar(platform::WParam wParam, platform::LParam /*lParam*/) {
    MailboxPutByte(static_cast<uint8_t>(wParam));
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
    return 1;  // the first tab-stop control gets the focus
}

void CBridgeDlg::InitWindowShell() {
    // 1. The base initialisation: the template's initialisation data puts
    // "115200" into the model list.
    if (m_frame != nullptr) {
        m_frame->DefaultProc(platform::kWmInitDialog, 0, 0);
    } else if (m_window != nullptr) {
        platform::RunDialogInitData(*m_window, res::MainDialog().initData);
    }
    if (m_frame == nullptr) {
        return;  // no window frame: no icon and no window menu
    }
    // 2. The icon; a missing one leaves the window without an icon of its own.
    if (platform::DialogHost* host = platform::CurrentDialogHost(); host != nullptr) {
        m_hIcon = host->LoadIcon(IDI_APP_ICON);
    }
    m_frame->SetIcon(platform::kIconBig, m_hIcon);
    // 3. The About entry, last in the window menu.
    if (m_frame->HasWindowMenu()) {
        const std::string_view about = res::LoadString(IDS_ABOUT_ENTRY);
        if (!about.empty()) {
            m_frame->AppendWindowMenuSeparator();
            m_frame->AppendWindowMenuItem(IDM_ABOUT_ENTRY, std::string(about));
        }
    }
    // 4.
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
