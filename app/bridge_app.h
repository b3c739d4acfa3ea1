// CBridgeApp: the application object. Its start-up routine runs the main
// dialog modally; the program ends when the dialog has closed.
#pragma once

#include <atomic>

#include "app/bridge_dlg.h"

namespace plk {

class CBridgeApp {
public:
    CBridgeApp() = default;
    virtual ~CBridgeApp() = default;
    CBridgeApp(const CBridgeApp&) = delete;
    CBridgeApp& operator=(const CBridgeApp&) = delete;

    // Runs the main dialog to its end, then returns false: no message loop
    // follows and the program ends.
    virtual bool InitInstance();

    // The main window while the main dialog object exists, else nullptr. Set
    // on the user-interface thread before the dialog opens (release); threads
    // the dialog starts read it with acquire.
    CBridgeDlg* GetMainWnd() const { return m_pMainWnd.load(std::memory_order_acquire); }

private:
    std::atomic<CBridgeDlg*> m_pMainWnd{nullptr};
};

extern CBridgeApp theApp;

}  // namespace plk
