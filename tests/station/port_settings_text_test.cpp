#include <gtest/gtest.h>

#include "port_settings_text.h"

using namespace station;

// Settings texts: complete, with a value outside its list, and too short to be read.
TEST(PortSettingsText, FieldsDefaultsAndFlowChoices) {
    const auto none = ParsePortSettingsText("COM2 19200 0 0 8 3");
    EXPECT_EQ(none.port, "COM2");
    EXPECT_EQ(none.line.BaudRate, 19200u);
    EXPECT_EQ(none.line.Parity, 0);
    EXPECT_EQ(none.line.StopBits, 0);
    EXPECT_EQ(none.line.ByteSize, 8);
    EXPECT_FALSE(none.line.fOutxCtsFlow);
    EXPECT_EQ(none.line.fRtsControl, 1);
    EXPECT_EQ(none.line.fDtrControl, 1);
    EXPECT_FALSE(none.line.fOutX);

    const auto badBaud = ParsePortSettingsText("COM2 12345 2 2 7 2");
    EXPECT_EQ(badBaud.line.BaudRate, 9600u);
    EXPECT_EQ(badBaud.line.Parity, 2);
    EXPECT_TRUE(badBaud.line.fParity);
    EXPECT_EQ(badBaud.line.StopBits, 2);
    EXPECT_EQ(badBaud.line.ByteSize, 7);
    EXPECT_TRUE(badBaud.line.fOutX);
    EXPECT_TRUE(badBaud.line.fInX);

    const auto shortText = ParsePortSettingsText("COM3 9600");
    EXPECT_EQ(shortText.port, "COM1");
    EXPECT_TRUE(shortText.line.fOutxCtsFlow);
    EXPECT_EQ(shortText.line.fRtsControl, 2);

    EXPECT_EQ(ParsePortSettingsText("COM123456 9600 0 0 8 1").port, "COM12");
    EXPECT_TRUE(ParsePortSettingsText("COM1 9600 0 0 8 1").line.fOutxDsrFlow);
}
