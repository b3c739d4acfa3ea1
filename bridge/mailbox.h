// The received-line mailbox: one complete line of the board's output, handed
// from the user-interface thread to the bridge server thread.
#pragma once

#include <cstdint>

namespace plk {

// Producer side (user-interface thread): one received byte.
void MailboxPutByte(uint8_t byte);

}  // namespace plk
