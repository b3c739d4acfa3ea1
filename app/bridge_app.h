// CBridgeApp: the application object. Its start-up routine runs the main
// dialog modally; the program ends when the dialog has closed.
#pragma once

#include "app/bridge_dlg.h"

namespace plk {

class CBridgeApp : public platform::CommandTarget {
public:
    CBridgeApp() = default;
    virtual ~CBridgeApp() = default;
    CBridgeApp(const CBridgeApp&) = delete;
    CBridgeApp& operator=(const CBridgeApp&) = delete;

    // Runs the main dialog to its end, then returns false: no message loop
    // follows and the program ends.
    virtual bool InitInstance();

    // The application's routing table: the commands the main dialog leaves.
    bool OnCmdMsg(int id) override;
    // F1's help command. There is no help content: taking the command keeps
    // it from doing anything else.
    void OnHelp() { ++m_helpRequests; }
    int helpRequests() const { return m_helpRequests; }

private:
    int m_helpRequests = 0;  // user-interface thread
};

extern CBridgeApp theApp;

}  // namespace plk
