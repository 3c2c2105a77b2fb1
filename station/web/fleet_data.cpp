#include "fleet_data.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <map>
#include <tuple>

#include "station_db.h"
#include "station_records.h"

namespace vm418 {

int readFleet(const QString& connectionText, const QDateTime& now, std::vector<FleetRow>& rows,
              QString* failure) {
    std::vector<FleetRow> read;
    const QDateTime day = toDbDate(fromDbDate(now) - 24 * 3600);
    const QDateTime week = toDbDate(fromDbDate(now) - 7 * 24 * 3600);
    const QDateTime upTo = toDbDate(fromDbDate(now));
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            std::vector<CSystemRset> systems = systemRowsOn(conn);
            // A few statements for the whole fleet, each station's rows reached through the
            // (SysID, DateTime) index whatever the size of the table: the counts of its day
            // and week, then its newest alarm.
            QSqlQuery counts = preparedQuery(
                conn, QStringLiteral("SELECT s.SysID, (SELECT COUNT(*) FROM Alarms a WHERE "
                                     "a.SysID = s.SysID AND a.DateTime > ? AND a.DateTime <= ?) "
                                     "FROM System s"));
            counts.addBindValue(week);
            counts.addBindValue(upTo);
            runQuery(counts);
            std::map<int32_t, int> inWeek;
            while (counts.next())
                inWeek[counts.value(0).toInt()] = counts.value(1).toInt();
            counts.finish();
            counts.bindValue(0, day);
            counts.bindValue(1, upTo);
            runQuery(counts);
            std::map<int32_t, std::pair<int, int>> counted;
            while (counts.next()) {
                const int32_t id = counts.value(0).toInt();
                counted[id] = {counts.value(1).toInt(), inWeek[id]};
            }
            // The time of each station's newest alarm (the index's last entry), then those
            // rows in one statement (as ORs: SQLite scans the table for a row-value IN).
            QSqlQuery latest = preparedQuery(conn, QStringLiteral("SELECT s.SysID, (SELECT "
                                                                  "MAX(b.DateTime) FROM Alarms b "
                                                                  "WHERE b.SysID = s.SysID) FROM "
                                                                  "System s"));
            runQuery(latest);
            QStringList pairs;
            QVariantList keys;
            while (latest.next()) {
                if (latest.value(1).isNull()) continue;
                pairs << QStringLiteral("(SysID = ? AND DateTime = ?)");
                keys << latest.value(0).toInt() << latest.value(1).toDateTime();
            }
            std::map<int32_t, alarms> newestOf;
            if (!pairs.isEmpty()) {
                QSqlQuery newest = preparedQuery(
                    conn,
                    QStringLiteral("SELECT %1, SysID FROM Alarms WHERE %2")
                        .arg(QLatin1String(kAlarmColumns), pairs.join(QStringLiteral(" OR "))));
                for (const QVariant& v : keys)
                    newest.addBindValue(v);
                runQuery(newest);
                while (newest.next()) {
                    alarms a;
                    readAlarmRow(newest, a);  // a damaged graph still has its time and level
                    const int32_t id = newest.value(16).toInt();
                    // Of two alarms in the same second, the higher number.
                    if (!newestOf.count(id) || newestOf[id].AlarmNumber < a.AlarmNumber)
                        newestOf[id] = std::move(a);
                }
            }
            std::map<int32_t, CallAttempt> lastCalls = lastCallAttemptsOn(conn);
            for (CSystemRset& system : systems) {
                FleetRow row;
                if (const auto c = lastCalls.find(system.SysID); c != lastCalls.end()) {
                    row.lastCall = c->second;
                    row.failing = failingLongerThanPeriod(system, row.lastCall, now);
                }
                if (const auto c = counted.find(system.SysID); c != counted.end())
                    std::tie(row.alarmsDay, row.alarmsWeek) = c->second;
                if (const auto n = newestOf.find(system.SysID); n != newestOf.end())
                    row.newest = std::move(n->second);
                row.system = std::move(system);
                read.push_back(std::move(row));
            }
        },
        failure);
    if (r == kDbOk) rows = std::move(read);
    return r;
}

int readAlarmTotals(const QString& connectionText, std::map<int32_t, qint64>& totals,
                    QString* failure) {
    std::map<int32_t, qint64> read;
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            QSqlQuery q = preparedQuery(conn, "SELECT SysID, COUNT(*) FROM Alarms GROUP BY SysID");
            runQuery(q);
            while (q.next())
                read[q.value(0).toInt()] = q.value(1).toLongLong();
        },
        failure);
    if (r == kDbOk) totals = std::move(read);
    return r;
}

int readSystemPage(const QString& connectionText, int32_t sysId, const QDate& from, const QDate& to,
                   int events, SystemPage& page, QString* failure, bool alarms) {
    std::optional<CSystemRset> system;
    StationRecords records;
    records.connectionText = connectionText;
    records.SysID = sysId;
    if (const int r = alarms ? records.loadAlarms(RecordCondition::days(from, to)) : kDbOk) {
        if (failure) *failure = records.dbError();
        return r;
    }
    HistoryMap newest;
    std::optional<PARA_418> parameters;
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            system = systemRowOn(conn, sysId);
            if (!system) return;
            QSqlQuery q = preparedQuery(conn, QStringLiteral("SELECT Event, DateTime, SeqNum FROM "
                                                             "History WHERE SysID = ? ORDER BY "
                                                             "SeqNum DESC LIMIT %1")
                                                  .arg(std::max(0, events)));
            q.addBindValue(int(sysId));
            runQuery(q);
            std::vector<CHistory> rows;
            while (q.next())
                rows.push_back(CHistory{q.value(2).toInt(),
                                        q.value(0).toString(),
                                        fromDbDate(q.value(1).toDateTime()),
                                        {}});
            int key = 0;
            for (auto it = rows.rbegin(); it != rows.rend(); ++it)
                newest[++key] = *it;
            // The newest block; of two stored in the same second, the one stored last.
            QSqlQuery p =
                preparedQuery(conn, QStringLiteral("SELECT ParamBuf FROM Parameters WHERE "
                                                   "SysID = ? ORDER BY DateTime DESC, "
                                                   "SeqNum DESC LIMIT 1"));
            p.addBindValue(int(sysId));
            runQuery(p);
            if (p.next()) {
                PARA_418 block = initialParameters();
                parametersFromStored(p.value(0).toByteArray(), block);
                parameters = block;
            }
        },
        failure);
    if (r != kDbOk) return r;
    if (!system) return 1;
    page = SystemPage{};
    page.parameters = parameters;
    page.system = std::move(*system);
    page.alarms = std::move(records.alarmMap);
    page.events = std::move(newest);
    return kDbOk;
}

int readAlarmsAfter(const QString& connectionText, int32_t sysId, const QDate& from,
                    const QDate& to, const std::optional<AlarmKey>& after, int limit,
                    std::vector<alarms>& page, QString* failure) {
    std::vector<alarms> read;
    bool known = true;
    // After a row, from its time on: one lower bound, so that the (SysID, DateTime) index
    // starts there and each piece costs its own rows only.
    RecordCondition range = RecordCondition::days(from, to);
    if (after) range.from = after->time;
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            if (!after && !systemRowOn(conn, sysId)) {
                known = false;
                return;
            }
            QSqlQuery q = preparedQuery(
                conn, QStringLiteral("SELECT %1 FROM Alarms WHERE SysID = ?%2%3 ORDER BY "
                                     "DateTime, AlarmNumber LIMIT %4")
                          .arg(QLatin1String(kAlarmColumns), range.sql(),
                               after ? QStringLiteral(" AND (DateTime > ? OR AlarmNumber > ?)")
                                     : QString())
                          .arg(std::max(1, limit)));
            q.addBindValue(int(sysId));
            range.bindValues(q);
            if (after) {
                q.addBindValue(toDbDate(after->time));
                q.addBindValue(after->number);
            }
            runQuery(q);
            while (q.next()) {
                alarms a;
                readAlarmRow(q, a);  // a damaged graph still has its row
                read.push_back(std::move(a));
            }
        },
        failure);
    if (r != kDbOk) return r;
    if (!known) return 1;
    page = std::move(read);
    return kDbOk;
}

int readN42Contents(const QString& connectionText, int32_t sysId, const QDate& from,
                    const QDate& to, N42Contents& contents, QString* failure) {
    N42Contents read;
    const RecordCondition period = RecordCondition::days(from, to);
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            QSqlQuery q = preparedQuery(conn, QStringLiteral("SELECT \"Detector#\", COUNT(*), "
                                                             "MAX(Len) FROM Alarms WHERE SysID = "
                                                             "?%1 GROUP BY \"Detector#\"")
                                                  .arg(period.sql()));
            q.addBindValue(int(sysId));
            period.bindValues(q);
            runQuery(q);
            while (q.next()) {
                read.detectors.insert(static_cast<unsigned char>(q.value(0).toInt()));
                read.alarms += q.value(1).toInt();
                read.graphs = read.graphs || q.value(2).toInt() > 0;
            }
        },
        failure);
    if (r == kDbOk) contents = std::move(read);
    return r;
}

int readOneAlarm(const QString& connectionText, int32_t sysId, int alarmNumber,
                 const QDateTime& when, std::optional<alarms>& alarm, QString* failure) {
    StationRecords records;
    records.connectionText = connectionText;
    records.SysID = sysId;
    if (const int r = records.loadAlarms(RecordCondition::exactly(fromDbDate(when)))) {
        if (failure) *failure = records.dbError();
        return r;
    }
    alarm.reset();
    for (auto& [key, a] : records.alarmMap)
        if (a.AlarmNumber == alarmNumber) alarm = a;
    return alarm ? kDbOk : 1;
}

}  // namespace vm418
