// The bridge server: the program's only network endpoint, BridgeServerProc on a
// thread of its own, listening on 127.0.0.1.
//
// One connection at a time. One read of at most 512 bytes (within 1 s) is
// classified; then the rest of the head is read and thrown away (up to its blank
// line, at most 8 KiB, within 1 s more); our side ends first and the client's end
// is awaited for 200 ms, so the client sees an orderly end and never a reset that
// would throw its answer away. Answers are sent whole or given up after 1 s. A
// poll's line leaves the mailbox only when its answer went out and no reset came
// back (Socket::Delivery); otherwise it is put back for the next poll, so a page
// that gave up while its poll queued takes nothing with it. A failed accept
// pauses 100 ms. The server's control identifiers (1004, 1005) are repeated here
// so that bridge/ does not depend on app/.
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
