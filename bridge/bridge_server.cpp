#include "bridge/bridge_server.h"

namespace plk {

// Placeholder until the server is written: starts nothing.
BridgeServer::BridgeServer(platform::Window& window, CSerialLink& link, uint16_t port)
    : window_(window), link_(link), port_(port) {}
BridgeServer::~BridgeServer() { Stop(); }
void BridgeServer::Start() {}
void BridgeServer::Stop() {}

}  // namespace plk
