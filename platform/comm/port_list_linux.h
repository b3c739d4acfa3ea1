// The port list of a Linux system, read from the kernel's device tree.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/comm/port_list.h"

namespace plk::platform {

// Lists the ttys under <sysRoot>/class/tty that are bound to a driver, named in
// the port scheme (tty_names_linux.h), not an 8250 placeholder (`type` 0, or
// TIOCGSERIAL on <devRoot>/<name> says unknown) and not the active console, as
// "COM<n> <device>", with the USB product as the entry's detail.
// SystemPortListSource is this source on kSysRoot and kDevRoot.
class SysfsPortListSource final : public PortListSource {
public:
    SysfsPortListSource(std::filesystem::path sysRoot, std::filesystem::path devRoot);
    std::unique_ptr<PortListing> Open() override;

private:
    std::filesystem::path sysRoot_;
    std::filesystem::path devRoot_;
};

}  // namespace plk::platform
