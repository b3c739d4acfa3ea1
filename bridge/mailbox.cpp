#include "bridge/mailbox.h"

namespace plk {

void MailboxPutByte(uint8_t /*byte*/) {}

}  // namespace plk
