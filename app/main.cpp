// Plinkor's entry point: the window system, then the application object.
#include "app/bridge_app.h"
#include "platform/ui/gui_session.h"

int main(int argc, char** argv) {
    const auto session = plk::platform::GuiSession::Start(argc, argv);
    // A logout or Ctrl+C closes the dialog as Cancel does, so the port is
    // released and the program ends normally.
    session->CancelDialogsOnTerminationSignals();
    plk::theApp.InitInstance();  // always false: there is no message loop to run
    return 0;
}
