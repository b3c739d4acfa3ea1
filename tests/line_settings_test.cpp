// The line definition text, read over a port's settings.
#include <gtest/gtest.h>

#include "line_definition_cases.h"
#include "platform/comm/serial_port.h"
#include "platform/sys/sys_error.h"

namespace plk::platform {
namespace {

TEST(LineDefinition, KeyedTextIsLaidOverTheSettings) {
    LineSettings s;
    s.baudRate = 9600;
    s.parity = 'E';
    s.evtChar = 'q';
    s.rtsControl = RtsControl::kDisable;
    s.outX = true;
    ASSERT_TRUE(BuildLineSettings("baud=115200 parity=N data=8 stop=1", s));
    EXPECT_EQ(s.baudRate, 115200u);
    EXPECT_EQ(s.parity, 'N');
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.stopBits, StopBits::kOne);
    EXPECT_EQ(s.evtChar, 'q');  // not named by the text: kept
    // Flow control and modem lines the text leaves out are kept too.
    EXPECT_EQ(s.rtsControl, RtsControl::kDisable);
    EXPECT_TRUE(s.outX);

    ASSERT_TRUE(BuildLineSettings("COM3: baud=300 parity=o data=7 stop=2 rts=off xon=on", s));
    EXPECT_EQ(s.baudRate, 300u);
    EXPECT_EQ(s.parity, 'O');
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.stopBits, StopBits::kTwo);
    EXPECT_EQ(s.rtsControl, RtsControl::kDisable);
    EXPECT_TRUE(s.outX && s.inX);
}

// The rows the Windows build checks against the system's own reader.
TEST(LineDefinition, MeetsTheSharedTable) {
    for (const auto& row : test::kLineDefinitionCases) {
        LineSettings s;
        s.baudRate = 9600;
        s.stopBits = StopBits::kTwo;
        s.evtChar = 'q';
        s.rtsControl = row.rtsBefore;
        s.dtrControl = row.dtrBefore;
        s.outX = s.inX = s.outxCtsFlow = s.outxDsrFlow = row.flowBefore;
        ASSERT_TRUE(BuildLineSettings(row.text, s)) << row.text;
        EXPECT_EQ(s.rtsControl, row.rts) << row.text;
        EXPECT_EQ(s.dtrControl, row.dtr) << row.text;
        EXPECT_EQ(s.outX, row.xon) << row.text;
        EXPECT_EQ(s.inX, row.xon) << row.text;
        EXPECT_EQ(s.outxCtsFlow, row.ctsFlow) << row.text;
        EXPECT_EQ(s.stopBits, row.stop) << row.text;
        EXPECT_EQ(s.evtChar, 'q') << row.text;
    }
}

TEST(LineDefinition, LegacyFormAndBadTexts) {
    LineSettings s;
    ASSERT_TRUE(BuildLineSettings("96,e,7,1.5", s));
    EXPECT_EQ(s.baudRate, 9600u);
    EXPECT_EQ(s.parity, 'E');
    EXPECT_EQ(s.stopBits, StopBits::kOneAndHalf);

    const LineSettings before = s;
    for (const char* bad : {"baud=fast", "parity=X", "data=9", "stop=3", "colour=red",
                            "baud=9600 parity", "96,n,8,1,z", "96,q"}) {
        SetLastError(0);
        EXPECT_FALSE(BuildLineSettings(bad, s)) << bad;
        EXPECT_NE(LastError(), 0) << bad;
        EXPECT_EQ(s.baudRate, before.baudRate) << bad;
        EXPECT_EQ(s.parity, before.parity) << bad;
    }
}

}  // namespace
}  // namespace plk::platform
