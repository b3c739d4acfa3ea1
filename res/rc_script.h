// The Windows resource script, written from the resource tables, so that a
// Windows build and this one share one source (res/plinkor.rc is its output,
// and a test keeps the two equal).
#pragma once

#include <string>

namespace plk::res {

std::string ResourceScript();

}  // namespace plk::res
