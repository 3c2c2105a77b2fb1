#include "fleet_data.h"

#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <map>
#include <tuple>

#include "station_db.h"
#include "station_records.h"

namespace vm418 {

namespace {

QSqlQuery prepared(DbConnection& conn, const QString& sql) {
    QSqlQuery q(conn.db());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) throw DbFailure{kDbCannotOpenRecordset, q.lastError().text()};
    return q;
}

void run(QSqlQuery& q) {
    if (!q.exec()) throw DbFailure{kDbException, q.lastError().text()};
}

}  // namespace

int readFleet(const QString& connectionText, const QDateTime& now, std::vector<FleetRow>& rows,
              QString* failure) {
    std::vector<CSystemRset> systems;
    if (const int r = listSystems(connectionText, systems)) {
        if (failure) *failure = QStringLiteral("the System table cannot be read");
        return r;
    }
    std::vector<FleetRow> read;
    const QDateTime day = toDbDate(fromDbDate(now) - 24 * 3600);
    const QDateTime week = toDbDate(fromDbDate(now) - 7 * 24 * 3600);
    const QDateTime upTo = toDbDate(fromDbDate(now));
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            // Two statements for the whole fleet, each station's rows reached through the
            // (SysID, DateTime) index whatever the size of the table: the counts of its day
            // and week, then its newest alarm.
            QSqlQuery counts = prepared(
                conn, QStringLiteral(
                          "SELECT s.SysID, (SELECT COUNT(*) FROM Alarms a WHERE a.SysID = s.SysID "
                          "AND a.DateTime > ? AND a.DateTime <= ?), (SELECT COUNT(*) FROM Alarms "
                          "a WHERE a.SysID = s.SysID AND a.DateTime > ? AND a.DateTime <= ?) FROM "
                          "System s"));
            for (const QDateTime& bound : {day, upTo, week, upTo})
                counts.addBindValue(bound);
            run(counts);
            std::map<int32_t, std::pair<int, int>> counted;
            while (counts.next())
                counted[counts.value(0).toInt()] = {counts.value(1).toInt(),
                                                    counts.value(2).toInt()};
            QSqlQuery newest = prepared(
                conn, QStringLiteral("SELECT %1, s.SysID FROM System s JOIN Alarms a ON a.SysID = "
                                     "s.SysID AND a.DateTime = (SELECT MAX(b.DateTime) FROM "
                                     "Alarms b WHERE b.SysID = s.SysID)")
                          .arg(kAlarmColumns));
            run(newest);
            std::map<int32_t, alarms> newestOf;
            while (newest.next()) {
                alarms a;
                readAlarmRow(newest, a);  // a damaged graph still has its time and level
                const int32_t id = newest.value(16).toInt();
                // Of two alarms in the same second, the higher number.
                if (!newestOf.count(id) || newestOf[id].AlarmNumber < a.AlarmNumber)
                    newestOf[id] = std::move(a);
            }
            for (CSystemRset& system : systems) {
                FleetRow row;
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

int readSystemPage(const QString& connectionText, int32_t sysId, const QDate& from, const QDate& to,
                   int events, SystemPage& page, QString* failure) {
    std::optional<CSystemRset> system;
    if (const int r = readSystem(connectionText, sysId, system)) {
        if (failure) *failure = QStringLiteral("the System table cannot be read");
        return r;
    }
    if (!system) return 1;
    StationRecords records;
    records.connectionText = connectionText;
    records.SysID = sysId;
    if (const int r = records.loadAlarms(RecordCondition::days(from, to))) {
        if (failure) *failure = records.dbError();
        return r;
    }
    HistoryMap newest;
    std::optional<PARA_418> parameters;
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            QSqlQuery q = prepared(conn, QStringLiteral("SELECT Event, DateTime, SeqNum FROM "
                                                        "History WHERE SysID = ? ORDER BY "
                                                        "SeqNum DESC LIMIT %1")
                                             .arg(std::max(0, events)));
            q.addBindValue(int(sysId));
            run(q);
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
            QSqlQuery p = prepared(conn, QStringLiteral("SELECT ParamBuf FROM Parameters WHERE "
                                                        "SysID = ? ORDER BY DateTime DESC, "
                                                        "SeqNum DESC LIMIT 1"));
            p.addBindValue(int(sysId));
            run(p);
            if (p.next()) {
                PARA_418 block = initialParameters();
                parametersFromStored(p.value(0).toByteArray(), block);
                parameters = block;
            }
        },
        failure);
    if (r != kDbOk) return r;
    page = SystemPage{};
    page.parameters = parameters;
    page.system = std::move(*system);
    page.alarms = std::move(records.alarmMap);
    page.events = std::move(newest);
    return kDbOk;
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
