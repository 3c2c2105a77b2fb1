// The parameter block: field offsets over golden bytes, the 25 validation checks and the
// failure text.

#include <gtest/gtest.h>

#include <functional>

#include "station_golden.h"

namespace vm418 {
namespace {

using golden::validBlock;

TEST(Para418, GoldenBytesReadIntoTheNamedFields) {
    const PARA_418 p = validBlock();
    EXPECT_EQ(std::string(p.SoftwareVersion, 4), "1.23");
    EXPECT_EQ(passwordNumber(p), 1418);
    EXPECT_EQ(p.SerialNumber, 4711);
    EXPECT_EQ(p.AlarmTimeout, 10);
    EXPECT_EQ(p.AnalogScale, 10000);
    EXPECT_EQ(p.LowAlarmL2, 10);
    EXPECT_EQ(p.HighAlarmH3, 5);
    EXPECT_EQ(p.NumberOfDetectors, 4);
    EXPECT_EQ(p.Modem, 1);
    EXPECT_EQ(p.PrintAlarms, 1);
    EXPECT_EQ(p.Contrast, 50);
    EXPECT_EQ(p.SpeedLimit, 5);
    EXPECT_EQ(p.SegmentParam, 5);
    EXPECT_EQ(p.LowAlarmL1EF, 10);
    EXPECT_EQ(validateParameters(p, defaultStationPasswords()), 0u);
}

TEST(Para418, NewDocumentBlockIsZzzzAndZeros) {
    const PARA_418 p = initialParameters();
    const auto* b = reinterpret_cast<const uint8_t*>(&p);
    EXPECT_EQ(std::string(p.SoftwareVersion, 5), std::string("ZZZZ\0", 5));
    for (std::size_t i = 5; i < kParaSize; ++i)
        ASSERT_EQ(b[i], 0) << "offset " << i;
}

// Every check, with a value that fails it and one that passes, each applied to the valid
// block; the conditional checks are set up with the fields they depend on.
struct Check {
    const char* what;
    uint32_t bit;
    std::function<void(PARA_418&)> failing;
    std::function<void(PARA_418&)> passing;
};

const Check kChecks[] = {
    {"unknown password", kBadPassword, [](PARA_418& p) { std::memcpy(p.Password, "1419", 5); },
     [](PARA_418& p) { std::memcpy(p.Password, "4180", 5); }},
    {"vehicle with sensors", kBadVehicleParameter,
     [](PARA_418& p) { p.NumberOptSens = 2, p.VehicleParameter = 54; },
     [](PARA_418& p) { p.NumberOptSens = 2, p.VehicleParameter = 8, p.AlarmTimeout = 0; }},
    {"timeout without sensors", kBadAlarmTimeout, [](PARA_418& p) { p.AlarmTimeout = 1; },
     [](PARA_418& p) { p.AlarmTimeout = 19, p.VehicleParameter = 0; }},
    {"number parameter", kBadNumberParameter, [](PARA_418& p) { p.NumberParameter = 31; },
     [](PARA_418& p) { p.NumberParameter = 15; }},
    {"analog scale", kBadAnalogScale, [](PARA_418& p) { p.AnalogScale = 3000; },
     [](PARA_418& p) { p.AnalogScale = 100000; }},
    {"alarm mode", kBadAlarmMode, [](PARA_418& p) { p.AlarmMode = 1; },
     [](PARA_418& p) { p.AlarmMode = 0; }},
    {"L1 AB", kBadLowAlarmL1AB, [](PARA_418& p) { p.LowAlarmL1AB = 0; },
     [](PARA_418& p) { p.LowAlarmL1AB = 99; }},
    {"L1 GH with 16 detectors", kBadLowAlarmL1GH,
     [](PARA_418& p) { p.NumberOfDetectors = 16, p.LowAlarmL1ab = 0; },
     [](PARA_418& p) { p.NumberOfDetectors = 15, p.LowAlarmL1ab = 0; }},
    {"L2", kBadLowAlarmL2, [](PARA_418& p) { p.LowAlarmL2 = 31; },
     [](PARA_418& p) { p.NumberOptSens = 4, p.LowAlarmL2 = 99; }},
    {"H3", kBadHighAlarmH3, [](PARA_418& p) { p.HighAlarmH3 = 10; },
     [](PARA_418& p) { p.HighAlarmH3 = 2; }},
    {"detectors", kBadNumberDetectors, [](PARA_418& p) { p.NumberOfDetectors = 18; },
     [](PARA_418& p) { p.NumberOfDetectors = 1; }},
    {"optical sensors", kBadNumberOptSens,
     [](PARA_418& p) { p.NumberOptSens = 5, p.VehicleParameter = 20; },
     [](PARA_418& p) { p.NumberOptSens = 4, p.VehicleParameter = 53; }},
    {"print alarms", kBadPrintAlarm, [](PARA_418& p) { p.PrintAlarms = 4; },
     [](PARA_418& p) { p.PrintAlarms = 3; }},
    {"contrast", kBadContrast, [](PARA_418& p) { p.Contrast = 100; },
     [](PARA_418& p) { p.Contrast = 0; }},
    {"speed alert", kBadSpeedAlert, [](PARA_418& p) { p.SpeedAlert = 7; },
     [](PARA_418& p) { p.SpeedAlert = 6; }},
    {"speed limit in mph", kBadSpeedLimit, [](PARA_418& p) { p.SpeedInMph = 1, p.SpeedLimit = 7; },
     [](PARA_418& p) { p.SpeedInMph = 0, p.SpeedLimit = 10; }},
    {"alarms only by OS", kBadAlarmsOnlyByOS, [](PARA_418& p) { p.AlarmsOnlyByOS = 4; },
     [](PARA_418& p) { p.AlarmsOnlyByOS = 3; }},
    {"OS distance", kBadOSDistance, [](PARA_418& p) { p.OSDistance = 3; },
     [](PARA_418& p) { p.OSDistance = 2; }},
    {"BG correction AB", kBadBGCorrectionAB, [](PARA_418& p) { p.BGCorrectionAB = -1; },
     [](PARA_418& p) { p.BGCorrectionAB = 127; }},
    {"BG correction ab", kBadBGCorrectionab, [](PARA_418& p) { p.BGCorrectionab = -1; },
     [](PARA_418& p) { p.BGCorrectionab = 0; }},
    {"segment", kBadSegmentParam, [](PARA_418& p) { p.SegmentParam = 0; },
     [](PARA_418& p) { p.SegmentParam = 9; }},
    {"OS level", kBadOSLevel, [](PARA_418& p) { p.OSLevel = 21; },
     [](PARA_418& p) { p.OSLevel = 20; }},
    {"L1 CD with 6 detectors", kBadLowAlarmL1CD,
     [](PARA_418& p) { p.NumberOfDetectors = 6, p.LowAlarmL1CD = 100; },
     [](PARA_418& p) { p.NumberOfDetectors = 5, p.LowAlarmL1CD = 100; }},
    {"L1 EF with 8 detectors", kBadLowAlarmL1EF,
     [](PARA_418& p) { p.NumberOfDetectors = 8, p.LowAlarmL1EF = 0; },
     [](PARA_418& p) { p.NumberOfDetectors = 9, p.LowAlarmL1EF = 0; }},
    {"TLC output", kBadTLCOutput, [](PARA_418& p) { p.TLCOutput = -1; },
     [](PARA_418& p) { p.TLCOutput = 3; }},
};

TEST(Para418Validation, EachCheckFailsAloneAndPassesAtItsLimit) {
    const auto passwords = defaultStationPasswords();
    for (const Check& c : kChecks) {
        PARA_418 bad = validBlock();
        c.failing(bad);
        EXPECT_EQ(validateParameters(bad, passwords), c.bit) << c.what;
        PARA_418 good = validBlock();
        c.passing(good);
        EXPECT_EQ(validateParameters(good, passwords), 0u) << c.what;
    }
}

TEST(Para418Validation, DetectorCountUsedAsStoredEvenWhenItFails) {
    PARA_418 p = validBlock();
    p.NumberOfDetectors = 18;  // > 15, > 5 and >= 8: the group checks apply too
    p.LowAlarmL1ab = 0;
    p.LowAlarmL1CD = 0;
    p.LowAlarmL1EF = 0;
    EXPECT_EQ(validateParameters(p, defaultStationPasswords()),
              kBadNumberDetectors | kBadLowAlarmL1GH | kBadLowAlarmL1CD | kBadLowAlarmL1EF);
}

TEST(Para418Validation, PasswordsComeFromTheEnvironmentWhenSet) {
    PARA_418 p = validBlock();
    std::memcpy(p.Password, "0042", 5);
    qputenv("VM418_PASSWORDS", "42, 1111");
    EXPECT_EQ(validateParameters(p), 0u);
    qputenv("VM418_PASSWORDS", "not numbers");  // nothing usable: the default list
    EXPECT_EQ(validateParameters(p), kBadPassword);
    qunsetenv("VM418_PASSWORDS");
    EXPECT_EQ(defaultStationPasswords().size(), 11u);
}

// The failure text: labels lowest bit first, the separator behind the last one removed.
TEST(Para418FailureText, SingleAndSeveralLabels) {
    const struct {
        uint32_t mask;
        const char* text;
    } cases[] = {
        {0, ""},
        {kBadPassword, " Password"},
        {kBadLowAlarmL1GH, " Low Alarm L1 GH"},
        {kBadAlarmTimeout, " Alarm Titmeout"},
        {kBadPassword | kBadNumberParameter | kBadTLCOutput,
         " Password, Number parameter,  TLC Output"},
        {kBadBGCorrectionAB | kBadBGCorrectionab, " BG Pparameter,  BG correction"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describeFailedParameters(c.mask), c.text) << c.mask;
}

}  // namespace
}  // namespace vm418
