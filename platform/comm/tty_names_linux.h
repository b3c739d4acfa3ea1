// Port numbers and Linux device names: a port is opened by its number alone.
//
// COMn names a device by a fixed scheme so that the number the user picks maps
// back to one device: ttySk is COM(k+1), ttyUSBk COM(33+k), ttyACMk COM(65+k),
// ttyAMAk COM(97+k), rfcommk COM(129+k), for k from 0 to 31.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/comm/serial_port.h"

namespace plk::platform {

std::optional<std::string> DeviceNameForPort(int portNumber);
std::optional<int> PortForDeviceName(std::string_view name);

// Where the system keeps its devices and its device tree.
inline constexpr const char* kDevRoot = "/dev";
inline constexpr const char* kSysRoot = "/sys";

// Opens port n as the device the scheme names under `devRoot` (OpenSerialPort
// is this opener on kDevRoot; tests give it a folder of their own).
SerialPortOpener TtyPortOpener(std::filesystem::path devRoot);

}  // namespace plk::platform
