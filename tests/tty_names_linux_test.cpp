// Port numbers and Linux device names, both ways.
#include "platform/comm/tty_names_linux.h"

#include <gtest/gtest.h>

namespace plk::platform {
namespace {

TEST(PortScheme, NumbersAndNamesMapBothWays) {
    EXPECT_EQ(DeviceNameForPort(1), "ttyS0");
    EXPECT_EQ(DeviceNameForPort(32), "ttyS31");
    EXPECT_EQ(DeviceNameForPort(33), "ttyUSB0");
    EXPECT_EQ(DeviceNameForPort(65), "ttyACM0");
    EXPECT_EQ(DeviceNameForPort(97), "ttyAMA0");
    EXPECT_EQ(DeviceNameForPort(160), "rfcomm31");
    EXPECT_FALSE(DeviceNameForPort(0));
    EXPECT_FALSE(DeviceNameForPort(161));
    EXPECT_FALSE(DeviceNameForPort(-5));
    for (int n = 1; n <= 160; ++n) {
        EXPECT_EQ(PortForDeviceName(*DeviceNameForPort(n)), n);
    }
    EXPECT_FALSE(PortForDeviceName("ttyUSB32"));
    EXPECT_FALSE(PortForDeviceName("ttyS01"));
    EXPECT_FALSE(PortForDeviceName("ttyS-1"));
    EXPECT_FALSE(PortForDeviceName("ttyS"));
    EXPECT_FALSE(PortForDeviceName("tty0"));
    EXPECT_FALSE(PortForDeviceName("ttyUSB1x"));
}

}  // namespace
}  // namespace plk::platform
