#include "app/bridge_app.h"

namespace plk {

CBridgeApp theApp;

namespace {
// Start-up settings of the Windows framework (hosting ActiveX controls, the
// three-dimensional control look). Nothing depends on them here.
void AfxEnableControlContainer() {}
bool Enable3dControls() {
    return true;
}

struct AppCommand {
    int id;
    void (CBridgeApp::*handler)();
};
constexpr AppCommand kAppCommands[] = {
    {platform::kIdHelp, &CBridgeApp::OnHelp},
};
}  // namespace

bool CBridgeApp::OnCmdMsg(int id) {
    for (const AppCommand& command : kAppCommands) {
        if (command.id == id) {
            (this->*command.handler)();
            return true;
        }
    }
    return false;
}

bool CBridgeApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();
    {
        CBridgeDlg dialog;
        // Before the dialog runs: threads it starts find the main window here.
        m_pMainWnd.store(&dialog, std::memory_order_release);
        dialog.SetCommandOwner(this);
        dialog.DoModal();
        // The dialog object goes at the end of this block: whatever it started
        // is stopped and joined there, then its link closes the port.
        m_pMainWnd.store(nullptr, std::memory_order_release);
    }
    return false;
}

}  // namespace plk
