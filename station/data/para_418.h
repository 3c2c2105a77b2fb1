// The station's parameter block as it lies in "sys_par.418": 212 packed little-endian bytes.
// Only the named fields mean something to this program; every reserved byte is carried
// through unchanged (downloaded, stored, sent back).

#pragma once

#include <QString>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vm418 {

static_assert(std::endian::native == std::endian::little,
              "the parameter block is read in place; the unit writes it little-endian");

#pragma pack(push, 1)
struct PARA_418 {
    char SoftwareVersion[5];  // shown after "2."
    char Password[5];         // decimal digits, NUL-padded
    uint8_t reserved10[44];
    uint16_t SerialNumber;
    uint8_t reserved56;
    int8_t AlarmTimeout;  // used when no optical sensor is fitted
    int8_t NumberParameter;
    int8_t VehicleParameter;  // used when optical sensors are fitted
    int32_t AnalogScale;
    int8_t AlarmMode;
    int8_t LowAlarmL1AB;
    int8_t LowAlarmL1ab;  // detector group GH
    int16_t LowAlarmL2;
    int16_t HighAlarmH3;
    uint8_t reserved71;
    int8_t NumberOfDetectors;
    int8_t NumberOptSens;  // optical sensors
    uint8_t Modem;         // 0 "TEL", other "CEL"
    int8_t PrintAlarms;
    uint8_t reserved76[3];
    int16_t AlarmRingStart;  // offset of the oldest record in "alarmfi.418"
    int16_t AlarmRingEnd;    // offset just behind the newest record
    uint8_t reserved83[14];
    uint8_t USFormat;
    int16_t Contrast;
    int8_t SpeedAlert;
    int8_t SpeedLimit;
    uint8_t reserved102[2];
    uint8_t SpeedInMph;  // 0 "Kph", other "Mph"
    uint8_t reserved105[30];
    int8_t AlarmsOnlyByOS;
    uint8_t reserved136[2];
    int8_t OSDistance;
    uint8_t reserved139[5];
    int8_t BGCorrectionAB;
    int8_t BGCorrectionab;
    int8_t SegmentParam;
    int8_t OSLevel;
    uint8_t reserved148[24];
    int8_t LowAlarmL1CD;
    int8_t LowAlarmL1EF;
    uint8_t DustParam;
    int8_t TLCOutput;
    uint8_t reserved176[36];
};
#pragma pack(pop)

inline constexpr std::size_t kParaSize = 212;
// Writing the block back to the unit sends only its first 176 bytes.
inline constexpr std::size_t kParaSentSize = 176;

static_assert(sizeof(PARA_418) == kParaSize);
static_assert(offsetof(PARA_418, SerialNumber) == 54);
static_assert(offsetof(PARA_418, AnalogScale) == 60);
static_assert(offsetof(PARA_418, LowAlarmL2) == 67);
static_assert(offsetof(PARA_418, NumberOfDetectors) == 72);
static_assert(offsetof(PARA_418, AlarmRingStart) == 79);
static_assert(offsetof(PARA_418, Contrast) == 98);
static_assert(offsetof(PARA_418, SpeedInMph) == 104);
static_assert(offsetof(PARA_418, AlarmsOnlyByOS) == 135);
static_assert(offsetof(PARA_418, OSDistance) == 138);
static_assert(offsetof(PARA_418, BGCorrectionAB) == 144);
static_assert(offsetof(PARA_418, LowAlarmL1CD) == 172);
static_assert(offsetof(PARA_418, TLCOutput) == 175);

// The block a document starts with: "ZZZZ" as software version, zero bytes elsewhere.
PARA_418 initialParameters();

// The eleven four-digit passwords the station accepts. The list comes from the environment
// variable VM418_PASSWORDS, else from the key Station/Passwords of the user's
// "vm418station.ini", both comma-separated; without either, the built-in default list.
std::vector<int> stationPasswords();
std::vector<int> defaultStationPasswords();

// Bits of the validation mask, lowest first in the order of the failure text.
enum ParaCheck : uint32_t {
    kBadPassword = 0x1,
    kBadVehicleParameter = 0x2,
    kBadAlarmTimeout = 0x4,
    kBadNumberParameter = 0x8,
    kBadAnalogScale = 0x10,
    kBadAlarmMode = 0x20,
    kBadLowAlarmL1AB = 0x40,
    kBadLowAlarmL1GH = 0x80,
    kBadLowAlarmL2 = 0x100,
    kBadHighAlarmH3 = 0x200,
    kBadNumberDetectors = 0x400,
    kBadNumberOptSens = 0x800,
    kBadPrintAlarm = 0x1000,
    kBadContrast = 0x2000,
    kBadSpeedAlert = 0x4000,
    kBadSpeedLimit = 0x8000,
    kBadAlarmsOnlyByOS = 0x10000,
    kBadOSDistance = 0x20000,
    kBadBGCorrectionAB = 0x40000,
    kBadBGCorrectionab = 0x80000,
    kBadSegmentParam = 0x100000,
    kBadOSLevel = 0x200000,
    kBadLowAlarmL1CD = 0x400000,
    kBadLowAlarmL1EF = 0x800000,
    kBadTLCOutput = 0x1000000,
};

// 0 when every checked field is valid, else the OR of the failing bits.
uint32_t validateParameters(const PARA_418& p, const std::vector<int>& passwords);
inline uint32_t validateParameters(const PARA_418& p) {
    return validateParameters(p, stationPasswords());
}

// The labels of the failing fields, lowest bit first, without the separator behind the last.
QString describeFailedParameters(uint32_t mask);

// The password field as the number the unit compares (leading digits, 0 when none).
int passwordNumber(const PARA_418& p);

}  // namespace vm418
