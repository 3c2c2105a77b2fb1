#include "settings_block.h"

#include <cmath>
#include <cstdlib>

namespace prm {

namespace {

int16_t get16(const uint8_t* p) {
    return static_cast<int16_t>(p[0] | (p[1] << 8));
}

void put16(uint8_t* p, long v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// Offsets in the read block.
constexpr int kFlags = 0, kCoarse = 1, kFine = 2, kLcdTemp = 3, kGammaDiscr = 4, kNeutronDiscr = 6,
              kGammaAlarm = 8, kNeutronAlarm = 9, kDangerGamma = 10, kDangerNeutron = 11,
              kTemperature = 12, kBattery = 14, kSerial = 16, kVersion = 20, kClock = 24;
constexpr uint8_t kCoarseMask = 0x07;
constexpr uint8_t kFineMask = 0x3F;

struct Range {
    double low;
    double high;
};

struct RuleEntry {
    ValidationRule rule;
    Range range;
    bool real;
};

// The editor's change validation: accepted range, message and default text per field.
const RuleEntry kRules[] = {
    {{Field::GammaDiscr, "DEFAULT: Gamma Discr", "1780"}, {1, 4095}, false},
    {{Field::NeutronDiscr, "DEFAULT: Neutron Discr", "1684"}, {1, 4095}, false},
    {{Field::GammaAlarm, "DEFAULT: Gamma Alarm", "5.0"}, {0.0, 9.9}, true},
    {{Field::NeutronAlarm, "DEFAULT: Neutron Alarm", "3"}, {1, 10}, false},
    {{Field::DangerGamma, "DEFAULT: Danger Gamma", "10"}, {1, 100}, false},
    {{Field::DangerNeutron, "DEFAULT:Danger Neutron", "10"}, {1, 20}, false},
    {{Field::SerialNumber, "DEFAULT: Serial #", "3200"}, {0, 9999}, false},
};

const RuleEntry* entryOf(Field field) {
    for (const auto& e : kRules) {
        if (e.rule.field == field) return &e;
    }
    return nullptr;
}

QString charsUpToZero(const uint8_t* p, int n) {
    QString s;
    for (int i = 0; i < n && p[i] != 0; ++i)
        s += QChar::fromLatin1(static_cast<char>(p[i]));
    return s;
}

}  // namespace

int doseUnitItemOf(uint8_t flags) {
    switch (flags & flag::kDoseUnitMask) {
        case kDoseUnitGy:
            return kDoseItemGy;
        case kDoseUnitR:
            return kDoseItemR;
        default:
            return kDoseItemSv;
    }
}

bool readBlockValid(const uint8_t* block) {
    uint8_t x = 0;
    for (int i = 0; i < kSettingsReadBlockSize; ++i)
        x ^= block[i];
    return x == 0;
}

void decodeReadBlock(const uint8_t* b, UserSettings& out) {
    const uint8_t flags = b[kFlags];
    out.vibratorOn = flags & flag::kVibrator;
    out.buzzerOn = flags & flag::kBuzzer;
    out.backlightOn = flags & flag::kBacklight;
    out.keyBeepOn = flags & flag::kKeyBeep;
    const int item = doseUnitItemOf(flags);
    out.doseGy = item == kDoseItemGy;
    out.doseR = item == kDoseItemR;
    out.doseSv = item == kDoseItemSv;
    out.doseUnitCode = flags & flag::kDoseUnitMask;
    out.contrastCoarse = b[kCoarse] & kCoarseMask;
    out.contrastFine = b[kFine] & kFineMask;
    out.lcdTemperature = b[kLcdTemp];
    out.gammaDiscriminator = get16(&b[kGammaDiscr]);
    out.neutronDiscriminator = get16(&b[kNeutronDiscr]);
    out.gammaAlarm = b[kGammaAlarm];
    out.neutronAlarm = b[kNeutronAlarm];
    out.dangerGamma = b[kDangerGamma];
    out.dangerNeutron = b[kDangerNeutron];
    out.temperature = get16(&b[kTemperature]);
    out.battery = get16(&b[kBattery]);
    out.serialNumber = charsUpToZero(&b[kSerial], 4).toStdString();
    const QString v = charsUpToZero(&b[kVersion], 4);
    out.version = (v.left(1) + 'V' + v.mid(1)).toStdString();
}

QString clockText(const int8_t c[6]) {
    return QString::asprintf(" %02d-%02d-%02d  %02d:%02d:%02d", c[0], c[1], c[2], c[3], c[4], c[5]);
}

QString clockText(const QDateTime& t) {
    const QDate d = t.date();
    const QTime h = t.time();
    return QString::asprintf(" %02d-%02d-%02d  %02d:%02d:%02d", d.year() - 2000, d.month(), d.day(),
                             h.hour(), h.minute(), h.second());
}

FieldTexts fieldTextsOf(const uint8_t* b) {
    UserSettings s;
    decodeReadBlock(b, s);
    FieldTexts t;
    at(t, Field::ContrastCoarse) = QString::number(s.contrastCoarse);
    at(t, Field::ContrastFine) = QString::number(s.contrastFine);
    at(t, Field::LcdTemperature) = QString::number(s.lcdTemperature);
    at(t, Field::GammaDiscr) = QString::number(s.gammaDiscriminator);
    at(t, Field::NeutronDiscr) = QString::number(s.neutronDiscriminator);
    at(t, Field::GammaAlarm) = QString::asprintf("%4.1f", s.gammaAlarm / 10.0);
    at(t, Field::NeutronAlarm) = QString::number(s.neutronAlarm);
    at(t, Field::DangerGamma) = QString::number(s.dangerGamma);
    at(t, Field::DangerNeutron) = QString::number(s.dangerNeutron);
    at(t, Field::SerialNumber) = QString::fromStdString(s.serialNumber);
    at(t, Field::SoftwareVersion) = QString::fromStdString(s.version);
    at(t, Field::Temperature) = QString::asprintf("%5.1f", s.temperature / 100.0);
    at(t, Field::Battery) = QString::asprintf("%6.2f", s.battery / 100.0);
    int8_t clock[6];
    for (int i = 0; i < 6; ++i)
        clock[i] = static_cast<int8_t>(b[kClock + i]);
    at(t, Field::Clock) = clockText(clock);
    return t;
}

std::optional<long> parseInteger(const QString& text) {
    const QByteArray s = text.trimmed().toLatin1();
    if (s.isEmpty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.constData(), &end, 10);
    if (errno != 0 || end != s.constData() + s.size() || v < INT32_MIN || v > INT32_MAX) {
        return std::nullopt;
    }
    return v;
}

std::optional<float> parseReal(const QString& text) {
    const QByteArray s = text.trimmed().toLatin1();
    if (s.isEmpty()) return std::nullopt;
    char* end = nullptr;
    const float v = std::strtof(s.constData(), &end);
    if (end != s.constData() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

const ValidationRule* validationRuleOf(Field field) {
    const RuleEntry* e = entryOf(field);
    return e ? &e->rule : nullptr;
}

bool fieldAccepts(Field field, const QString& text) {
    const RuleEntry* e = entryOf(field);
    if (!e) return true;
    if (e->real) {
        const auto v = parseReal(text);
        return v && *v >= static_cast<float>(e->range.low) &&
               *v <= static_cast<float>(e->range.high);
    }
    // Read as an unsigned 16-bit number: negative or wider values are out of range too.
    const auto v = parseInteger(text);
    return v && *v >= 0 && *v <= 0xFFFF && *v >= e->range.low && *v <= e->range.high;
}

std::array<uint8_t, kSettingsWriteBlockSize> encodeWriteBlock(const WriteInputs& in) {
    auto number = [&](Field f) { return parseInteger(at(in.texts, f)).value_or(0); };
    std::array<uint8_t, kSettingsWriteBlockSize> b{};
    b[0] = in.flags;
    b[1] = static_cast<uint8_t>(number(Field::ContrastCoarse)) & kCoarseMask;
    b[2] = static_cast<uint8_t>(number(Field::ContrastFine)) & kFineMask;
    b[3] = static_cast<uint8_t>(number(Field::LcdTemperature));
    put16(&b[4], number(Field::GammaDiscr));
    put16(&b[6], number(Field::NeutronDiscr));
    // Single-precision value times ten, truncated: "0.7" (0.69999999) goes out as 6.
    const float gamma = parseReal(at(in.texts, Field::GammaAlarm)).value_or(0.0f);
    b[8] = static_cast<uint8_t>(static_cast<int>(static_cast<double>(gamma) * 10.0));
    b[9] = static_cast<uint8_t>(number(Field::NeutronAlarm));
    b[10] = static_cast<uint8_t>(number(Field::DangerGamma));
    b[11] = static_cast<uint8_t>(number(Field::DangerNeutron));
    put16(&b[12], number(Field::SerialNumber));
    const QDate d = in.pcTime.date();
    const QTime t = in.pcTime.time();
    b[14] = static_cast<uint8_t>(d.year() - 2000);  // a year before 2000 wraps below zero
    b[15] = static_cast<uint8_t>(d.month());
    b[16] = static_cast<uint8_t>(d.day());
    b[17] = static_cast<uint8_t>(t.hour());
    b[18] = static_cast<uint8_t>(t.minute());
    b[19] = static_cast<uint8_t>(t.second());
    uint8_t x = 0;
    for (int i = 0; i < kSettingsWriteBlockSize - 1; ++i)
        x ^= b[i];
    b[20] = x;
    return b;
}

}  // namespace prm
