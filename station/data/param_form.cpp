#include "param_form.h"

#include <QDebug>
#include <cmath>
#include <cstring>

Q_LOGGING_CATEGORY(lcParamForm, "station.params")

namespace vm418 {

namespace {

constexpr int kOffsetVehicleParameter = 59;
constexpr int kOffsetAlarmTimeout = 57;
// Ranges that follow the block.
constexpr int kVehicleMin = 8, kVehicleMax = 53;
constexpr int kTimeoutMin = 2, kTimeoutMax = 19;
constexpr int kL2Min = 3, kL2Max = 30, kL2MaxFourSensors = 99;
constexpr int kFourSensors = 4;
constexpr int kSpeedMin = 1, kSpeedMaxMph = 6, kSpeedMaxKph = 10;
// Detector counts from which the low alarm fields of groups CD and EF take part.
constexpr int kCdFromDetectors = 6;  // more than 5
constexpr int kEfFromDetectors = 8;  // 8 or more, but not exactly 9
constexpr int kEfNotWithDetectors = 9;
constexpr int kFullGroupNamesFrom = 13;  // from 13 detectors the captions name both groups

const uint8_t* bytes(const PARA_418& p) {
    return reinterpret_cast<const uint8_t*>(&p);
}
uint8_t* bytes(PARA_418& p) {
    return reinterpret_cast<uint8_t*>(&p);
}

// The signed little-endian value of a field of 1, 2 or 4 bytes.
int32_t readSigned(const PARA_418& p, int offset, int width) {
    const uint8_t* b = bytes(p) + offset;
    switch (width) {
        case 1:
            return static_cast<int8_t>(b[0]);
        case 2: {
            int16_t v;
            std::memcpy(&v, b, sizeof v);
            return v;
        }
        default: {
            int32_t v;
            std::memcpy(&v, b, sizeof v);
            return v;
        }
    }
}

// Stores the low `width` bytes of `value` (a wider value is cut to the field).
void writeField(PARA_418& p, int offset, int width, int64_t value) {
    uint8_t* b = bytes(p) + offset;
    const uint64_t u = static_cast<uint64_t>(value);
    for (int k = 0; k < width; ++k)
        b[k] = static_cast<uint8_t>((u >> (8 * k)) & 0xFF);
}

QString fixedText(const char* s, std::size_t n) {
    return QString::fromLatin1(s, static_cast<qsizetype>(strnlen(s, n)));
}

QString numberText(double v) {
    return QString::number(static_cast<long long>(v));
}

const std::vector<ParamControl> kControls = {
    {IDC_SERIAL, "Serial number", ParamKind::ReadOnly, 54, 2, {}},
    {IDC_SOFTWARE_VERSION, "Software version", ParamKind::ReadOnly, 0, 5, {}},
    {IDC_PASSWORD, "Password", ParamKind::Numeric, 5, 5, {}},
    {IDC_DETECTORS, "Number of detectors", ParamKind::Numeric, 72, 1, {}},
    {IDC_OPT_SENS, "Number Opt.Sens.", ParamKind::Numeric, 73, 1, {}},
    {IDC_OS_DISTANCE,
     "OS Distance",
     ParamKind::List,
     138,
     1,
     {{"59", 0}, {"41", 1}, {"59/C", 2}},
     " - Not found osDist parameter \r\n"},
    {IDC_OS_LEVEL, "OS Level", ParamKind::Numeric, 147, 1, {}},
    {IDC_VEHICLE_OR_TIMEOUT,
     "Vehicle or Alarm TO",
     ParamKind::Numeric,
     kOffsetVehicleParameter,
     1,
     {}},
    {IDC_ALARM_MODE, "Alarm Mode", ParamKind::Numeric, 64, 1, {}},
    {IDC_ALARMS_ONLY_BY_OS,
     "Alarms Only By OS",
     ParamKind::List,
     135,
     1,
     {{"YES", 0}, {"NO", 1}, {"X", 2}, {"ALL", 3}},
     " - Not found falOS parameter \r\n"},
    {IDC_DUST, "Dust Param", ParamKind::Flag, 174, 1, {{"YES", 1}, {"NO", 0}}},
    {IDC_NUMBER_PARAMETER, "Number Parameter", ParamKind::Numeric, 58, 1, {}},
    {IDC_L1_AB, "Low Alarm  L1 AB", ParamKind::Numeric, 65, 1, {}},
    {IDC_L1_CD, "Low Alarm  L1 C", ParamKind::Numeric, 172, 1, {}},
    {IDC_L1_EF, "Low Alarm  L1 D ", ParamKind::Numeric, 173, 1, {}},
    {IDC_L1_ab, "Low Alarm  L1 ab", ParamKind::Numeric, 66, 1, {}},
    {IDC_L2, "Low Alarm  L2", ParamKind::Numeric, 67, 2, {}},
    {IDC_H3, "High Alarm H3", ParamKind::Numeric, 69, 2, {}},
    {IDC_SPEED_LIMIT, "Speed Limit", ParamKind::Numeric, 101, 1, {}},
    {IDC_SPEED_ALERT,
     "Speed Alert",
     ParamKind::List,
     100,
     1,
     {{"NO", 0}, {"YES", 1}, {"IN", 2}, {"OUT", 3}, {"MIN", 4}, {"DEF", 5}, {"OFF", 6}},
     " - Not found fHORN parameter \r\n"},
    {IDC_SPEED_IN, "Speed in", ParamKind::Flag, 104, 1, {{"Mph", 1}, {"Kph", 0}}},
    {IDC_US_FORMAT, "US Format", ParamKind::Flag, 97, 1, {{"YES", 1}, {"NO", 0}}},
    {IDC_PRINT_ALARMS,
     "Print Alarms",
     ParamKind::List,
     75,
     1,
     {{"NO", 0}, {"YES-INT", 1}, {"YES-EXT", 2}},
     " - Not found fPRal parameter \r\n"},
    {IDC_TLC_OUTPUT,
     "TLC output",
     ParamKind::List,
     175,
     1,
     {{"NORM", 0}, {"SP1", 1}, {"SP2", 2}, {"SP3", 3}},
     " - Not found TLC parameter \r\n"},
    {IDC_MODEM, "Modem", ParamKind::Flag, 74, 1, {{"CEL", 1}, {"TEL", 0}}},
    {IDC_CONTRAST, "Contrast", ParamKind::Numeric, 98, 2, {}},
    {IDC_ANALOG_SCALE,
     "Analog Scale",
     ParamKind::List,
     60,
     4,
     {{"1000", 1000},
      {"2000", 2000},
      {"5000", 5000},
      {"10000", 10000},
      {"20000", 20000},
      {"50000", 50000},
      {"100000", 100000}},
     " - Not found scale parameter \r\n"},
    {IDC_BG_CORRECTION_AB, "BG Correction AB", ParamKind::Numeric, 144, 1, {}},
    {IDC_BG_CORRECTION_ab, "BG Correction ab", ParamKind::Numeric, 145, 1, {}},
    {IDC_SEGMENT, "Segment Param.", ParamKind::Numeric, 146, 1, {}},
};

// The printout's rows: label and the control whose text stands in the value column.
struct PrintRow {
    const char* label;
    int id;
};
const PrintRow kPrintRows[] = {
    {" Serial Number ", IDC_SERIAL},
    {" Software version ", IDC_SOFTWARE_VERSION},
    {" Password ", IDC_PASSWORD},
    {" Number of Detectors ", IDC_DETECTORS},
    {" Number of Optical Sensors ", IDC_OPT_SENS},
    {" OS distance ", IDC_OS_DISTANCE},
    {" OS Level ", IDC_OS_LEVEL},
    {" Speed limit ", IDC_SPEED_LIMIT},
    {" Speed Alert ", IDC_SPEED_ALERT},
    {" Speed in ", IDC_SPEED_IN},
    {" US Format ", IDC_US_FORMAT},
    {" PrintAlarms ", IDC_PRINT_ALARMS},
    {" TLC Output ", IDC_TLC_OUTPUT},
    {" Modem ", IDC_MODEM},
    {" Contrast ", IDC_CONTRAST},
    {" Analog Scale ", IDC_ANALOG_SCALE},
    {" BG Correction AB ", IDC_BG_CORRECTION_AB},
    {" BG Correction ab ", IDC_BG_CORRECTION_ab},
    {" Segment parameter ", IDC_SEGMENT},
    {" Alarm Mode ", IDC_ALARM_MODE},
    {" Alarms only by OS ", IDC_ALARMS_ONLY_BY_OS},
    {" Vehicle parameter ", IDC_VEHICLE_OR_TIMEOUT},
    {" Dust Parameter OS ", IDC_DUST},
    {" Number Parameter ", IDC_NUMBER_PARAMETER},
    {" Low Alarm AB ", IDC_L1_AB},
    {" Low Alarm CD ", IDC_L1_CD},
    {" Low Alarm EF ", IDC_L1_EF},
    {" Low Alarm ab ", IDC_L1_ab},
    {" Low Alarm L2 ", IDC_L2},
    {" High Alarm H3 ", IDC_H3},
};

// The block's value as a list compares it: a flag byte stands for 1 when it is not 0.
int listValue(const ParamControl& c, const PARA_418& p) {
    const int32_t v = readSigned(p, c.offset, c.width);
    if (c.kind == ParamKind::Flag) return bytes(p)[c.offset] != 0 ? 1 : 0;
    return v;
}

// The text a list shows: its selected item, or nothing.
QString selectedText(const ControlState& s) {
    return s.selected >= 0 && s.selected < s.items.size() ? s.items[s.selected] : QString();
}

}  // namespace

const std::vector<ParamControl>& paramControls() {
    return kControls;
}

const ParamControl* findParamControl(int id) {
    for (const ParamControl& c : kControls)
        if (c.id == id) return &c;
    return nullptr;
}

ParamForm::ParamForm() {
    for (const ParamControl& c : kControls) {
        ControlState s;
        s.control = &c;
        s.caption = QString::fromLatin1(c.label);
        for (const ParamOption& o : c.options)
            s.items << QString::fromLatin1(o.text);
        s.values.assign(s.items.size(), std::nullopt);
        states_.push_back(s);
    }
}

ControlState& ParamForm::control(int id) {
    for (ControlState& s : states_)
        if (s.control->id == id) return s;
    qFatal("ParamForm: no control %d", id);
}

const ControlState& ParamForm::control(int id) const {
    return const_cast<ParamForm*>(this)->control(id);
}

void ParamForm::setListItems(int id, const QStringList& items) {
    ControlState& s = control(id);
    s.items = items;
    s.values.assign(items.size(), std::nullopt);
    s.selected = -1;
}

void ParamForm::select(int id, const QString& text) {
    ControlState& s = control(id);
    s.selected = static_cast<int>(s.items.indexOf(text));
    s.text = selectedText(s);
}

void ParamForm::setNumber(int id, double value) {
    ControlState& s = control(id);
    s.number = value;
    s.text = numberText(value);
}

void ParamForm::fill(const PARA_418& p) {
    const bool optical = p.NumberOptSens != 0;
    const int detectors = p.NumberOfDetectors;
    for (ControlState& s : states_) {
        const ParamControl& c = *s.control;
        s.enabled = true;
        s.minimum.reset();
        s.maximum.reset();
        s.caption = QString::fromLatin1(c.label);
        s.offset = c.offset;
        switch (c.kind) {
            case ParamKind::ReadOnly:
                s.text = c.id == IDC_SERIAL
                             ? QString::asprintf("%d", p.SerialNumber)
                             : "2." + fixedText(p.SoftwareVersion, sizeof p.SoftwareVersion);
                break;
            case ParamKind::Numeric:
                if (c.id == IDC_PASSWORD)
                    s.number = passwordNumber(p);
                else if (c.id == IDC_VEHICLE_OR_TIMEOUT)
                    s.number = optical ? p.VehicleParameter : p.AlarmTimeout;
                else
                    s.number = readSigned(p, c.offset, c.width);
                s.text = numberText(s.number);
                break;
            case ParamKind::List:
            case ParamKind::Flag: {
                // Each option the program knows is looked up in the list by its text and
                // gets its value attached; the one with the block's value is selected.
                const int value = listValue(c, p);
                s.values.assign(s.items.size(), std::nullopt);
                s.selected = -1;
                for (const ParamOption& o : c.options) {
                    const int at = static_cast<int>(s.items.indexOf(QString::fromLatin1(o.text)));
                    if (at < 0) {
                        if (c.missingText)
                            qCDebug(lcParamForm).noquote().nospace() << o.text << c.missingText;
                        continue;
                    }
                    s.values[at] = o.value;
                    if (o.value == value) s.selected = at;
                }
                s.text = selectedText(s);
                break;
            }
        }
    }

    ControlState& vehicle = control(IDC_VEHICLE_OR_TIMEOUT);
    vehicle.offset = optical ? kOffsetVehicleParameter : kOffsetAlarmTimeout;
    vehicle.caption = optical ? "Vehicle Parameter" : "Alarm Timeout";
    vehicle.minimum = optical ? kVehicleMin : kTimeoutMin;
    vehicle.maximum = optical ? kVehicleMax : kTimeoutMax;

    ControlState& l2 = control(IDC_L2);
    l2.minimum = kL2Min;
    l2.maximum = p.NumberOptSens == kFourSensors ? kL2MaxFourSensors : kL2Max;

    ControlState& speed = control(IDC_SPEED_LIMIT);
    speed.minimum = kSpeedMin;
    speed.maximum = p.SpeedInMph != 0 ? kSpeedMaxMph : kSpeedMaxKph;

    ControlState& cd = control(IDC_L1_CD);
    cd.caption = detectors >= kFullGroupNamesFrom ? "Low Alarm  L1 CD" : "Low Alarm  L1 C";
    cd.enabled = detectors >= kCdFromDetectors;
    ControlState& ef = control(IDC_L1_EF);
    ef.caption = detectors >= kFullGroupNamesFrom ? "Low Alarm  L1 EF" : "Low Alarm  L1 D ";
    ef.enabled = detectors >= kEfFromDetectors && detectors != kEfNotWithDetectors;
}

void ParamForm::takeInto(PARA_418& p) const {
    for (const ControlState& s : states_) {
        const ParamControl& c = *s.control;
        switch (c.kind) {
            case ParamKind::ReadOnly:
                break;
            case ParamKind::Numeric: {
                if (c.id == IDC_VEHICLE_OR_TIMEOUT) break;  // below
                if (c.id == IDC_PASSWORD) {
                    // The first 5 characters of the field's text, NUL-padded.
                    const QByteArray text = s.text.toLatin1().left(sizeof p.Password);
                    std::memset(p.Password, 0, sizeof p.Password);
                    std::memcpy(p.Password, text.constData(), static_cast<size_t>(text.size()));
                    break;
                }
                writeField(p, c.offset, c.width, static_cast<int64_t>(std::trunc(s.number)));
                break;
            }
            case ParamKind::List:
                // Nothing is stored when no option (or one the program does not know) is
                // selected: the block keeps its value.
                if (s.selected >= 0 && s.selected < static_cast<int>(s.values.size()) &&
                    s.values[s.selected])
                    writeField(p, c.offset, c.width, *s.values[s.selected]);
                break;
            case ParamKind::Flag:
                bytes(p)[c.offset] = selectedText(s) == QLatin1String(c.options[0].text) ? 1 : 0;
                break;
        }
    }
    // Before the first fill, by the number of optical sensors just stored.
    const ControlState& vehicle = control(IDC_VEHICLE_OR_TIMEOUT);
    const bool filled =
        vehicle.offset == kOffsetVehicleParameter || vehicle.offset == kOffsetAlarmTimeout;
    const int offset = filled                 ? vehicle.offset
                       : p.NumberOptSens != 0 ? kOffsetVehicleParameter
                                              : kOffsetAlarmTimeout;
    writeField(p, offset, 1, static_cast<int64_t>(std::trunc(vehicle.number)));
}

const QStringList& printLabels() {
    static const QStringList labels = [] {
        QStringList l{" Parameter "};
        for (const PrintRow& r : kPrintRows)
            l << r.label;
        l << " ";
        return l;
    }();
    return labels;
}

QStringList printValues(const ParamForm& form) {
    QStringList values;
    for (const PrintRow& r : kPrintRows)
        values << form.control(r.id).text;
    return values;
}

QStringList printValues(const PARA_418& p) {
    ParamForm form;
    form.fill(p);
    return printValues(form);
}

std::vector<ParamDifference> diff(const PARA_418& before, const PARA_418& after) {
    ParamForm a, b;
    a.fill(before);
    b.fill(after);
    auto valueText = [](const ControlState& s, const PARA_418& p, int offset, int width) {
        // A list value without an option shows as its number.
        if (s.control->kind == ParamKind::List && s.selected < 0)
            return QString::number(readSigned(p, offset, width));
        return s.text;
    };
    std::vector<ParamDifference> out;
    for (const PrintRow& r : kPrintRows) {
        const ParamControl& c = *findParamControl(r.id);
        const QString label = QString::fromLatin1(r.label).trimmed();
        if (c.id == IDC_VEHICLE_OR_TIMEOUT) {
            // Both fields behind the one control: the vehicle parameter and the alarm timeout.
            if (before.VehicleParameter != after.VehicleParameter)
                out.push_back({label, QString::number(before.VehicleParameter),
                               QString::number(after.VehicleParameter)});
            if (before.AlarmTimeout != after.AlarmTimeout)
                out.push_back({"Alarm Timeout", QString::number(before.AlarmTimeout),
                               QString::number(after.AlarmTimeout)});
            continue;
        }
        bool differs;
        if (c.id == IDC_PASSWORD || c.id == IDC_SOFTWARE_VERSION)
            differs = std::memcmp(bytes(before) + c.offset, bytes(after) + c.offset,
                                  static_cast<size_t>(c.width)) != 0;
        else if (c.kind == ParamKind::Flag)
            differs = listValue(c, before) != listValue(c, after);
        else if (c.id == IDC_SERIAL)
            differs = before.SerialNumber != after.SerialNumber;
        else
            differs = readSigned(before, c.offset, c.width) != readSigned(after, c.offset, c.width);
        if (!differs) continue;
        QString oldText = valueText(a.control(c.id), before, c.offset, c.width);
        QString newText = valueText(b.control(c.id), after, c.offset, c.width);
        if (c.id == IDC_PASSWORD && oldText == newText) {
            // Same number, different characters: show the characters.
            oldText = fixedText(before.Password, sizeof before.Password);
            newText = fixedText(after.Password, sizeof after.Password);
        }
        out.push_back({label, oldText, newText});
    }
    return out;
}

}  // namespace vm418
