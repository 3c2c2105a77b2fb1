#include "para_418.h"

#include <QSettings>
#include <QStringList>
#include <algorithm>
#include <cstring>

namespace vm418 {

PARA_418 initialParameters() {
    PARA_418 p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(p.SoftwareVersion, "ZZZZ", 4);
    return p;
}

std::vector<int> defaultStationPasswords() {
    return {1418, 2418, 3418, 4418, 5418, 6418, 7418, 8418, 9418, 1234, 4180};
}

namespace {

// A list of four-digit numbers; entries that are not are dropped.
std::vector<int> parsePasswordList(const QString& text) {
    std::vector<int> out;
    for (const QString& item : text.split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int n = item.trimmed().toInt(&ok);
        if (ok && n >= 0 && n <= 9999) out.push_back(n);
    }
    return out;
}

bool outside(int v, int lo, int hi) {
    return v < lo || v > hi;
}

constexpr int kAnalogScales[] = {1000, 2000, 5000, 10000, 20000, 50000, 100000};

}  // namespace

std::vector<int> stationPasswords() {
    QString text = qEnvironmentVariable("VM418_PASSWORDS");
    if (text.isEmpty()) {
        QSettings conf(QSettings::IniFormat, QSettings::UserScope, "vm418station");
        text = conf.value("Station/Passwords").toStringList().join(',');
    }
    std::vector<int> list = parsePasswordList(text);
    return list.empty() ? defaultStationPasswords() : list;
}

int passwordNumber(const PARA_418& p) {
    int n = 0;
    for (char c : p.Password) {
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
    }
    return n;
}

uint32_t validateParameters(const PARA_418& p, const std::vector<int>& passwords) {
    uint32_t mask = 0;
    auto check = [&mask](bool fails, uint32_t bit) {
        if (fails) mask |= bit;
    };
    // The detector count as stored, even when it fails its own test.
    const int detectors = p.NumberOfDetectors;
    const bool optical = p.NumberOptSens != 0;

    check(std::find(passwords.begin(), passwords.end(), passwordNumber(p)) == passwords.end(),
          kBadPassword);
    check(optical && outside(p.VehicleParameter, 8, 53), kBadVehicleParameter);
    check(!optical && outside(p.AlarmTimeout, 2, 19), kBadAlarmTimeout);
    check(outside(p.NumberParameter, 15, 30), kBadNumberParameter);
    check(std::find(std::begin(kAnalogScales), std::end(kAnalogScales), p.AnalogScale) ==
              std::end(kAnalogScales),
          kBadAnalogScale);
    check(p.AlarmMode != 0, kBadAlarmMode);
    check(outside(p.LowAlarmL1AB, 1, 99), kBadLowAlarmL1AB);
    check(detectors > 15 && outside(p.LowAlarmL1ab, 1, 99), kBadLowAlarmL1GH);
    check(outside(p.LowAlarmL2, 3, p.NumberOptSens == 4 ? 99 : 30), kBadLowAlarmL2);
    check(outside(p.HighAlarmH3, 2, 9), kBadHighAlarmH3);
    check(outside(detectors, 1, 17), kBadNumberDetectors);
    check(outside(p.NumberOptSens, 0, 4), kBadNumberOptSens);
    check(outside(p.PrintAlarms, 0, 3), kBadPrintAlarm);
    check(outside(p.Contrast, 0, 99), kBadContrast);
    check(outside(p.SpeedAlert, 0, 6), kBadSpeedAlert);
    check(outside(p.SpeedLimit, 1, p.SpeedInMph ? 6 : 10), kBadSpeedLimit);
    check(outside(p.AlarmsOnlyByOS, 0, 3), kBadAlarmsOnlyByOS);
    check(outside(p.OSDistance, 0, 2), kBadOSDistance);
    check(p.BGCorrectionAB < 0, kBadBGCorrectionAB);
    check(p.BGCorrectionab < 0, kBadBGCorrectionab);
    check(outside(p.SegmentParam, 1, 9), kBadSegmentParam);
    check(outside(p.OSLevel, 0, 20), kBadOSLevel);
    check(detectors > 5 && outside(p.LowAlarmL1CD, 1, 99), kBadLowAlarmL1CD);
    check(detectors >= 8 && detectors != 9 && outside(p.LowAlarmL1EF, 1, 99), kBadLowAlarmL1EF);
    check(outside(p.TLCOutput, 0, 3), kBadTLCOutput);
    return mask;
}

QString describeFailedParameters(uint32_t mask) {
    // The labels as the station program has always shown them.
    static const char* const kLabels[] = {
        " Password,",          " Vehicle parameter, ", " Alarm Titmeout, ",
        " Number parameter, ", " Analog scale, ",      " Alarm mode, ",
        " Low Alarm L1 AB, ",  " Low Alarm L1 GH, ",   " Low Alarm L2, ",
        " High Alarm H3, ",    " Number Detectors, ",  " Number Opt.Sens., ",
        " Print Alarm, ",      " Contrast Settings, ", " Speed Alert, ",
        " Speed Limit, ",      " Alarms Only By OS, ", " OS Distance, ",
        " BG Pparameter, ",    " BG correction, ",     " Segment parameter, ",
        " OS Level, ",         " Low Alarm L1 CD, ",   " Low Alarm L1 EF, ",
        " TLC Output, ",
    };
    QString text;
    for (std::size_t bit = 0; bit < std::size(kLabels); ++bit) {
        if (mask & (1u << bit)) text += QLatin1String(kLabels[bit]);
    }
    // The separator behind the last label goes: blanks, then its comma.
    while (text.endsWith(' '))
        text.chop(1);
    if (text.endsWith(',')) text.chop(1);
    return text;
}

}  // namespace vm418
