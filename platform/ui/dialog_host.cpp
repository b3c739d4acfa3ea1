#include "platform/ui/dialog_host.h"

#include <atomic>

namespace plk::platform {

namespace {
// Set and cleared by the window system's session on the user-interface thread;
// read there too, and by threads started while it runs (release/acquire).
std::atomic<DialogHost*> g_host{nullptr};
}  // namespace

DialogHost* CurrentDialogHost() {
    return g_host.load(std::memory_order_acquire);
}
void SetCurrentDialogHost(DialogHost* host) {
    g_host.store(host, std::memory_order_release);
}

}  // namespace plk::platform
