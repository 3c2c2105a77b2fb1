#include "notify_outbox.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <condition_variable>
#include <mutex>

#include "station_db.h"

namespace vm418 {

namespace {

constexpr char kColumns[] =
    "SeqNum, Channel, SysID, AlarmNumber, DateTime, Created, State, Attempts, NextTry, "
    "LastError, Sent";

Notification notificationOf(const QSqlQuery& q) {
    Notification n;
    n.seqNum = q.value(0).toLongLong();
    n.channel = q.value(1).toString();
    n.sysId = q.value(2).toInt();
    n.alarmNumber = q.value(3).toInt();
    n.alarmTime = q.value(4).toDateTime();
    n.created = q.value(5).toDateTime();
    n.state = q.value(6).toString();
    n.attempts = q.value(7).toInt();
    n.nextTry = q.value(8).toDateTime();
    n.lastError = q.value(9).toString();
    n.sent = q.value(10).toDateTime();
    return n;
}

// The store has the outbox once a sender registered its channels.
bool hasOutbox(DbConnection& conn) {
    return hasTableOn(conn, QStringLiteral("NotifyChannels"));
}

bool readable(DbConnection& conn) {
    return readableTableOn(conn, QStringLiteral("Notifications"));
}

QSqlQuery run(DbConnection& conn, const QString& sql, const QVariantList& values) {
    QSqlQuery q = preparedQuery(conn, sql);
    for (const QVariant& v : values)
        q.addBindValue(v);
    runQuery(q);
    return q;
}

}  // namespace

int registerNotifyChannels(const QString& connectionText,
                           const std::vector<NotifyChannelRow>& channels, QString* failure) {
    return runDbOperation(
        connectionText, true,
        [&](DbConnection& conn) {
            for (const char* table : {"NotifyChannels", "Notifications"})
                addTableOn(conn, QLatin1String(table));
            // Senders starting at once each put the same rows: an insert that meets another's
            // row takes it over instead of failing on the key.
            QStringList marks;
            QVariantList names;
            for (const NotifyChannelRow& c : channels) {
                marks << QStringLiteral("?");
                names << c.name;
            }
            run(conn,
                marks.isEmpty()
                    ? QStringLiteral("DELETE FROM NotifyChannels")
                    : QStringLiteral("DELETE FROM NotifyChannels WHERE Name NOT IN (%1)")
                          .arg(marks.join(QStringLiteral(", "))),
                names);
            for (const NotifyChannelRow& c : channels)
                run(conn,
                    QStringLiteral("INSERT INTO NotifyChannels (Name, Systems, MinLevel) "
                                   "VALUES (?, ?, ?) ON CONFLICT (Name) DO UPDATE SET "
                                   "Systems = excluded.Systems, MinLevel = excluded.MinLevel"),
                    {c.name, c.systems, c.minLevel});
        },
        failure);
}

int addNotificationsOn(DbConnection& conn, int32_t sysId, const alarms& alarm) {
    if (!hasOutbox(conn)) return 0;
    const QDateTime now = QDateTime::currentDateTime();
    QSqlQuery q = run(
        conn,
        QStringLiteral(
            "INSERT INTO Notifications (Channel, SysID, AlarmNumber, DateTime, Created, NextTry) "
            "SELECT Name, ?, ?, ?, ?, ? FROM NotifyChannels WHERE MinLevel <= ? AND "
            "(Systems = 'all' OR (',' || Systems || ',') LIKE ?)"),
        {int(sysId), int(alarm.AlarmNumber), toDbDate(alarm.DateTime), now, now,
         int(alarm.AlarmLevel), QStringLiteral("%,%1,%").arg(sysId)});
    return q.numRowsAffected();
}

namespace {
std::mutex writesMutex;
std::condition_variable writesChanged;
quint64 writes = 0;
}  // namespace

void outboxWritten() {
    {
        const std::lock_guard<std::mutex> hold(writesMutex);
        ++writes;
    }
    writesChanged.notify_all();
}

quint64 outboxWrites() {
    const std::lock_guard<std::mutex> hold(writesMutex);
    return writes;
}

void waitForOutbox(quint64 seen, int ms) {
    std::unique_lock<std::mutex> hold(writesMutex);
    writesChanged.wait_for(hold, std::chrono::milliseconds(ms), [seen] { return writes != seen; });
}

int claimNotifications(const QString& connectionText, const QStringList& channels,
                       const QString& sender, int leaseS, int limit,
                       std::vector<Notification>& claimed, QString* failure) {
    claimed.clear();
    if (channels.isEmpty()) return kDbOk;
    return runDbOperation(
        connectionText, true,
        [&](DbConnection& conn) {
            if (!hasOutbox(conn)) return;
            const QDateTime now = QDateTime::currentDateTime();
            QVariantList values{now, now};
            QStringList marks;
            for (const QString& channel : channels) {
                values << channel;
                marks << QStringLiteral("?");
            }
            QSqlQuery due = run(
                conn,
                QStringLiteral("SELECT SeqNum FROM Notifications WHERE State = 'pending' AND "
                               "NextTry <= ? AND (ClaimedUntil IS NULL OR ClaimedUntil < ?) AND "
                               "Channel IN (%3) ORDER BY SeqNum LIMIT %1%2")
                    .arg(limit)
                    .arg(conn.isPostgres() ? QStringLiteral(" FOR UPDATE SKIP LOCKED") : QString(),
                         marks.join(QStringLiteral(", "))),
                values);
            QVariantList keys;
            while (due.next())
                keys << due.value(0);
            for (const QVariant& key : keys) {
                run(conn,
                    QStringLiteral("UPDATE Notifications SET ClaimedBy = ?, ClaimedUntil = ? "
                                   "WHERE SeqNum = ?"),
                    {sender, now.addSecs(leaseS), key});
                QSqlQuery row = run(
                    conn,
                    QStringLiteral("SELECT %1 FROM Notifications WHERE SeqNum = ?").arg(kColumns),
                    {key});
                if (row.next()) claimed.push_back(notificationOf(row));
            }
        },
        failure);
}

int markNotificationSent(const QString& connectionText, qint64 seqNum, QString* failure) {
    return runDbOperation(
        connectionText, true,
        [&](DbConnection& conn) {
            run(conn,
                QStringLiteral(
                    "UPDATE Notifications SET State = 'sent', Sent = ?, Attempts = "
                    "Attempts + 1, LastError = '', ClaimedUntil = NULL WHERE SeqNum = ?"),
                {QDateTime::currentDateTime(), seqNum});
        },
        failure);
}

int markNotificationFailed(const QString& connectionText, qint64 seqNum, const QString& error,
                           const std::optional<QDateTime>& nextTry, QString* failure) {
    return runDbOperation(
        connectionText, true,
        [&](DbConnection& conn) {
            run(conn,
                QStringLiteral("UPDATE Notifications SET State = ?, Attempts = Attempts + 1, "
                               "LastError = ?, NextTry = ?, ClaimedUntil = NULL WHERE SeqNum = ?"),
                {QString::fromLatin1(nextTry ? kNotifyPending : kNotifyFailed),
                 dbText(error.left(255)), nextTry.value_or(QDateTime::currentDateTime()), seqNum});
        },
        failure);
}

int listNotifications(const QString& connectionText, const QString& state, int limit,
                      std::vector<Notification>& rows, QString* failure) {
    rows.clear();
    return runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            if (!readable(conn)) return;
            QSqlQuery q =
                state.isEmpty()
                    ? run(conn,
                          QStringLiteral("SELECT %1 FROM Notifications ORDER BY SeqNum DESC "
                                         "LIMIT %2")
                              .arg(kColumns)
                              .arg(limit),
                          {})
                    : run(conn,
                          QStringLiteral("SELECT %1 FROM Notifications WHERE State = ? ORDER BY "
                                         "SeqNum DESC LIMIT %2")
                              .arg(kColumns)
                              .arg(limit),
                          {state});
            while (q.next())
                rows.push_back(notificationOf(q));
        },
        failure);
}

int countUnsentNotifications(const QString& connectionText,
                             std::map<int32_t, std::pair<qint64, qint64>>& counts,
                             QString* failure) {
    counts.clear();
    return runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            if (!readable(conn)) return;
            QSqlQuery q = run(conn,
                              QStringLiteral("SELECT SysID, State, COUNT(*) FROM Notifications "
                                             "WHERE State <> 'sent' GROUP BY SysID, State"),
                              {});
            while (q.next()) {
                auto& [pending, failed] = counts[q.value(0).toInt()];
                (q.value(1).toString() == QLatin1String(kNotifyFailed) ? failed : pending) =
                    q.value(2).toLongLong();
            }
        },
        failure);
}

int unsentNotifications(const QString& connectionText, int32_t sysId,
                        std::vector<Notification>& rows, QString* failure) {
    rows.clear();
    return runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            if (!readable(conn)) return;
            QSqlQuery q = run(conn,
                              QStringLiteral("SELECT %1 FROM Notifications WHERE SysID = ? AND "
                                             "State <> 'sent' ORDER BY SeqNum DESC LIMIT 100")
                                  .arg(kColumns),
                              {int(sysId)});
            while (q.next())
                rows.push_back(notificationOf(q));
        },
        failure);
}

}  // namespace vm418
