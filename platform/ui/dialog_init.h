// The base dialog's initialisation data: records that fill controls before the
// dialog's own initialisation runs.
#pragma once

#include <cstdint>
#include <span>

#include "platform/ui/window.h"

namespace plk::platform {

// Applies each CB_ADDSTRING record (an 8-bit text with its terminating zero)
// to its combo box; other records are ignored, and malformed data applies
// nothing.
void RunDialogInitData(Window& window, std::span<const uint8_t> data);

}  // namespace plk::platform
