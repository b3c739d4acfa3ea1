#include "platform/comm/tty_names_linux.h"

#include <array>
#include <charconv>
#include <utility>

#include "platform/comm/serial_port_posix.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {

namespace {

struct Family {
    std::string_view prefix;
    int firstPort;
};

constexpr int kPortsPerFamily = 32;
constexpr std::array<Family, 5> kFamilies{{
    {"ttyS", 1},
    {"ttyUSB", 33},
    {"ttyACM", 65},
    {"ttyAMA", 97},
    {"rfcomm", 129},
}};

}  // namespace

std::optional<std::string> DeviceNameForPort(int portNumber) {
    for (const Family& family : kFamilies) {
        const int k = portNumber - family.firstPort;
        if (k >= 0 && k < kPortsPerFamily) {
            return std::string(family.prefix) + std::to_string(k);
        }
    }
    return std::nullopt;
}

std::optional<int> PortForDeviceName(std::string_view name) {
    for (const Family& family : kFamilies) {
        if (!name.starts_with(family.prefix)) {
            continue;
        }
        const std::string_view digits = name.substr(family.prefix.size());
        // Plain decimal only: "ttyS01" or "ttyS+1" name no port of ours.
        if (digits.empty() || digits.size() > 2 || (digits.size() == 2 && digits[0] == '0')) {
            return std::nullopt;
        }
        for (const char c : digits) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
        }
        int k = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), k);
        if (error != std::errc() || end != digits.data() + digits.size() || k >= kPortsPerFamily) {
            return std::nullopt;
        }
        return family.firstPort + k;
    }
    return std::nullopt;
}

SerialPortOpener TtyPortOpener(std::filesystem::path devRoot) {
    return [devRoot = std::move(devRoot)](int portNumber) -> std::unique_ptr<SerialPort> {
        const auto name = DeviceNameForPort(portNumber);
        if (!name) {
            SetLastError(SysErrc::kNotFound);
            return nullptr;
        }
        return OpenTty((devRoot / *name).string());
    };
}

std::unique_ptr<SerialPort> OpenSerialPort(int portNumber) {
    return TtyPortOpener(kDevRoot)(portNumber);
}

}  // namespace plk::platform
