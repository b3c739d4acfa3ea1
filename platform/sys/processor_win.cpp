#include "platform/sys/processor.h"
#include "platform/sys/win32.h"

namespace plk::platform {

int CurrentProcessor() {
    return static_cast<int>(::GetCurrentProcessorNumber());
}

}  // namespace plk::platform
