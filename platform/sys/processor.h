// Which processor the calling thread runs on: a hint for code that hands work
// between threads and must know whether the other thread can run meanwhile.
#pragma once

namespace plk::platform {

// The number of the processor the calling thread is on now, or -1 where the
// system cannot tell. Cheap enough to ask per piece of work (no system call
// where the system keeps it for the thread); stale as soon as it is read.
int CurrentProcessor();

}  // namespace plk::platform
