// The serial ports of a Linux system, from the kernel's device tree: every tty
// under <sys>/class/tty that is bound to a driver, named in the port scheme,
// and really there.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/comm/port_list_linux.h"
#include "platform/comm/tty_names_linux.h"

namespace plk::platform {

namespace {

namespace fs = std::filesystem;

// Device directories are a few levels below the USB device that names the
// product: port device, interface, device.
constexpr int kProductSearchDepth = 3;

// The first line of a small attribute file, without trailing blanks; empty when
// it cannot be read.
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// Names of the ttys the kernel writes its console to.
std::set<std::string> ActiveConsoles(const fs::path& classTty) {
    std::istringstream words(ReadAttribute(classTty / "console" / "active"));
    std::set<std::string> names;
    for (std::string word; words >> word;) {
        names.insert(word);
    }
    return names;
}

// Whether the device behind /dev/<name> reports an unknown UART: the 8250
// driver keeps such placeholders for ports that may exist but were not found.
bool ProbesAsUnknownUart([[maybe_unused]] const std::string& devPath) {
#if defined(TIOCGSERIAL) && defined(PORT_UNKNOWN)
    const int fd = open(devPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;  // cannot tell: offer it, the open will say the rest
    }
    serial_struct info{};
    const bool unknown = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
    close(fd);
    return unknown;
#else
    return false;
#endif
}

bool IsPlaceholder(const fs::path& tty, const std::string& name, const fs::path& devRoot) {
    // Serial-core ports say what UART they found; 0 is none.
    const std::string type = ReadAttribute(tty / "type");
    if (!type.empty()) {
        return type == "0";
    }
    return name.starts_with("ttyS") && ProbesAsUnknownUart((devRoot / name).string());
}

// The product name of the USB device the tty belongs to, if any.
std::string ProductOf(const fs::path& tty) {
    std::error_code error;
    fs::path dir = fs::canonical(tty / "device", error);
    if (error) {
        return {};
    }
    for (int level = 0; level < kProductSearchDepth && !dir.empty(); ++level) {
        const std::string product = ReadAttribute(dir / "product");
        if (!product.empty()) {
            return product;
        }
        dir = dir.parent_path();
    }
    return {};
}

struct Found {
    int port;
    PortEntry entry;
};

class SysfsListing final : public PortListing {
public:
    explicit SysfsListing(std::vector<PortEntry> entries) : entries_(std::move(entries)) {}

    Result Entry(int index, PortEntry& entry) override {
        if (index < 0 || index >= static_cast<int>(entries_.size())) {
            return Result::kEnd;
        }
        entry = entries_[static_cast<std::size_t>(index)];
        return Result::kEntry;
    }

private:
    std::vector<PortEntry> entries_;
};

}  // namespace

SysfsPortListSource::SysfsPortListSource(std::filesystem::path sysRoot,
                                         std::filesystem::path devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

std::unique_ptr<PortListing> SysfsPortListSource::Open() {
    const fs::path classTty = sysRoot_ / "class" / "tty";
    std::error_code error;
    fs::directory_iterator it(classTty, error);
    if (error) {
        return nullptr;
    }
    const std::set<std::string> consoles = ActiveConsoles(classTty);
    std::vector<Found> found;
    // An entry that vanishes or cannot be read while we look is left out.
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) {
            break;
        }
        const fs::path tty = it->path();
        const std::string name = tty.filename().string();
        const auto port = PortForDeviceName(name);
        if (!port || consoles.contains(name)) {
            continue;
        }
        // Virtual terminals and pseudo-terminals have no device; a device
        // without a driver is not usable yet.
        std::error_code missing;
        if (!fs::exists(tty / "device" / "driver", missing)) {
            continue;
        }
        if (IsPlaceholder(tty, name, devRoot_)) {
            continue;
        }
        found.push_back({*port, {"COM" + std::to_string(*port) + " " + name, ProductOf(tty)}});
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.port < b.port; });
    std::vector<PortEntry> entries;
    entries.reserve(found.size());
    for (Found& f : found) {
        entries.push_back(std::move(f.entry));
    }
    return std::make_unique<SysfsListing>(std::move(entries));
}

std::unique_ptr<PortListSource> SystemPortListSource() {
    return std::make_unique<SysfsPortListSource>(kSysRoot, kDevRoot);
}

}  // namespace plk::platform
