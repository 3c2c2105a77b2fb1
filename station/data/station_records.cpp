#include "station_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

namespace vm418 {

namespace {

// Up to `limit` bytes of a regular file. The file is opened without blocking and checked
// before it is read: a FIFO in a download's place would otherwise stall the import for ever,
// and a device or folder holds no download.
bool readRegularFile(const QString& path, qint64 limit, QByteArray& out, QString& why) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        why = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        why = QStringLiteral("not a regular file");
        ok = false;
    }
    QByteArray data(ok ? limit : 0, '\0');
    qint64 got = 0;
    while (ok && got < limit) {
        const ssize_t n = ::read(fd, data.data() + got, static_cast<std::size_t>(limit - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = QString::fromLocal8Bit(std::strerror(errno));
            ok = false;
        }
        if (n <= 0) break;
        got += n;
    }
    ::close(fd);
    if (!ok) return false;
    data.resize(got);
    out = std::move(data);
    return true;
}

std::span<const uint8_t> bytesOf(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), static_cast<std::size_t>(a.size())};
}

QString shortFile(qsizetype got, qsizetype needed) {
    return QStringLiteral("%1 bytes, %2 needed").arg(got).arg(needed);
}

QString counted(int n, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
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

bool StationRecords::readFile(const QString& path, const char* defaultName, qint64 limit,
                              QByteArray& out) {
    const QString file = path.isEmpty() ? filePath(defaultName) : path;
    QString why;
    if (readRegularFile(file, limit, out, why)) return true;
    fileError_ = file + " (" + why + ")";
    return false;
}

int StationRecords::readParameters(const QString& path) {
    QByteArray data;
    if (!readFile(path, kParametersFile, kParaSize, data)) return -1;
    if (data.size() < static_cast<qsizetype>(kParaSize)) {
        fileError_ = (path.isEmpty() ? filePath(kParametersFile) : path) + " (" +
                     shortFile(data.size(), kParaSize) + ")";
        return -1;
    }
    std::memcpy(&parameters, data.constData(), kParaSize);
    return 0;
}

int StationRecords::readAlarms(const QString& path) {
    QByteArray data;
    if (!readFile(path, kAlarmsFile, kAlarmRingSize, data)) return -1;
    const std::vector<uint8_t> ring = ringImage(bytesOf(data));
    alarmMap =
        parseAlarmRing(std::span<const uint8_t, kAlarmRingSize>(ring.data(), kAlarmRingSize),
                       parameters.AlarmRingStart, parameters.AlarmRingEnd, &unreadableAlarms);
    return 0;
}

int StationRecords::mergeOneAlarm(const QString& path) {
    QByteArray data;
    if (!readFile(path, kSingleAlarmFile, kAlarmRingSize, data) || data.size() < 2) return -1;
    const std::vector<uint8_t> ring = ringImage(bytesOf(data));
    alarms record;
    // A record that cannot be read or has an impossible date is not merged; the caller
    // reports that there is none.
    if (parseOneAlarm(0, record,
                      std::span<const uint8_t, kAlarmRingSize>(ring.data(), kAlarmRingSize)) < 0)
        return -1;
    return mergeAlarm(alarmMap, std::move(record));
}

int StationRecords::readHistory(const QString& path) {
    QByteArray data;
    if (!readFile(path, kHistoryFile, kHistoryFileSize, data)) return -1;
    if (data.size() < kHistoryFileSize) {
        fileError_ = (path.isEmpty() ? filePath(kHistoryFile) : path) + " (" +
                     shortFile(data.size(), kHistoryFileSize) + ")";
        return -2;
    }
    historyMap =
        parseHistory(std::span<const uint8_t, kHistoryFileSize>(
                         reinterpret_cast<const uint8_t*>(data.constData()), kHistoryFileSize),
                     &unreadableHistory);
    return 0;
}

ImportReport StationRecords::importDownloadedFiles() {
    ImportReport report;
    auto cantRead = [this](const char* text) { tell(QLatin1String(text) + ' ' + fileError_); };
    if (readParameters() != 0) {
        cantRead(kCantReadParameters);
    } else {
        report.parametersRead = true;
        const uint32_t mask = validateParameters(parameters);
        if (mask != 0) tell(describeFailedParameters(mask));
        // Stored even when the block fails validation: it is what the unit holds.
    }
    if (readHistory() != 0) {
        cantRead(kCantReadHistory);
    } else {
        report.historyRead = true;
        report.unreadableHistory = unreadableHistory;
        if (unreadableHistory > 0)
            tell(counted(unreadableHistory, "history event", "history events") +
                 " skipped as unreadable");
    }
    if (!report.parametersRead) {
        // The ring offsets of another download would read this ring from the wrong place.
        tell(QLatin1String(kCantReadAlarms) + ' ' + filePath(kAlarmsFile) +
             " (it is located by the parameters file, which could not be read)");
    } else if (readAlarms() != 0) {
        cantRead(kCantReadAlarms);
    } else {
        report.alarmsRead = true;
        report.unreadableAlarms = unreadableAlarms;
        if (unreadableAlarms > 0)
            tell(counted(unreadableAlarms, "alarm record", "alarm records") +
                 " skipped as unreadable");
    }
    if (!report.parametersRead && !report.historyRead) return report;
    // What was read is stored in one transaction: a failure leaves none of it.
    ImportReport stored = report;
    report.storeResult = storeInOneTransaction([&](DbConnection& conn) {
        if (stored.parametersRead) stored.storedParameters = storeParametersOn(conn);
        if (stored.historyRead) stored.storedHistory = storeHistoryOn(conn);
        if (stored.alarmsRead) stored.storedAlarms = storeAlarmsOn(conn);
    });
    if (report.storeResult == kDbOk) {
        report.storedParameters = stored.storedParameters;
        report.storedHistory = stored.storedHistory;
        report.storedAlarms = stored.storedAlarms;
    }
    return report;
}

}  // namespace vm418
