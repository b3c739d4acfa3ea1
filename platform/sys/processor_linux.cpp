#include <sched.h>

#include "platform/sys/processor.h"

namespace plk::platform {

int CurrentProcessor() {
    // glibc answers from the thread's restartable-sequence area, without a call.
    return sched_getcpu();
}

}  // namespace plk::platform
