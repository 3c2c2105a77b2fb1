#include "monitoring_record.h"

#include <algorithm>
#include <cstring>

namespace station {

namespace {

// Where the fields lie in the record; values are little-endian.
constexpr size_t kCountsOffset = 0;
constexpr size_t kErrorBitsOffset = 30;
constexpr size_t kW1Offset = 32;
constexpr size_t kW2Offset = 34;
constexpr size_t kBackgroundOffset = 40;
constexpr size_t kDateOffset = 64;
constexpr size_t kTimeOffset = 74;

// The unit sends the background rates region A, C, B, D, E, F: the region each slot holds.
constexpr std::array<int, kMonitoringRegions> kBackgroundSlotRegion = {0, 2, 1, 3, 4, 5};

// Error bit names, bit 0 first.
constexpr std::array<const char*, 16> kErrorChannelNames = {"A1",  "A2",  "C1",  "C2", "B1", "B2",
                                                            "D1",  "D2",  "F1",  "F2", "E1", "E2",
                                                            "OS3", "OS4", "OS1", "OS2"};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The text of the field at `offset`: up to its terminator, the field's end or the data's end.
QString FieldText(const uint8_t* data, size_t length, size_t offset) {
    if (offset >= length) return {};
    const size_t room = std::min(kMonitoringTextField, length - offset);
    const auto* start = reinterpret_cast<const char*>(data + offset);
    const void* nul = std::memchr(start, 0, room);
    const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - start) : room;
    return QString::fromLatin1(start, static_cast<qsizetype>(n));
}

}  // namespace

std::optional<MonitoringRecord> DecodeMonitoringRecord(const uint8_t* data, size_t length) {
    if (data == nullptr || length < kMonitoringFixedBytes) return std::nullopt;
    MonitoringRecord r;
    for (int i = 0; i < kMonitoringChannels; ++i)
        r.counts[i] = static_cast<int16_t>(Le16(data + kCountsOffset + 2 * i));
    r.errorBits = Le16(data + kErrorBitsOffset);
    r.w1 = Le16(data + kW1Offset);
    r.w2 = Le16(data + kW2Offset);
    for (int slot = 0; slot < kMonitoringRegions; ++slot)
        r.background[kBackgroundSlotRegion[slot]] =
            static_cast<int32_t>(Le32(data + kBackgroundOffset + 4 * slot));
    r.date = FieldText(data, length, kDateOffset);
    r.time = FieldText(data, length, kTimeOffset);
    return r;
}

int RegionListIndex(int index) {
    return index >= 0 && index <= kRegionSum ? index : 0;
}

double RegionValue(const MonitoringRecord& record, int index) {
    const int entry = RegionListIndex(index);
    const int first = entry == kRegionSum ? 0 : 2 * entry;
    const int last = entry == kRegionSum ? kMonitoringChannels : 2 * entry + 2;
    long sum = 0;
    for (int i = first; i < last; ++i)
        sum += record.counts[i];
    return static_cast<double>(sum);
}

QString RegionValueText(double value) {
    return QString::asprintf("%g", value);
}

QString ErrorChannelNames(uint16_t bits) {
    QString names;
    for (int bit = 0; bit < 16; ++bit)
        if (bits & (1u << bit)) names += QLatin1String(kErrorChannelNames[bit]);
    return names;
}

QString UnitStatusText(const MonitoringRecord& record, bool monitoringStopped) {
    if (monitoringStopped) return QStringLiteral("Remote Setup");
    if (record.w1 & kW1RegionAB) return QStringLiteral("Monitoring region AB");
    if (record.w1 & kW1RegionCD) return QStringLiteral("Monitoring region CD");
    if (record.w2 & kW2RegionEF) return QStringLiteral("Monitoring region EF");
    if (record.w2 & kW2Regionab) return QStringLiteral("Monitoring region ab");
    return QStringLiteral("System Ready");
}

bool NewAlarmWaiting(const MonitoringRecord& record) {
    return (record.w1 & kW1NewAlarm) != 0;
}

QString BackgroundText(const MonitoringRecord& record, int region) {
    if (region < 0 || region >= kMonitoringRegions) return {};
    return QString::asprintf("%ld", static_cast<long>(record.background[region]));
}

QString DateText(const MonitoringRecord& record) {
    return QString::asprintf("%8s", record.date.toLatin1().constData());
}

QString TimeText(const MonitoringRecord& record) {
    return QString::asprintf("%8s", record.time.toLatin1().constData());
}

QString MonitoringLine(const MonitoringRecord& record, bool monitoringStopped) {
    QString line = DateText(record) + ' ' + TimeText(record) + ' ';
    for (int i = 0; i <= kRegionSum; ++i)
        line += QStringLiteral(" %1 %2").arg(QLatin1String(kRegionEntries[i]),
                                             RegionValueText(RegionValue(record, i)));
    line += QStringLiteral("  BG");
    for (int r = 0; r < kMonitoringRegions; ++r)
        line += QStringLiteral(" %1 %2").arg(QLatin1String(kRegionEntries[r]),
                                             BackgroundText(record, r));
    const QString errors = ErrorChannelNames(record.errorBits);
    line += QStringLiteral("  ") + UnitStatusText(record, monitoringStopped) +
            QStringLiteral("  errors ") + (errors.isEmpty() ? QStringLiteral("-") : errors);
    return line;
}

}  // namespace station
