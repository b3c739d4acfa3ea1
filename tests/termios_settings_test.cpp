// A port's line settings to and from a Linux tty's termios, without a tty.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "platform/comm/termios_settings_linux.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {
namespace {

struct Row {
    uint32_t baud;
    char parity;
    uint8_t dataBits;
    StopBits stop;
    tcflag_t parityFlags;  // what the parity sets in c_cflag
    StopBits readBack;     // what the tty reports afterwards
};

// Mark and space parity ride on CMSPAR; CSTOPB means 1.5 stop bits with five
// data bits and 2 otherwise, so 1.5 asked with eight reads back as 2.
TEST(TermiosSettings, LineSettingsGoThroughTermiosAndBack) {
    const Row rows[] = {
        {115200, 'N', 8, StopBits::kOne, 0, StopBits::kOne},
        {9600, 'O', 7, StopBits::kTwo, PARENB | PARODD, StopBits::kTwo},
        {300, 'E', 6, StopBits::kOne, PARENB, StopBits::kOne},
        {57600, 'M', 8, StopBits::kOne, PARENB | PARODD | CMSPAR, StopBits::kOne},
        {2000000, 'S', 7, StopBits::kOne, PARENB | CMSPAR, StopBits::kOne},
        {1200, 'N', 5, StopBits::kOneAndHalf, 0, StopBits::kOneAndHalf},
        {1200, 'N', 8, StopBits::kOneAndHalf, 0, StopBits::kTwo},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message()
                     << row.baud << ' ' << row.parity << ' ' << int{row.dataBits});
        LineSettings in;
        in.baudRate = row.baud;
        in.parity = row.parity;
        in.dataBits = row.dataBits;
        in.stopBits = row.stop;
        termios t{};
        t.c_lflag = ECHO | ICANON;  // raw whatever it was before
        ASSERT_TRUE(ToTermios(in, t));
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), row.parityFlags);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);

        LineSettings out;
        FromTermios(t, std::nullopt, out);
        EXPECT_EQ(out.baudRate, row.baud);
        EXPECT_EQ(out.parity, row.parity);
        EXPECT_EQ(out.dataBits, row.dataBits);
        EXPECT_EQ(out.stopBits, row.readBack);
    }
}

TEST(TermiosSettings, UnknownBaudRatesAreRefusedAndReadAsZero) {
    LineSettings in;
    in.baudRate = 12345;
    termios t{};
    SetLastError(0);
    EXPECT_FALSE(ToTermios(in, t));
    EXPECT_EQ(LastError(), NativeError(SysErrc::kInvalidArgument));

    cfsetospeed(&t, B0);
    LineSettings out;
    FromTermios(t, std::nullopt, out);
    EXPECT_EQ(out.baudRate, 0u);
}

TEST(TermiosSettings, FlowControlAndModemLines) {
    LineSettings in;
    in.baudRate = 9600;
    in.rtsControl = RtsControl::kHandshake;
    in.outX = true;
    termios t{};
    ASSERT_TRUE(ToTermios(in, t));
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(t.c_iflag & IXON, 0u);
    EXPECT_EQ(t.c_iflag & IXOFF, 0u);

    LineSettings out;
    FromTermios(t, TIOCM_DTR, out);
    EXPECT_EQ(out.rtsControl, RtsControl::kHandshake);
    EXPECT_EQ(out.dtrControl, DtrControl::kEnable);
    EXPECT_TRUE(out.outxCtsFlow && out.outX && !out.inX);

    // Without modem lines (a pseudo-terminal) the controls keep their values.
    in = LineSettings{};
    in.baudRate = 9600;
    ASSERT_TRUE(ToTermios(in, t));
    out.rtsControl = RtsControl::kToggle;
    out.dtrControl = DtrControl::kHandshake;
    FromTermios(t, std::nullopt, out);
    EXPECT_EQ(out.rtsControl, RtsControl::kToggle);
    EXPECT_EQ(out.dtrControl, DtrControl::kHandshake);
    FromTermios(t, 0, out);
    EXPECT_EQ(out.rtsControl, RtsControl::kDisable);
    EXPECT_EQ(out.dtrControl, DtrControl::kDisable);

    // A device still in the kernel's terminal defaults reports the XON/XOFF it
    // has, like any other: what the program's line keeps is the link's choice.
    t.c_lflag |= ICANON;
    t.c_iflag |= IXON | IXOFF;
    FromTermios(t, std::nullopt, out);
    EXPECT_TRUE(out.outX && out.inX);
}

}  // namespace
}  // namespace plk::platform
