// The Linux port list, read from a fake kernel device tree.
#include <gtest/gtest.h>

#include <vector>

#include "platform/comm/port_list_linux.h"
#include "support/fake_sysfs.h"
#include "support/pty_board.h"

namespace plk {
namespace {

using platform::PortEntry;
using platform::PortListing;

struct Listed {
    std::string name;
    std::string detail;
    bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Listed& l) {
    return out << '{' << l.name << ", " << l.detail << '}';
}

// Everything one reading of the list yields, in order.
std::vector<Listed> ReadAll(platform::PortListSource& source) {
    auto listing = source.Open();
    EXPECT_NE(listing, nullptr);
    std::vector<Listed> out;
    if (!listing) {
        return out;
    }
    PortEntry entry;
    for (int i = 0; listing->Entry(i, entry) == PortListing::Result::kEntry; ++i) {
        out.push_back({entry.name, entry.detail});
    }
    return out;
}

class PortListTest : public ::testing::Test {
protected:
    // A UART that names no type is probed through its device node: never a real one here.
    test::FakeDevRoot dev_;
    test::FakeSysRoot sys_;
    platform::SysfsPortListSource source_{sys_.path(), dev_.path()};

    std::vector<Listed> ReadAll() { return plk::ReadAll(source_); }
};

TEST_F(PortListTest, ListsRealSerialDevicesInAscendingPortNumber) {
    // A USB adapter and an ACM board, each under its USB device.
    sys_.Write("devices/usb1/1-1/product", "CP2102 USB to UART Bridge Controller\n");
    sys_.AddTty("ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", "cp210x");
    sys_.Write("devices/usb1/1-2/product", "Arduino Uno\n");
    sys_.AddTty("ttyACM0", "usb1/1-2/1-2:1.0", "cdc_acm");
    // Built-in UARTs: two real ones, so that COM9 must come before COM33.
    sys_.Write(sys_.AddTty("ttyS0", "pnp0/00:04", "serial") + "/type", "4\n");
    sys_.Write(sys_.AddTty("ttyS8", "pnp0/00:05", "serial") + "/type", "4\n");
    // An 8250 placeholder for a UART that was not found.
    sys_.Write(sys_.AddTty("ttyS3", "platform/serial8250", "serial8250") + "/type", "0\n");
    // A real UART the kernel writes its console to.
    sys_.Write(sys_.AddTty("ttyS4", "pnp0/00:06", "serial") + "/type", "4\n");
    sys_.AddVirtualTty("console");
    sys_.Write("class/tty/console/active", "tty0 ttyS4\n");
    // Virtual terminals, a device without a driver, names outside the scheme.
    sys_.AddVirtualTty("tty0");
    sys_.AddVirtualTty("ptmx");
    sys_.AddTty("ttyUSB1", "usb1/1-3/1-3:1.0/ttyUSB1", "");
    sys_.AddTty("ttyGS0", "gadget/g1", "g_serial");
    sys_.AddTty("ttyUSB32", "usb1/1-4/1-4:1.0/ttyUSB32", "ftdi_sio");

    EXPECT_EQ(ReadAll(), (std::vector<Listed>{
                             {"COM1 ttyS0", ""},
                             {"COM9 ttyS8", ""},
                             {"COM33 ttyUSB0", "CP2102 USB to UART Bridge Controller"},
                             {"COM65 ttyACM0", "Arduino Uno"},
                         }));
}

TEST_F(PortListTest, EveryOpenReadsTheTreeAnew) {
    sys_.AddTty("ttyACM0", "usb1/1-2/1-2:1.0", "cdc_acm");
    auto before = source_.Open();
    ASSERT_NE(before, nullptr);

    // A board plugged in after the first reading shows in the next one only.
    sys_.AddTty("ttyUSB2", "usb1/1-5/1-5:1.0/ttyUSB2", "ch341");
    PortEntry entry;
    EXPECT_EQ(before->Entry(0, entry), PortListing::Result::kEntry);
    EXPECT_EQ(entry.name, "COM65 ttyACM0");
    EXPECT_EQ(before->Entry(1, entry), PortListing::Result::kEnd);
    EXPECT_EQ(before->Entry(-1, entry), PortListing::Result::kEnd);
    EXPECT_EQ(ReadAll(), (std::vector<Listed>{{"COM35 ttyUSB2", ""}, {"COM65 ttyACM0", ""}}));

    // Unplugged: gone from the next reading.
    sys_.Remove("class/tty/ttyACM0");
    EXPECT_EQ(ReadAll(), (std::vector<Listed>{{"COM35 ttyUSB2", ""}}));
}

TEST_F(PortListTest, NoTtyClassMeansNoListAtAll) {
    sys_.Remove("class");
    EXPECT_EQ(source_.Open(), nullptr);
}

}  // namespace
}  // namespace plk
