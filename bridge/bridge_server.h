// The bridge server: the program's only network endpoint, BridgeServerProc on a
// thread of its own, listening on 127.0.0.1.
#pragma once

#include <cstdint>

#include "platform/window.h"
#include "serial/serial_link.h"

namespace plk {

inline constexpr uint16_t kBridgePort = 12345;

class BridgeServer {
public:
    // `window` receives the status texts, `link` the commands. Both must outlive
    // the server (Stop, or the destructor, joins the thread first).
    BridgeServer(platform::Window& window, CSerialLink& link, uint16_t port = kBridgePort);
    ~BridgeServer();
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    // Starts BridgeServerProc on its own thread.
    void Start();
    // Wakes the thread out of any wait and joins it. On the window's
    // user-interface thread it keeps serving sent messages while it waits.
    void Stop();

private:
    platform::Window& window_;
    CSerialLink& link_;
    uint16_t port_;
};

}  // namespace plk
