// The bridge server: the program's only network endpoint, BridgeServerProc on a
// thread of its own, listening on 127.0.0.1.
#pragma once

#include <cstdint>
#include <thread>

#include "platform/sys/event.h"
#include "platform/ui/window.h"
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

    // Starts BridgeServerProc on its own thread; does nothing while it runs.
    void Start();
    // Wakes the thread out of any wait and joins it. On the window's
    // user-interface thread it keeps serving sent messages while it waits.
    void Stop();

    // For tests and diagnostics. Serving: set once the listening socket is set
    // up and the connection loop runs. Ended: set when BridgeServerProc has
    // returned, after a failed set-up or a stop.
    const platform::Event& Serving() const { return serving_; }
    const platform::Event& Ended() const { return ended_; }

private:
    friend unsigned BridgeServerProc(BridgeServer* server);

    platform::Window& window_;
    CSerialLink& link_;
    uint16_t port_;
    platform::Event stop_;
    platform::Event serving_;
    platform::Event ended_;
    std::thread thread_;
};

// The server thread. Returns 0 when it cannot set up its listening socket, and
// otherwise serves connections one at a time until it is stopped.
unsigned BridgeServerProc(BridgeServer* server);

}  // namespace plk
