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

    // An empty text (a new System row): COM1, 9600 baud, RTS/CTS.
    const auto empty = ParsePortSettingsText("");
    EXPECT_EQ(empty.port, "COM1");
    EXPECT_EQ(empty.line.BaudRate, 9600u);
    EXPECT_TRUE(empty.line.fOutxCtsFlow);
    EXPECT_EQ(empty.line.fRtsControl, 2);

    // Port names are kept whole, as long as the System table can hold them.
    EXPECT_EQ(ParsePortSettingsText("COM123456 9600 0 0 8 1").port, "COM123456");
    EXPECT_EQ(ParsePortSettingsText("ttyUSB0 9600 0 0 8 1").port, "ttyUSB0");
    const std::string longest(kPortNameMax, 'p');
    const auto widest = ParsePortSettingsText("x 256000 4 2 8 3").line;
    EXPECT_LE(FormatPortSettingsText(longest, widest).size(), 255u);
    // ... and a long name (a converter's address) is written whole, numbers and all.
    const std::string address = "rfc2217://" + std::string(kPortNameMax - 15, 'h') + ":4001";
    const auto back = ParsePortSettingsText(FormatPortSettingsText(address, widest));
    EXPECT_EQ(back.port, address);
    EXPECT_EQ(back.line, widest);
    EXPECT_TRUE(ParsePortSettingsText("COM1 9600 0 0 8 1").line.fOutxDsrFlow);
}

// Texts a user types: each sound one gives exactly what the lenient reading gives; each
// malformed one, or one with a value outside its list, is refused with the reason and
// leaves the settings alone.
TEST(PortSettingsText, StrictReadingRefusesWhatTheLenientOneWouldReplace) {
    const char* sound[] = {"COM2 19200 0 0 8 3", "COM1 14400 4 1 4 1", " COM12\t256000 2 2 5 0 \n",
                           "ttyS0 110 3 0 7 2", "ttyUSB10 9600 0 0 8 3"};
    for (const char* text : sound) {
        SCOPED_TRACE(text);
        PortSettings strict;
        ASSERT_EQ(ParsePortSettingsTextStrict(text, &strict), "");
        const PortSettings lenient = ParsePortSettingsText(text);
        EXPECT_EQ(strict.port, lenient.port);
        EXPECT_TRUE(strict.line == lenient.line);
    }

    const std::pair<const char*, const char*> refused[] = {
        {"", "expected six fields (port baud parity stop-bits data-bits flow), found 0"},
        {"COM3 9600", "expected six fields (port baud parity stop-bits data-bits flow), found 2"},
        {"COM1 9600 0 0 8 3 x",
         "expected six fields (port baud parity stop-bits data-bits flow), found 7"},
        {"COM1 96OO 0 0 8 3", "baud rate \"96OO\" is not a whole number"},
        {"COM1 9600 0x1 0 8 3", "parity \"0x1\" is not a whole number"},
        {"COM1 9600 0 0 8.5 3", "data bits \"8.5\" is not a whole number"},
        {"COM1 9600 0 0 8 99999999999", "flow control \"99999999999\" is not a whole number"},
        {"COM1 12345 0 0 8 3",
         "baud rate 12345 is not one of 110 300 600 1200 2400 4800 9600 14400 19200 28800 "
         "38400 56000 57600 115200 128000 256000"},
        {"COM1 9600 5 0 8 3", "parity 5 is not in 0-4"},
        {"COM1 9600 -1 0 8 3", "parity -1 is not in 0-4"},
        {"COM1 9600 0 3 8 3", "stop bits 3 is not in 0-2"},
        {"COM1 9600 0 0 3 3", "data bits 3 is not in 4-8"},
        {"COM1 9600 0 0 9 3", "data bits 9 is not in 4-8"},
        {"COM1 9600 0 0 8 4", "flow control 4 is not in 0-3"},
    };
    for (const auto& [text, reason] : refused) {
        SCOPED_TRACE(text);
        PortSettings s;
        s.port = "keep";
        EXPECT_EQ(ParsePortSettingsTextStrict(text, &s), reason);
        EXPECT_EQ(s.port, "keep");
    }
    PortSettings s;
    EXPECT_NE(ParsePortSettingsTextStrict(std::string(kPortNameMax + 1, 'p') + " 9600 0 0 8 3", &s)
                  .find("is longer than 240 characters"),
              std::string::npos);
}

// The text written back is the one read: every accepted text comes back the same, and the
// flow choice follows the line flags, the highest of several matches winning.
TEST(PortSettingsText, WrittenBackAsRead) {
    for (const char* text :
         {"COM2 19200 0 0 8 3", "COM1 9600 2 2 7 2", "COM4 256000 4 1 5 1", "COM3 110 1 0 6 0"})
        EXPECT_EQ(FormatPortSettingsText(ParsePortSettingsText(text).port,
                                         ParsePortSettingsText(text).line),
                  text);
    LineSettings both = ParsePortSettingsText("COM1 9600 0 0 8 0").line;
    both.fOutX = both.fInX = true;
    EXPECT_EQ(FlowChoice(both), 2);
}
