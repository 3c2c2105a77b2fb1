#include <gtest/gtest.h>

#include <numeric>

#include "xlnk_frame.h"

using namespace station;

namespace {
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    return {v.begin(), v.end()};
}
}  // namespace

TEST(Crc16, CheckValuesOfKnownTexts) {
    const std::string digits = "123456789";
    EXPECT_EQ(Crc16(0, reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x31C3);
    const uint8_t a = 'A';
    EXPECT_EQ(Crc16(0, &a, 1), 0x58E5);
    // Running the CRC over two pieces gives the CRC of the whole.
    const auto* p = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(Crc16(Crc16(0, p, 4), p + 4, 5), 0x31C3);
}

// Golden frames: what each command puts on the line.
TEST(Frame, GoldenCommandBytes) {
    EXPECT_EQ(BuildCommandBytes(0xC0A0, nullptr, 0), Bytes({0x10, 0x00, 0x00, 0xA0, 0xC0, 0x70}));
    const std::string name = "PARA";
    EXPECT_EQ(BuildCommandBytes(0xC004, reinterpret_cast<const uint8_t*>(name.data()), 4),
              Bytes({0x10, 0x04, 0x00, 0x04, 0xC0, 0xD0, 'P', 'A', 'R', 'A'}));
    // Modem lines go out raw, tracked or not.
    const std::string at = "AT\r";
    EXPECT_EQ(BuildCommandBytes(0xC700, reinterpret_cast<const uint8_t*>(at.data()), 3),
              Bytes({'A', 'T', '\r'}));
    EXPECT_EQ(BuildCommandBytes(0x4700, reinterpret_cast<const uint8_t*>(at.data()), 3),
              Bytes({'A', 'T', '\r'}));
}

TEST(Frame, ParameterWriteCarriesCrcBehindItsData) {
    std::vector<uint8_t> block(176);
    std::iota(block.begin(), block.end(), 0);
    const auto frame = BuildCommandBytes(0xC0F0, block.data(), block.size());
    ASSERT_EQ(frame.size(), 184u);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 6),
              Bytes({0x10, 0xB0, 0x00, 0xF0, 0xC0, 0x90}));
    EXPECT_EQ(frame[182], 0x7B);  // CRC 0x1B7B, little-endian
    EXPECT_EQ(frame[183], 0x1B);
}

TEST(Frame, HeaderCheck) {
    const auto frame = BuildCommandBytes(0x40A1, nullptr, 0);
    EXPECT_TRUE(ParseHeader(frame.data()).valid);
    EXPECT_EQ(ParseHeader(frame.data()).command, 0x40A1);
    auto bad = frame;
    bad[2] ^= 0x01;
    EXPECT_FALSE(ParseHeader(bad.data()).valid);
    EXPECT_EQ(HeaderChecksum(frame.data(), 1), 0x10);
}

TEST(BlockRecord, GoldenLayout) {
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    const auto rec = BuildBlockRecord(2, 4, data, 3);
    ASSERT_EQ(rec.size(), 14u);
    // number 2, size 4, valid 3, data, one undefined (zero) byte, CRC of the 12 bytes.
    EXPECT_EQ(std::vector<uint8_t>(rec.begin(), rec.begin() + 12),
              Bytes({2, 0, 0, 0, 4, 0, 3, 0, 0xAA, 0xBB, 0xCC, 0}));
    EXPECT_EQ(GetU16(&rec[12]), Crc16(0, rec.data(), 12));
    const auto parsed = ParseBlockRecord(rec.data(), rec.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->number, 2u);
    EXPECT_EQ(parsed->blockSize, 4);
    EXPECT_EQ(parsed->valid, 3);
    EXPECT_EQ(parsed->data[0], 0xAA);
}

// Records a receiver must refuse: damaged, out of bounds, or claiming more than they carry.
TEST(BlockRecord, RefusesBadRecords) {
    std::vector<uint8_t> data(1024, 0x5A);
    const auto good = BuildBlockRecord(0, 1024, data.data(), 1024);
    EXPECT_TRUE(ParseBlockRecord(good.data(), good.size()));

    auto badCrc = good;
    badCrc[100] ^= 0x40;
    EXPECT_FALSE(ParseBlockRecord(badCrc.data(), badCrc.size()));

    const auto tooLong = BuildBlockRecord(0, 1025, data.data(), 1024);  // 1035 bytes
    EXPECT_FALSE(ParseBlockRecord(tooLong.data(), tooLong.size()));

    EXPECT_FALSE(ParseBlockRecord(good.data(), 9));

    // Claims 20 valid bytes but carries only 16 (CRC right).
    auto claims = BuildBlockRecord(0, 16, data.data(), 16);
    PutU16(&claims[6], 20);
    PutU16(&claims[24], Crc16(0, claims.data(), 24));
    EXPECT_FALSE(ParseBlockRecord(claims.data(), claims.size()));
}
