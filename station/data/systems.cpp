#include "systems.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "station_db.h"

namespace vm418 {

namespace {

constexpr char kColumns[] =
    "SysID, \"Serial#\", SystemDescription, CompanyName, Address, Phone, Modem, "
    "COMportSettings, InitString, Type, DetectorSize, LastContactTime, ContactPerson, "
    "Password, AutoCallPeriod";

CSystemRset rowOf(const QSqlQuery& q) {
    CSystemRset r;
    r.SysID = q.value(0).toInt();
    r.Serial = q.value(1).toString();
    r.SystemDescription = q.value(2).toString();
    r.CompanyName = q.value(3).toString();
    r.Address = q.value(4).toString();
    r.Phone = q.value(5).toString();
    r.Modem = q.value(6).toString();
    r.COMportSettings = q.value(7).toString();
    r.InitString = q.value(8).toString();
    r.Type = q.value(9).toString();
    r.DetectorSize = q.value(10).toInt();
    r.LastContactTime = q.value(11).toDateTime();
    r.ContactPerson = q.value(12).toString();
    r.Password = q.value(13).toString();
    r.AutoCallPeriod = q.value(14).toInt();
    return r;
}

}  // namespace

std::vector<CSystemRset> systemRowsOn(DbConnection& conn) {
    std::vector<CSystemRset> found;
    QSqlQuery q =
        preparedQuery(conn, QStringLiteral("SELECT %1 FROM System ORDER BY SysID").arg(kColumns));
    runQuery(q);
    while (q.next())
        found.push_back(rowOf(q));
    return found;
}

std::optional<CSystemRset> systemRowOn(DbConnection& conn, int32_t sysId) {
    QSqlQuery q =
        preparedQuery(conn, QStringLiteral("SELECT %1 FROM System WHERE SysID = ?").arg(kColumns));
    q.addBindValue(int(sysId));
    runQuery(q);
    if (q.next()) return rowOf(q);
    return std::nullopt;
}

QString stationTitle(const CSystemRset& row) {
    return row.SystemDescription + QStringLiteral(",  Serial# ") + row.Serial;
}

int listSystems(const QString& connectionText, std::vector<CSystemRset>& rows) {
    std::vector<CSystemRset> found;
    const int r = runDbOperation(connectionText, false,
                                 [&](DbConnection& conn) { found = systemRowsOn(conn); });
    if (r == kDbOk) rows = std::move(found);
    return r;
}

int readSystem(const QString& connectionText, int32_t sysId, std::optional<CSystemRset>& row) {
    row.reset();
    return runDbOperation(connectionText, false,
                          [&](DbConnection& conn) { row = systemRowOn(conn, sysId); });
}

int writeBackPortSettings(const QString& connectionText, int32_t sysId,
                          const QString& comPortSettings, const QString& initString) {
    return runDbOperation(connectionText, true, [&](DbConnection& conn) {
        QSqlQuery q = preparedQuery(
            conn, "UPDATE System SET COMportSettings = ?, InitString = ? WHERE SysID = ?");
        q.addBindValue(dbText(comPortSettings));
        q.addBindValue(dbText(initString));
        q.addBindValue(int(sysId));
        runQuery(q);
        if (q.numRowsAffected() != 1)
            throw DbFailure{kDbException, QStringLiteral("no system with SysID %1").arg(sysId)};
    });
}

int setLastContactTime(const QString& connectionText, int32_t sysId, std::time_t when) {
    return runDbOperation(connectionText, true, [&](DbConnection& conn) {
        QSqlQuery q = preparedQuery(conn, "UPDATE System SET LastContactTime = ? WHERE SysID = ?");
        q.addBindValue(toDbDate(when));
        q.addBindValue(int(sysId));
        runQuery(q);
        if (q.numRowsAffected() != 1)
            throw DbFailure{kDbException, QStringLiteral("no system with SysID %1").arg(sysId)};
    });
}

int saveSystem(const QString& connectionText, const CSystemRset& row) {
    return runDbOperation(connectionText, true, [&](DbConnection& conn) {
        QSqlQuery drop = preparedQuery(conn, "DELETE FROM System WHERE SysID = ?");
        drop.addBindValue(int(row.SysID));
        runQuery(drop);
        QSqlQuery q =
            preparedQuery(conn, QStringLiteral("INSERT INTO System (%1) VALUES "
                                               "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                                    .arg(kColumns));
        for (const QVariant& v :
             {QVariant(row.SysID), QVariant(dbText(row.Serial)),
              QVariant(dbText(row.SystemDescription)), QVariant(dbText(row.CompanyName)),
              QVariant(dbText(row.Address)), QVariant(dbText(row.Phone)),
              QVariant(dbText(row.Modem)), QVariant(dbText(row.COMportSettings)),
              QVariant(dbText(row.InitString)), QVariant(dbText(row.Type)),
              QVariant(row.DetectorSize),
              row.LastContactTime.isValid() ? QVariant(row.LastContactTime)
                                            : QVariant(QMetaType::fromType<QDateTime>()),
              QVariant(dbText(row.ContactPerson)), QVariant(dbText(row.Password)),
              QVariant(row.AutoCallPeriod)})
            q.addBindValue(v);
        runQuery(q);
    });
}

}  // namespace vm418
