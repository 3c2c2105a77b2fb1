// The document's store and load operations over the Alarms, History and Parameters tables.

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cstring>

#include "notify_outbox.h"
#include "station_records.h"

namespace vm418 {

namespace {

// A statement prepared once and run for every entry of a batch.
class Statement {
  public:
    Statement(QSqlDatabase& db, const QString& sql) : q_(db) {
        q_.setForwardOnly(true);
        if (!q_.prepare(sql)) throw DbFailure{kDbCannotOpenRecordset, q_.lastError().text()};
    }
    template <typename... Values>
    QSqlQuery& run(const Values&... values) {
        (q_.addBindValue(QVariant::fromValue(values)), ...);
        return exec();
    }
    QSqlQuery& exec() {
        if (!q_.exec()) throw DbFailure{kDbException, q_.lastError().text()};
        return q_;
    }
    QSqlQuery& query() { return q_; }

  private:
    QSqlQuery q_;
};

// "SELECT ... WHERE SysID = ? <condition> ORDER BY <order>", run for one station.
class StationQuery : public Statement {
  public:
    StationQuery(QSqlDatabase& db, const QString& select, const QString& order, int32_t sysId,
                 const RecordCondition& condition)
        : Statement(db, select + " WHERE SysID = ?" + condition.sql() + " ORDER BY " + order) {
        query().addBindValue(int(sysId));
        condition.bindValues(query());
        exec();
    }
};

QByteArray graphBytes(const std::vector<int32_t>& graph) {
    QByteArray b(static_cast<qsizetype>(graph.size() * 4), '\0');
    for (std::size_t i = 0; i < graph.size(); ++i) {
        const uint32_t v = static_cast<uint32_t>(graph[i]);
        for (int k = 0; k < 4; ++k)
            b[qsizetype(i * 4 + k)] = char((v >> (8 * k)) & 0xFF);
    }
    return b;
}

std::vector<int32_t> graphValues(const QByteArray& b) {
    std::vector<int32_t> graph(static_cast<std::size_t>(b.size() / 4));
    for (std::size_t i = 0; i < graph.size(); ++i) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= uint32_t(uint8_t(b[qsizetype(i * 4 + k)])) << (8 * k);
        graph[i] = static_cast<int32_t>(v);
    }
    return graph;
}

// Texts from the database into the fixed fields, cut so the terminator always stays.
template <std::size_t N>
void copyFixed(char (&dst)[N], const QString& text) {
    const QByteArray b = text.toLatin1();
    std::memset(dst, 0, N);
    std::memcpy(dst, b.constData(), std::min<std::size_t>(N - 1, b.size()));
}

// The block's fields that make a stored block "the same": the unit may change any other
// byte on its own without that being a new set of parameters.
bool sameSettings(const PARA_418& a, const PARA_418& b) {
    return std::memcmp(a.SoftwareVersion, b.SoftwareVersion, 5) == 0 &&
           a.SerialNumber == b.SerialNumber && std::memcmp(a.Password, b.Password, 5) == 0 &&
           a.NumberOptSens == b.NumberOptSens && a.VehicleParameter == b.VehicleParameter &&
           a.AlarmTimeout == b.AlarmTimeout && a.NumberParameter == b.NumberParameter &&
           a.AnalogScale == b.AnalogScale && a.AlarmMode == b.AlarmMode &&
           a.LowAlarmL1AB == b.LowAlarmL1AB && a.LowAlarmL1ab == b.LowAlarmL1ab &&
           a.LowAlarmL2 == b.LowAlarmL2 && a.HighAlarmH3 == b.HighAlarmH3 &&
           a.NumberOfDetectors == b.NumberOfDetectors && a.Modem == b.Modem &&
           a.PrintAlarms == b.PrintAlarms && a.USFormat == b.USFormat && a.Contrast == b.Contrast &&
           a.SpeedAlert == b.SpeedAlert && a.SpeedLimit == b.SpeedLimit &&
           a.SpeedInMph == b.SpeedInMph && a.AlarmsOnlyByOS == b.AlarmsOnlyByOS &&
           a.OSDistance == b.OSDistance && a.BGCorrectionAB == b.BGCorrectionAB &&
           a.BGCorrectionab == b.BGCorrectionab && a.SegmentParam == b.SegmentParam &&
           a.OSLevel == b.OSLevel && a.LowAlarmL1CD == b.LowAlarmL1CD &&
           a.LowAlarmL1EF == b.LowAlarmL1EF && a.DustParam == b.DustParam &&
           a.TLCOutput == b.TLCOutput;
}

QVariant nullBlob() {
    return QVariant(QMetaType::fromType<QByteArray>());
}

bool storableDate(std::time_t t) {
    const QDateTime d = toDbDate(t);
    return d.isValid() && d.date().year() >= 1 && d.date().year() <= 9999;
}

// A column of 255 characters that PostgreSQL takes: it refuses NUL in a text.
bool storableText(const QString& s) {
    return s.size() <= 255 && !s.contains(QChar(0));
}

}  // namespace

bool storableAlarm(const alarms& a) {
    return storableDate(a.DateTime) && a.Len >= 0 && a.Len <= kMaxGraphLen &&
           a.Graph.size() == static_cast<std::size_t>(a.Len);
}

bool storableEvent(const CHistory& h) {
    return storableDate(h.DateTime) && storableText(h.Event);
}

bool alarmFromRow(const AlarmRow& row, alarms& a) {
    a = alarms{};
    a.DateTime = fromDbDate(row.DateTime);
    a.AlarmNumber = int16_t(row.AlarmNumber);
    a.Direction = char(row.Direction);
    a.Segment = int16_t(row.Segment);
    a.Speed = int16_t(row.Speed);
    a.InBG = int16_t(row.InBG);
    a.AlarmLevel = int16_t(row.AlarmLevel);
    a.OutBG = int16_t(row.OutBG);
    a.Threshold = row.Threshold;
    a.Max = int16_t(row.Max);
    a.Min = int16_t(row.Min);
    a.Detector = char(row.Detector);
    copyFixed(a.StatusWord, row.StatusWord);
    copyFixed(a.BGtime, row.BGtime);
    // Len is compared as stored: a value that would wrap in 16 bits is no length either.
    if (row.Len == 0) return true;
    if (row.Len > 0 && row.Len <= kMaxGraphLen && row.Graph.size() == 4 * qsizetype(row.Len)) {
        a.Len = int16_t(row.Len);
        a.Graph = graphValues(row.Graph);
        return true;
    }
    return false;
}

bool readAlarmRow(const QSqlQuery& q, alarms& out) {
    AlarmRow row;
    row.DateTime = q.value(0).toDateTime();
    int* const numbers[] = {&row.AlarmNumber, &row.Direction,  &row.Segment, &row.Speed,
                            &row.InBG,        &row.AlarmLevel, &row.OutBG,   &row.Threshold,
                            &row.Len,         &row.Max,        &row.Min,     &row.Detector};
    for (int i = 0; i < 12; ++i)
        *numbers[i] = q.value(i + 1).toInt();
    row.StatusWord = q.value(13).toString();
    row.BGtime = q.value(14).toString();
    row.Graph = q.value(15).toByteArray();
    return alarmFromRow(row, out);
}

bool parametersFromStored(const QByteArray& stored, PARA_418& block) {
    std::memcpy(&block, stored.constData(),
                std::min<std::size_t>(kParaSize, static_cast<std::size_t>(stored.size())));
    return stored.size() == static_cast<qsizetype>(kParaSize);
}

int StationRecords::storeInOneTransaction(const std::function<void(DbConnection&)>& body) {
    dbError_.clear();
    notificationsAdded_ = 0;
    const int r = runDbOperation(
        connectionText, true,
        [&](DbConnection& conn) {
            lockStationForWriting(conn, SysID);
            body(conn);
        },
        &dbError_);
    // The sender of this process learns of the new rows once they are committed.
    if (r == kDbOk && notificationsAdded_ > 0) outboxWritten();
    return r;
}

int StationRecords::storeAlarmsOn(DbConnection& conn) {
    Statement check(conn.db(),
                    "SELECT 1 FROM Alarms WHERE SysID = ? AND AlarmNumber = ? AND DateTime = ?");
    Statement insert(conn.db(),
                     "INSERT INTO Alarms (SysID, DateTime, AlarmNumber, Direction, Segment, "
                     "Speed, InBG, AlarmLevel, OutBG, Threshold, Len, Max, Min, \"Detector#\", "
                     "StatusWord, BGtime, Graph) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    int added = 0;
    unstorableAlarms = 0;
    for (const auto& [key, a] : alarmMap) {
        if (!storableAlarm(a)) {
            ++unstorableAlarms;
            continue;
        }
        // Byte-sized values go in as int: the drivers mishandle 8-bit binds.
        if (check.run(int(SysID), int(a.AlarmNumber), toDbDate(a.DateTime)).next()) continue;
        QSqlQuery& q = insert.query();
        for (const QVariant& v :
             {QVariant(SysID), QVariant(toDbDate(a.DateTime)), QVariant(int(a.AlarmNumber)),
              QVariant(a.Direction < 0 ? 0 : int(a.Direction)), QVariant(int(a.Segment)),
              QVariant(int(a.Speed)), QVariant(int(a.InBG)), QVariant(int(a.AlarmLevel)),
              QVariant(int(a.OutBG)), QVariant(a.Threshold), QVariant(int(a.Len)),
              QVariant(int(a.Max)), QVariant(int(a.Min)), QVariant(int(uint8_t(a.Detector))),
              QVariant(dbText(a.statusWordText())), QVariant(dbText(a.bgTimeText())),
              a.Len > 0 ? QVariant(graphBytes(a.Graph)) : nullBlob()})
            q.addBindValue(v);
        insert.exec();
        notificationsAdded_ += addNotificationsOn(conn, SysID, a);
        ++added;
    }
    if (unstorableAlarms > 0)
        tell(QStringLiteral("%1 alarm record(s) not stored: a date or graph the database "
                            "cannot hold")
                 .arg(unstorableAlarms));
    return added;
}

int StationRecords::storeHistoryOn(DbConnection& conn) {
    Statement check(conn.db(),
                    "SELECT 1 FROM History WHERE SysID = ? AND Event = ? AND DateTime = ?");
    Statement insert(conn.db(), "INSERT INTO History (SysID, DateTime, Event) VALUES (?, ?, ?)");
    int added = 0;
    unstorableHistory = 0;
    const int count = static_cast<int>(historyMap.size());
    for (int n = 1; n <= count; ++n) {
        const auto it = historyMap.find(n);
        if (it == historyMap.end()) {
            qCDebug(lcStationDb) << "History is corrupted!";
            continue;
        }
        const CHistory& h = it->second;
        if (!storableEvent(h)) {
            ++unstorableHistory;
            continue;
        }
        if (check.run(int(SysID), dbText(h.Event), toDbDate(h.DateTime)).next()) continue;
        insert.run(int(SysID), toDbDate(h.DateTime), dbText(h.Event));
        ++added;
    }
    if (unstorableHistory > 0)
        tell(QStringLiteral("%1 history event(s) not stored: a date or text the database "
                            "cannot hold")
                 .arg(unstorableHistory));
    return added;
}

int StationRecords::storeParametersOn(DbConnection& conn) {
    StationQuery newest(conn.db(), "SELECT ParamBuf FROM Parameters", "DateTime DESC, SeqNum DESC",
                        SysID, {});
    QSqlQuery& q = newest.query();
    if (q.next()) {
        const QByteArray stored = q.value(0).toByteArray();
        if (stored.size() == static_cast<qsizetype>(kParaSize)) {
            PARA_418 old;
            std::memcpy(&old, stored.constData(), kParaSize);
            if (sameSettings(old, parameters)) return 0;
        }
    }
    q.finish();
    QDateTime now = QDateTime::currentDateTime();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    Statement insert(conn.db(),
                     "INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (?, ?, ?)");
    insert.run(int(SysID), now, QByteArray(reinterpret_cast<const char*>(&parameters), kParaSize));
    return 1;
}

int StationRecords::storeAlarms() {
    return storeInOneTransaction([this](DbConnection& conn) { storeAlarmsOn(conn); });
}

int StationRecords::storeHistory() {
    return storeInOneTransaction([this](DbConnection& conn) { storeHistoryOn(conn); });
}

int StationRecords::storeParameters() {
    return storeInOneTransaction([this](DbConnection& conn) { storeParametersOn(conn); });
}

int StationRecords::loadAlarms(const RecordCondition& condition) {
    AlarmMap loaded;
    dbError_.clear();
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            StationQuery rows(conn.db(), QStringLiteral("SELECT %1 FROM Alarms").arg(kAlarmColumns),
                              "DateTime, AlarmNumber", SysID, condition);
            QSqlQuery& q = rows.query();
            for (int key = 1; q.next(); ++key) {
                alarms a;
                if (!readAlarmRow(q, a)) tell(QLatin1String(kAlarmsCorrupted));
                a.Index = key;
                loaded.emplace(key, std::move(a));
            }
        },
        &dbError_);
    if (r == kDbOk) alarmMap = std::move(loaded);
    return r;
}

int StationRecords::loadHistory(const RecordCondition& condition) {
    HistoryMap loaded;
    dbError_.clear();
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            StationQuery rows(conn.db(), "SELECT Event, DateTime FROM History", "SeqNum", SysID,
                              condition);
            QSqlQuery& q = rows.query();
            for (int key = 1; q.next(); ++key)
                loaded[key] =
                    CHistory{key, q.value(0).toString(), fromDbDate(q.value(1).toDateTime()), {}};
        },
        &dbError_);
    if (r == kDbOk) historyMap = std::move(loaded);
    return r;
}

namespace {

// Newest first; of two blocks stored in the same second, the one stored last.
constexpr char kNewestParametersFirst[] = "DateTime DESC, SeqNum DESC";

}  // namespace

int StationRecords::loadParameters(const RecordCondition& condition) {
    dbError_.clear();
    return runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            StationQuery rows(conn.db(), "SELECT ParamBuf FROM Parameters", kNewestParametersFirst,
                              SysID, condition);
            QSqlQuery& q = rows.query();
            if (!q.next()) return;
            if (!parametersFromStored(q.value(0).toByteArray(), parameters))
                tell(QLatin1String(kParamBufLength));
        },
        &dbError_);
}

int StationRecords::loadStoredParameters(int32_t seqNum) {
    dbError_.clear();
    return runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            Statement rows(conn.db(),
                           "SELECT ParamBuf FROM Parameters WHERE SysID = ? AND SeqNum = ?");
            QSqlQuery& q = rows.run(int(SysID), int(seqNum));
            if (!q.next()) return;
            if (!parametersFromStored(q.value(0).toByteArray(), parameters))
                tell(QLatin1String(kParamBufLength));
        },
        &dbError_);
}

int StationRecords::listStoredParameters(std::vector<StoredParameters>& blocks,
                                         const RecordCondition& condition) {
    std::vector<StoredParameters> found;
    dbError_.clear();
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            StationQuery rows(conn.db(), "SELECT SeqNum, DateTime FROM Parameters",
                              kNewestParametersFirst, SysID, condition);
            QSqlQuery& q = rows.query();
            while (q.next())
                found.push_back({q.value(0).toInt(), fromDbDate(q.value(1).toDateTime())});
        },
        &dbError_);
    if (r == kDbOk) blocks = std::move(found);
    return r;
}

int StationRecords::listParameterDates(std::vector<std::time_t>& dates,
                                       const RecordCondition& condition) {
    std::vector<StoredParameters> blocks;
    const int r = listStoredParameters(blocks, condition);
    if (r != kDbOk) return r;
    dates.clear();
    for (const StoredParameters& b : blocks)
        dates.push_back(b.DateTime);
    return r;
}

}  // namespace vm418
