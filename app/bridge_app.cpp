#include "app/bridge_app.h"

namespace plk {

CBridgeApp theApp;

namespace {
// The first two steps of start-up keep their place, but there is nothing for
// them to set: no ActiveX control is hosted, and every control already has the
// window system's own look.
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
        // No main-window record: the threads the dialog starts and its About
        // box are handed the dialog, or find it running, instead.
        CBridgeDlg dialog;
        dialog.SetCommandOwner(this);
        dialog.DoModal();
        // The dialog object goes at the end of this block: whatever it started
        // is stopped and joined there, then its link closes the port.
    }
    return false;
}

}  // namespace plk
