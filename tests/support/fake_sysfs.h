// A temporary kernel device tree, laid out as sysfs lays out ttys: class/tty/<name> links to the
// tty's directory under devices/, whose `device` link leads to the device and its `driver`.
#pragma once

#include <string>

namespace plk::test {

class FakeSysRoot {
public:
    FakeSysRoot();
    ~FakeSysRoot();
    FakeSysRoot(const FakeSysRoot&) = delete;
    FakeSysRoot& operator=(const FakeSysRoot&) = delete;

    const std::string& path() const { return path_; }

    // A tty of the device at devices/<device>, bound to `driver` (none when
    // empty). Returns the tty's directory, relative to the root.
    std::string AddTty(const std::string& name, const std::string& device,
                       const std::string& driver);
    // A tty with no device behind it, as virtual terminals are.
    void AddVirtualTty(const std::string& name);
    // Writes a file (and its folders) relative to the root.
    void Write(const std::string& relative, const std::string& content) const;
    void Remove(const std::string& relative) const;

private:
    std::string path_;
};

}  // namespace plk::test
