#pragma once

#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

#include "link_state.h"

namespace prm {

constexpr int kSettingsReadBlockSize = 31;   // after the echo of "X" or "J"
constexpr int kSettingsWriteBlockSize = 21;  // after the echo of "K" or "Q"

// Option flags, the first byte of both blocks.
namespace flag {
constexpr uint8_t kVibrator = 0x01;
constexpr uint8_t kBuzzer = 0x02;
constexpr uint8_t kBacklight = 0x04;
constexpr uint8_t kKeyBeep = 0x08;
constexpr uint8_t kDoseUnitMask = 0x70;
}  // namespace flag

// The editable and read-only fields of the settings screen, as texts.
enum class Field {
    ContrastCoarse,
    ContrastFine,
    LcdTemperature,
    GammaDiscr,
    NeutronDiscr,
    GammaAlarm,
    NeutronAlarm,
    DangerGamma,
    DangerNeutron,
    SerialNumber,
    SoftwareVersion,
    Temperature,
    Battery,
    Clock,
};
constexpr int kFieldCount = static_cast<int>(Field::Clock) + 1;
using FieldTexts = std::array<QString, kFieldCount>;

inline QString& at(FieldTexts& t, Field f) {
    return t[static_cast<int>(f)];
}
inline const QString& at(const FieldTexts& t, Field f) {
    return t[static_cast<int>(f)];
}

// Dose-unit choice items: 0 "Gy/hr", 1 "R/hr", 2 "Sv/hr".
enum DoseUnitItem { kDoseItemGy = 0, kDoseItemR = 1, kDoseItemSv = 2 };
// (flags AND 0x70) = 0x10 selects Gy/hr, 0x20 R/hr, every other value Sv/hr.
int doseUnitItemOf(uint8_t flags);

// The exclusive-or of all 31 bytes of a good read block is 0.
bool readBlockValid(const uint8_t* block);
// Decodes a read block into the settings record (contrast values masked).
void decodeReadBlock(const uint8_t* block, UserSettings& out);
// The field texts a read block shows.
FieldTexts fieldTextsOf(const uint8_t* block);

// The instrument clock text: " %02d-%02d-%02d  %02d:%02d:%02d", each byte signed.
QString clockText(const int8_t bytes[6]);
// The same text for a PC time (year - 2000 first).
QString clockText(const QDateTime& t);

// Change validation of one field. Fields without a rule accept everything.
struct ValidationRule {
    Field field;
    const char* message;      // shown in the "MESSAGE" box
    const char* defaultText;  // the field is set to it
};
// The rule of a field, or nullptr.
const ValidationRule* validationRuleOf(Field field);
// True when the text is accepted; text that is not a number is out of range.
bool fieldAccepts(Field field, const QString& text);

// Numbers as the editor reads them from its fields: decimal integers (no fraction, within
// the 32-bit range) and single-precision reals.
std::optional<long> parseInteger(const QString& text);
std::optional<float> parseReal(const QString& text);

// What the write block is built from.
struct WriteInputs {
    uint8_t flags = 0;  // option bits and exactly one dose-unit bit
    FieldTexts texts;
    QDateTime pcTime;
};
std::array<uint8_t, kSettingsWriteBlockSize> encodeWriteBlock(const WriteInputs& in);

}  // namespace prm
