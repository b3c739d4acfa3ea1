#include "support/fake_sysfs.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace plk::test {

namespace fs = std::filesystem;

FakeSysRoot::FakeSysRoot() {
    std::string pattern = (fs::temp_directory_path() / "plinkor-sys-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    fs::create_directories(fs::path(path_) / "class" / "tty");
}

FakeSysRoot::~FakeSysRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string FakeSysRoot::AddTty(const std::string& name, const std::string& device,
                                const std::string& driver) {
    const fs::path root(path_);
    const fs::path deviceDir = fs::path("devices") / device;
    const fs::path ttyDir = deviceDir / "tty" / name;
    fs::create_directories(root / ttyDir);
    fs::create_directory_symlink("../..", root / ttyDir / "device");
    if (!driver.empty()) {
        const fs::path driverDir = fs::path("bus") / "drivers" / driver;
        fs::create_directories(root / driverDir);
        fs::create_directory_symlink(fs::relative(root / driverDir, root / deviceDir),
                                     root / deviceDir / "driver");
    }
    fs::create_directory_symlink(fs::path("../..") / ttyDir, root / "class" / "tty" / name);
    return ttyDir.string();
}

void FakeSysRoot::AddVirtualTty(const std::string& name) {
    const fs::path ttyDir = fs::path("devices") / "virtual" / "tty" / name;
    fs::create_directories(fs::path(path_) / ttyDir);
    fs::create_directory_symlink(fs::path("../..") / ttyDir,
                                 fs::path(path_) / "class" / "tty" / name);
}

void FakeSysRoot::Write(const std::string& relative, const std::string& content) const {
    const fs::path file = fs::path(path_) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << content;
}

void FakeSysRoot::Remove(const std::string& relative) const {
    std::error_code ignored;
    fs::remove_all(fs::path(path_) / relative, ignored);
}

}  // namespace plk::test
