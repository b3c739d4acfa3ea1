// Port numbers and device names: a port is opened by its number alone.
//
// COMn names a device by a fixed scheme so that the number the user picks maps
// back to one device: ttySk is COM(k+1), ttyUSBk COM(33+k), ttyACMk COM(65+k),
// ttyAMAk COM(97+k), rfcommk COM(129+k), for k from 0 to 31.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plk::platform {

std::optional<std::string> DeviceNameForPort(int portNumber);
std::optional<int> PortForDeviceName(std::string_view name);

// Where devices and the kernel's device tree live; tests point these into a
// temporary folder. Set before any port is opened or listed.
struct SystemPaths {
    std::string devRoot = "/dev";
    std::string sysRoot = "/sys";
};
SystemPaths& DefaultSystemPaths();

}  // namespace plk::platform
