#include "fleet_data.h"

#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

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
    const int r = runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            // Each system's own rows through the (SysID, DateTime) index: the counts of its
            // week and the newest row, whatever the size of the table.
            QSqlQuery counts = prepared(
                conn, QStringLiteral("SELECT SUM(CASE WHEN DateTime > ? THEN 1 ELSE 0 END), "
                                     "COUNT(*) FROM Alarms WHERE SysID = ? AND DateTime > ? "
                                     "AND DateTime <= ?"));
            QSqlQuery newest = prepared(conn, QStringLiteral("SELECT %1 FROM Alarms WHERE SysID = "
                                                             "? ORDER BY DateTime DESC, "
                                                             "AlarmNumber DESC LIMIT 1")
                                                  .arg(kAlarmColumns));
            for (CSystemRset& system : systems) {
                FleetRow row;
                counts.addBindValue(day);
                counts.addBindValue(int(system.SysID));
                counts.addBindValue(week);
                counts.addBindValue(toDbDate(fromDbDate(now)));
                run(counts);
                if (counts.next()) {
                    row.alarmsDay = counts.value(0).toInt();
                    row.alarmsWeek = counts.value(1).toInt();
                }
                counts.finish();
                newest.addBindValue(int(system.SysID));
                run(newest);
                if (newest.next()) {
                    alarms a;
                    readAlarmRow(newest, a);  // a damaged graph still has its time and level
                    row.newest = std::move(a);
                }
                newest.finish();
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
        },
        failure);
    if (r != kDbOk) return r;
    std::vector<std::time_t> dates;
    if (const int d = records.listParameterDates(dates)) {
        if (failure) *failure = records.dbError();
        return d;
    }
    page = SystemPage{};
    if (!dates.empty()) {
        if (const int p = records.loadParameters()) {
            if (failure) *failure = records.dbError();
            return p;
        }
        page.parameters = records.parameters;
    }
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
