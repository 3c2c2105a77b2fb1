// The record memory's 16-byte blocks and the lines made of them, against golden blocks.

#include <gtest/gtest.h>

#include "record_lines.h"

namespace prm {
namespace {

using Block = std::array<uint8_t, kRecordBlockSize>;

const Block kHeader = {0x34, 0x12, 0x02, 0x00, 26,  11,  30,  9,
                       15,   0,    0xA1, 0x01, '1', '7', '0', 'A'};

TEST(RecordLines, HeaderLine) {
    const QByteArray line = headerLine(kHeader.data());
    EXPECT_EQ(line, "1234 0002 26/11/30 09:15:00 0417 1V70 A");
    EXPECT_EQ(line.size(), kHeaderLineLength);
}

// Which header is which: "EEEE", the memory test's pattern, and near misses of both.
TEST(RecordLines, HeaderKinds) {
    Block pattern;
    for (uint8_t i = 0; i < 16; ++i)
        pattern[i] = i;
    EXPECT_EQ(classifyHeader(pattern.data()), HeaderKind::TestPattern);
    pattern[15] = 0;
    EXPECT_EQ(classifyHeader(pattern.data()), HeaderKind::Normal);
    const Block eeee = {'E', 'E', 'E', 'E', 1, 2, 3};
    EXPECT_EQ(classifyHeader(eeee.data()), HeaderKind::Unreadable);
    const Block eee = {'E', 'E', 'E', 'F'};
    EXPECT_EQ(classifyHeader(eee.data()), HeaderKind::Normal);
    EXPECT_EQ(classifyHeader(kHeader.data()), HeaderKind::Normal);
}

TEST(RecordLines, EndMarkerInAnyOfTheFirstFourBytes) {
    for (int i = 0; i < 6; ++i) {
        Block b{};
        b[i] = 0xAA;
        EXPECT_EQ(isEndBlock(b.data()), i < 4) << i;
    }
}

TEST(RecordLines, AlarmTypeAShowsBytes10To13AsOneSignedNumber) {
    const Block b = {26, 12, 1, 0, 0, 0, 100, 0, 0xEF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 20, 'A'};
    EXPECT_EQ(recordLine(RecordKind::Alarms, b.data()),
              "26/12/01 00:00:00      100  65519     -2  20 A");
}

TEST(RecordLines, AlarmOfOtherTypeLeavesBytes10And11Out) {
    const Block b = {26, 12, 1, 1, 7, 13, 137, 0, 0xFB, 0xFF, 0x99, 0x99, 1, 1, 21, 'N'};
    const QByteArray line = recordLine(RecordKind::Alarms, b.data());
    EXPECT_EQ(line, "26/12/01 01:07:13     1.37     -5   1  1  21 N");
    EXPECT_EQ(line.size(), kRecordLineLength);
}

TEST(RecordLines, DoseRecord) {
    const Block b = {26, 12, 1, 1, 7, 13, 0x88, 0x13, 0, 0, 11, 0, 0x01, 0x01, 21, 'D'};
    const QByteArray line = recordLine(RecordKind::Dose, b.data());
    EXPECT_EQ(line, "26/12/01 01:07:13     5000     11   2.57  21 D");
    EXPECT_EQ(line.size(), kRecordLineLength);
}

// Fields wider than their formats make a longer line; the file keeps 46 characters.
TEST(RecordLines, OverflowingFieldsAreCutInTheFile) {
    const Block b = {255,  255,  255,  255,  255,  255,  0xFF, 0xFF,
                     0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 255,  'A'};
    const QByteArray line = recordLine(RecordKind::Alarms, b.data());
    EXPECT_EQ(line, "255/255/255 255:255:255    65535  65535 -2147483648 255 A");
    const QByteArray file = fileLine(line, kRecordLineLength);
    EXPECT_EQ(file.size(), kRecordLineLength + 1);
    EXPECT_EQ(file, line.left(46) + '\r');
}

TEST(RecordLines, CountLine) {
    EXPECT_EQ(countLine(0), "Number of Records =   0");
    EXPECT_EQ(countLine(0).size(), kCountLineLength);
    EXPECT_EQ(countLine(123), "Number of Records = 123");
}

}  // namespace
}  // namespace prm
