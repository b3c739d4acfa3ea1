// The window system of the process: started once by main, before any dialog,
// and ended after the last one. While it lives it is the current DialogHost.
#pragma once

#include <memory>

namespace plk::platform {

class GuiSession {
public:
    // `argc` must outlive the session.
    static std::unique_ptr<GuiSession> Start(int& argc, char** argv);
    virtual ~GuiSession() = default;

    // From now on SIGTERM or SIGINT (on Windows: the end of the session, a
    // console's Ctrl+C or close) ends every open dialog and message box as
    // Cancel does, innermost first, and any dialog started later at once. A
    // second signal has its default effect.
    virtual void CancelDialogsOnTerminationSignals() = 0;
};

}  // namespace plk::platform
