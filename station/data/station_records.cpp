#include "station_records.h"

#include <QDir>
#include <QFile>
#include <cstring>

namespace vm418 {

namespace {

// Up to `limit` bytes of a file; false when it cannot be opened.
bool readFile(const QString& path, qint64 limit, QByteArray& out) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    out = f.read(limit);
    return true;
}

std::span<const uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), static_cast<std::size_t>(a.size())};
}

}  // namespace

QString prepareWorkingFolder() {
    QDir here;
    if (here.mkpath(QStringLiteral("TEMP"))) return QStringLiteral("TEMP/");
    return {};
}

StationRecords::StationRecords(QString folderPrefix, MessageSink sink)
    : parameters(initialParameters()),
      connectionText(defaultConnectionText()),
      folder_(std::move(folderPrefix)),
      sink_(std::move(sink)) {}

void StationRecords::tell(const QString& text) const {
    if (sink_) sink_(text);
}

int StationRecords::readParameters(const QString& path) {
    QByteArray data;
    if (!readFile(path.isEmpty() ? filePath(kParametersFile) : path, kParaSize, data) ||
        data.size() < static_cast<qsizetype>(kParaSize))
        return -1;
    std::memcpy(&parameters, data.constData(), kParaSize);
    return 0;
}

int StationRecords::readAlarms(const QString& path) {
    QByteArray data;
    if (!readFile(path.isEmpty() ? filePath(kAlarmsFile) : path, kAlarmRingSize, data)) return -1;
    const std::vector<uint8_t> ring = ringImage(bytesOf(data));
    alarmMap = parseAlarmRing(std::span<const uint8_t, kAlarmRingSize>(ring.data(), kAlarmRingSize),
                              parameters.AlarmRingStart, parameters.AlarmRingEnd);
    return 0;
}

int StationRecords::mergeOneAlarm(const QString& path) {
    QByteArray data;
    if (!readFile(path.isEmpty() ? filePath(kSingleAlarmFile) : path, kAlarmRingSize, data) ||
        data.size() < 2)
        return -1;
    const std::vector<uint8_t> ring = ringImage(bytesOf(data));
    alarms record;
    // A record that does not parse is not merged; the caller reports that there is none.
    if (parseOneAlarm(0, record,
                      std::span<const uint8_t, kAlarmRingSize>(ring.data(), kAlarmRingSize)) < 0)
        return -1;
    return mergeAlarm(alarmMap, std::move(record));
}

int StationRecords::readHistory(const QString& path) {
    QByteArray data;
    if (!readFile(path.isEmpty() ? filePath(kHistoryFile) : path, kHistoryFileSize, data))
        return -1;
    if (data.size() < kHistoryFileSize) return -2;
    historyMap = parseHistory(std::span<const uint8_t, kHistoryFileSize>(
        reinterpret_cast<const uint8_t*>(data.constData()), kHistoryFileSize));
    return 0;
}

int StationRecords::importDownloadedFiles() {
    int result = 0;
    auto keepFirstFailure = [&result](int r) {
        if (result == 0) result = r;
    };
    if (readParameters() != 0) {
        tell(QLatin1String(kCantReadParameters));
    } else {
        const uint32_t mask = validateParameters(parameters);
        if (mask != 0) tell(describeFailedParameters(mask));
        // Stored even when the block fails validation: it is what the unit holds.
        keepFirstFailure(storeParameters());
    }
    if (readHistory() != 0) {
        tell(QLatin1String(kCantReadHistory));
    } else {
        keepFirstFailure(storeHistory());
    }
    if (readAlarms() != 0) {
        tell(QLatin1String(kCantReadAlarms));
    } else {
        keepFirstFailure(storeAlarms());
    }
    return result;
}

}  // namespace vm418
