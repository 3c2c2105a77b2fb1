// The settings blocks on the wire: decoding the 31-byte read block, building the 21-byte
// write block, and the editor's change validation.

#include <gtest/gtest.h>

#include "settings_block.h"

namespace prm {
namespace {

// A user block as the monitor sends it: Sv/hr with vibrator, buzzer and key beep on,
// contrast 5/30, discriminators 1780/1684, alarm 5.0 sigma, 3 cnt, danger 10/10, 23.50 C,
// 2.95 V, serial "3200", version "1702", clock 26-12-08 21:30:05, check byte 0x0C.
const uint8_t kGoldenReadBlock[kSettingsReadBlockSize] = {
    0x4B, 0x05, 0x1E, 0x19, 0xF4, 0x06, 0x94, 0x06, 0x32, 0x03, 0x0A, 0x0A, 0x2E, 0x09, 0x27, 0x01,
    0x33, 0x32, 0x30, 0x30, 0x31, 0x37, 0x30, 0x32, 0x1A, 0x0C, 0x08, 0x15, 0x1E, 0x05, 0x0C};

TEST(SettingsReadBlock, GoldenBlockDecodesEveryField) {
    ASSERT_TRUE(readBlockValid(kGoldenReadBlock));
    UserSettings s;
    decodeReadBlock(kGoldenReadBlock, s);
    EXPECT_TRUE(s.vibratorOn);
    EXPECT_TRUE(s.buzzerOn);
    EXPECT_FALSE(s.backlightOn);
    EXPECT_TRUE(s.keyBeepOn);
    EXPECT_TRUE(s.doseSv);
    EXPECT_EQ(s.doseUnitCode, kDoseUnitSv);
    EXPECT_EQ(s.gammaDiscriminator, 1780);
    EXPECT_EQ(s.neutronDiscriminator, 1684);
    EXPECT_EQ(s.temperature, 2350);
    EXPECT_EQ(s.battery, 295);

    const FieldTexts t = fieldTextsOf(kGoldenReadBlock);
    EXPECT_EQ(at(t, Field::ContrastCoarse), "5");
    EXPECT_EQ(at(t, Field::ContrastFine), "30");
    EXPECT_EQ(at(t, Field::LcdTemperature), "25");
    EXPECT_EQ(at(t, Field::GammaDiscr), "1780");
    EXPECT_EQ(at(t, Field::NeutronDiscr), "1684");
    EXPECT_EQ(at(t, Field::GammaAlarm), " 5.0");
    EXPECT_EQ(at(t, Field::NeutronAlarm), "3");
    EXPECT_EQ(at(t, Field::DangerGamma), "10");
    EXPECT_EQ(at(t, Field::DangerNeutron), "10");
    EXPECT_EQ(at(t, Field::SerialNumber), "3200");
    EXPECT_EQ(at(t, Field::SoftwareVersion), "1V702");
    EXPECT_EQ(at(t, Field::Temperature), " 23.5");
    EXPECT_EQ(at(t, Field::Battery), "  2.95");
    EXPECT_EQ(at(t, Field::Clock), " 26-12-08  21:30:05");
}

TEST(SettingsReadBlock, AnyFlippedBitFailsTheCheck) {
    for (int i = 0; i < kSettingsReadBlockSize; ++i) {
        uint8_t b[kSettingsReadBlockSize];
        std::copy(std::begin(kGoldenReadBlock), std::end(kGoldenReadBlock), b);
        b[i] ^= 0x10;
        EXPECT_FALSE(readBlockValid(b)) << "byte " << i;
    }
}

// Dose units: only 0x10 and 0x20 name Gy/hr and R/hr; everything else reads as Sv/hr, and
// the masked value is kept as the unit code.
TEST(SettingsReadBlock, DoseUnitMasking) {
    const std::tuple<uint8_t, int, uint8_t> table[] = {
        {0x10, kDoseItemGy, 0x10}, {0x20, kDoseItemR, 0x20},  {0x40, kDoseItemSv, 0x40},
        {0x00, kDoseItemSv, 0x00}, {0x30, kDoseItemSv, 0x30}, {0x70, kDoseItemSv, 0x70},
        {0x9F, kDoseItemGy, 0x10},
    };
    for (const auto& [flags, item, unitCode] : table) {
        uint8_t b[kSettingsReadBlockSize] = {flags};
        UserSettings s;
        decodeReadBlock(b, s);
        EXPECT_EQ(doseUnitItemOf(flags), item) << int(flags);
        EXPECT_EQ(s.doseUnitCode, unitCode) << int(flags);
        EXPECT_EQ(s.doseSv, item == kDoseItemSv);
    }
}

TEST(SettingsReadBlock, ContrastMasksAndSignedClockBytes) {
    uint8_t b[kSettingsReadBlockSize] = {0, 0xFD, 0xFF};
    b[24] = 0xFF;  // a clock byte read as a signed number
    b[25] = 0x80;
    UserSettings s;
    decodeReadBlock(b, s);
    EXPECT_EQ(s.contrastCoarse, 5);
    EXPECT_EQ(s.contrastFine, 63);
    EXPECT_EQ(at(fieldTextsOf(b), Field::Clock), " -1--128-00  00:00:00");
}

FieldTexts editorTexts() {
    FieldTexts t;
    at(t, Field::ContrastCoarse) = "5";
    at(t, Field::ContrastFine) = "30";
    at(t, Field::LcdTemperature) = "25";
    at(t, Field::GammaDiscr) = "1700";
    at(t, Field::NeutronDiscr) = "4095";
    at(t, Field::GammaAlarm) = "0.7";
    at(t, Field::NeutronAlarm) = "3";
    at(t, Field::DangerGamma) = "100";
    at(t, Field::DangerNeutron) = "20";
    at(t, Field::SerialNumber) = "0417";
    return t;
}

TEST(SettingsWriteBlock, GoldenBlockWithYearBefore2000) {
    WriteInputs in;
    in.flags = 0x29;  // R/hr, key beep, vibrator
    in.texts = editorTexts();
    in.pcTime = QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58));
    const std::array<uint8_t, kSettingsWriteBlockSize> golden = {
        0x29, 0x05, 0x1E, 0x19, 0xA4, 0x06, 0xFF, 0x0F, 0x06, 0x03, 0x64,
        0x14, 0xA1, 0x01, 0xFF, 0x0C, 0x1F, 0x17, 0x3B, 0x3A, 0x56};
    EXPECT_EQ(encodeWriteBlock(in), golden);
}

// The gamma threshold is read as a single-precision number and truncated after * 10.
TEST(SettingsWriteBlock, GammaThresholdTruncation) {
    const std::pair<const char*, uint8_t> table[] = {
        {"0.7", 6}, {"5.0", 50}, {" 5.0", 50}, {"9.9", 98}, {"0", 0}, {"0.1", 1}, {"2.3", 22},
    };
    for (const auto& [text, sent] : table) {
        WriteInputs in;
        in.texts = editorTexts();
        at(in.texts, Field::GammaAlarm) = text;
        in.pcTime = QDateTime(QDate(2026, 1, 1), QTime(0, 0));
        EXPECT_EQ(encodeWriteBlock(in)[8], sent) << text;
    }
}

TEST(SettingsWriteBlock, ContrastIsMaskedAndCheckByteClosesTheBlock) {
    WriteInputs in;
    in.texts = editorTexts();
    at(in.texts, Field::ContrastCoarse) = "15";
    at(in.texts, Field::ContrastFine) = "70";
    in.pcTime = QDateTime(QDate(2026, 12, 8), QTime(10, 0));
    const auto b = encodeWriteBlock(in);
    EXPECT_EQ(b[1], 15 & 0x07);
    EXPECT_EQ(b[2], 70 & 0x3F);
    EXPECT_EQ(b[14], 26);
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    EXPECT_EQ(x, 0);
}

// The validation table row by row: the edges of each range, one past them, and text that
// is no number at all (an emptied field is out of range).
TEST(SettingsValidation, AcceptedRangesPerField) {
    struct Row {
        Field field;
        const char* text;
        bool accepted;
    };
    const Row rows[] = {
        {Field::GammaDiscr, "1", true},        {Field::GammaDiscr, "4095", true},
        {Field::GammaDiscr, "0", false},       {Field::GammaDiscr, "4096", false},
        {Field::GammaDiscr, "5000", false},    {Field::NeutronDiscr, "4095", true},
        {Field::NeutronDiscr, "5000", false},  {Field::GammaAlarm, "0.0", true},
        {Field::GammaAlarm, "9.9", true},      {Field::GammaAlarm, "10", false},
        {Field::GammaAlarm, "-0.1", false},    {Field::GammaAlarm, " 5.0", true},
        {Field::NeutronAlarm, "1", true},      {Field::NeutronAlarm, "10", true},
        {Field::NeutronAlarm, "11", false},    {Field::NeutronAlarm, "0", false},
        {Field::DangerGamma, "100", true},     {Field::DangerGamma, "101", false},
        {Field::DangerNeutron, "20", true},    {Field::DangerNeutron, "21", false},
        {Field::SerialNumber, "0", true},      {Field::SerialNumber, "9999", true},
        {Field::SerialNumber, "10000", false}, {Field::SerialNumber, "0417", true},
        {Field::GammaDiscr, "", false},        {Field::GammaDiscr, "12a", false},
        {Field::GammaDiscr, "-1", false},      {Field::GammaAlarm, "", false},
        {Field::GammaAlarm, "abc", false},     {Field::SerialNumber, "65537", false},
        {Field::LcdTemperature, "", true},     {Field::ContrastFine, "99", true},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(fieldAccepts(r.field, r.text), r.accepted)
            << static_cast<int>(r.field) << " '" << r.text << "'";
    }
}

TEST(SettingsValidation, MessagesAndDefaults) {
    const std::tuple<Field, const char*, const char*> table[] = {
        {Field::GammaDiscr, "DEFAULT: Gamma Discr", "1780"},
        {Field::NeutronDiscr, "DEFAULT: Neutron Discr", "1684"},
        {Field::GammaAlarm, "DEFAULT: Gamma Alarm", "5.0"},
        {Field::NeutronAlarm, "DEFAULT: Neutron Alarm", "3"},
        {Field::DangerGamma, "DEFAULT: Danger Gamma", "10"},
        {Field::DangerNeutron, "DEFAULT:Danger Neutron", "10"},
        {Field::SerialNumber, "DEFAULT: Serial #", "3200"},
    };
    for (const auto& [field, message, defaultText] : table) {
        const ValidationRule* rule = validationRuleOf(field);
        ASSERT_NE(rule, nullptr);
        EXPECT_STREQ(rule->message, message);
        EXPECT_STREQ(rule->defaultText, defaultText);
        EXPECT_TRUE(fieldAccepts(field, defaultText));
    }
    EXPECT_EQ(validationRuleOf(Field::Clock), nullptr);
}

}  // namespace
}  // namespace prm
