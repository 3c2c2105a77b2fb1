// The unit's monitoring answer (0x40A1): its record decoded into values, and the texts the
// monitoring view and the console show of it. Pure functions: no I/O, no widgets.

#pragma once

#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace station {

// Twelve channels in pairs, one pair a region: A1 A2 B1 B2 C1 C2 D1 D2 E1 E2 F1 F2.
inline constexpr int kMonitoringChannels = 12;
inline constexpr int kMonitoringRegions = 6;
// Everything up to the date text; shorter answers carry no usable record.
inline constexpr size_t kMonitoringFixedBytes = 64;
// The date and time each lie in a field of 10 bytes, zero-terminated.
inline constexpr size_t kMonitoringTextField = 10;
inline constexpr size_t kMonitoringRecordBytes = kMonitoringFixedBytes + 2 * kMonitoringTextField;

// The entries of the region list, by index: the six regions, then the sum of all channels.
inline constexpr int kRegionSum = kMonitoringRegions;
inline constexpr std::array<const char*, kRegionSum + 1> kRegionEntries = {"A", "B", "C",  "D",
                                                                           "E", "F", "SUM"};

// W1 and W2 bits.
inline constexpr uint16_t kW1NewAlarm = 0x0001;
inline constexpr uint16_t kW1RegionCD = 0x4000;
inline constexpr uint16_t kW1RegionAB = 0x8000;
inline constexpr uint16_t kW2Regionab = 0x4000;
inline constexpr uint16_t kW2RegionEF = 0x8000;

struct MonitoringRecord {
    std::array<int16_t, kMonitoringChannels> counts{};  // A1, A2, B1, B2, ... F1, F2
    uint16_t errorBits = 0;                             // see ErrorChannelNames
    uint16_t w1 = 0;
    uint16_t w2 = 0;
    std::array<int32_t, kMonitoringRegions> background{};  // cps, by region A..F
    QString date;                                          // as the unit wrote it, "mm-dd-yy"
    QString time;                                          // "hh:mm:ss"
};

// Decodes the data of a 0x40A1 answer. nullopt when it is shorter than the fixed part (64
// bytes). The date and time texts end at their terminator, at the end of their 10-byte
// field or at the end of the data, whichever comes first, so a short record gives short or
// empty texts and nothing past `length` is read.
std::optional<MonitoringRecord> DecodeMonitoringRecord(const uint8_t* data, size_t length);

// The value shown for a region list index: 0..5 the sum of a region's two channels, 6 the
// sum of all twelve. An index without a list entry (negative, 7 or more) counts as 0, the
// first entry, as the list itself falls back to it.
double RegionValue(const MonitoringRecord& record, int index);
// The index the list selects for `index`: itself for 0..6, else 0.
int RegionListIndex(int index);

QString RegionValueText(double value);  // "%g"
// The names of the channels whose error bit is set, in bit order, run together ("A1C1").
// Bit 0 first: A1 A2 C1 C2 B1 B2 D1 D2 F1 F2 E1 E2 OS3 OS4 OS1 OS2.
QString ErrorChannelNames(uint16_t bits);
// What the unit is doing. While the "Stop MONI" lamp is lit (`monitoringStopped`) the unit
// is being set up from here: "Remote Setup", whatever the status words say.
QString UnitStatusText(const MonitoringRecord& record, bool monitoringStopped);
// Bit 0 of W1: a new alarm waits to be downloaded.
bool NewAlarmWaiting(const MonitoringRecord& record);
// The background rate of region 0..5 (A..F) as "%ld"; empty for any other region.
QString BackgroundText(const MonitoringRecord& record, int region);
QString DateText(const MonitoringRecord& record);  // "%8s"
QString TimeText(const MonitoringRecord& record);  // "%8s"

// One line for a console, fields in a fixed order, separated by two blanks:
// "12-09-26 10:15:02  A 410 B 395 C 402 D 388 E 401 F 399 SUM 2395  BG A 201 B 198 C 200
// D 197 E 202 F 199  Monitoring region AB  errors -" (one line; "errors -" when no channel
// is in error, else "errors A1C1").
QString MonitoringLine(const MonitoringRecord& record, bool monitoringStopped);

}  // namespace station
