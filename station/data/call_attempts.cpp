#include "call_attempts.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

#include "station_db.h"

namespace vm418 {

namespace {

constexpr char kColumns[] = "SysID, Started, Ended, Result, Reason, FailuresInRow, Station";

CallAttempt attemptOf(const QSqlQuery& q) {
    CallAttempt a;
    a.SysID = q.value(0).toInt();
    a.Started = q.value(1).toDateTime();
    a.Ended = q.value(2).toDateTime();
    a.Result = q.value(3).toString();
    a.Reason = q.value(4).toString();
    a.FailuresInRow = q.value(5).toInt();
    a.Station = q.value(6).toString();
    return a;
}

}  // namespace

int recordCallAttempt(const QString& connectionText, CallAttempt& attempt, QString* failure) {
    return runDbOperation(
        connectionText, true,
        [&](DbConnection& conn) {
            addTableOn(conn, QStringLiteral("CallAttempts"));
            QSqlQuery last = preparedQuery(conn,
                                           "SELECT FailuresInRow FROM CallAttempts WHERE SysID = ? "
                                           "ORDER BY SeqNum DESC LIMIT 1");
            last.addBindValue(int(attempt.SysID));
            runQuery(last);
            const int before = last.next() ? last.value(0).toInt() : 0;
            const bool collected = attempt.Result == QLatin1String(kCallCollected);
            attempt.FailuresInRow = collected ? 0 : before + 1;
            if (collected) attempt.Reason.clear();
            QSqlQuery q = preparedQuery(
                conn, QStringLiteral("INSERT INTO CallAttempts (%1) VALUES (?, ?, ?, ?, ?, ?, ?)")
                          .arg(kColumns));
            for (const QVariant& v :
                 {QVariant(attempt.SysID), QVariant(attempt.Started), QVariant(attempt.Ended),
                  QVariant(attempt.Result), QVariant(dbText(attempt.Reason.left(255))),
                  QVariant(attempt.FailuresInRow), QVariant(dbText(attempt.Station.left(255)))})
                q.addBindValue(v);
            runQuery(q);
        },
        failure);
}

int listCallAttempts(const QString& connectionText, int32_t sysId, int limit,
                     std::vector<CallAttempt>& attempts, QString* failure) {
    attempts.clear();
    return runDbOperation(
        connectionText, false,
        [&](DbConnection& conn) {
            if (!readableTableOn(conn, QStringLiteral("CallAttempts"))) return;
            QSqlQuery q =
                preparedQuery(conn, QStringLiteral("SELECT %1 FROM CallAttempts WHERE SysID = ? "
                                                   "ORDER BY SeqNum DESC LIMIT %2")
                                        .arg(kColumns)
                                        .arg(limit));
            q.addBindValue(int(sysId));
            runQuery(q);
            while (q.next())
                attempts.push_back(attemptOf(q));
        },
        failure);
}

std::map<int32_t, CallAttempt> lastCallAttemptsOn(DbConnection& conn) {
    std::map<int32_t, CallAttempt> last;
    if (!readableTableOn(conn, QStringLiteral("CallAttempts"))) return last;
    QSqlQuery q = preparedQuery(conn, QStringLiteral("SELECT %1 FROM CallAttempts WHERE SeqNum IN "
                                                     "(SELECT MAX(SeqNum) FROM CallAttempts "
                                                     "GROUP BY SysID)")
                                          .arg(kColumns));
    runQuery(q);
    while (q.next()) {
        const CallAttempt a = attemptOf(q);
        last[a.SysID] = a;
    }
    QSqlQuery since = preparedQuery(
        conn,
        "SELECT c.SysID, MIN(c.Started) FROM CallAttempts c WHERE c.SeqNum > "
        "COALESCE((SELECT MAX(s.SeqNum) FROM CallAttempts s WHERE s.SysID = c.SysID AND "
        "s.FailuresInRow = 0), 0) GROUP BY c.SysID");
    runQuery(since);
    while (since.next()) {
        const auto found = last.find(since.value(0).toInt());
        if (found != last.end() && found->second.FailuresInRow > 0)
            found->second.FailingSince = since.value(1).toDateTime();
    }
    return last;
}

int lastCallAttempts(const QString& connectionText, std::map<int32_t, CallAttempt>& last,
                     QString* failure) {
    last.clear();
    return runDbOperation(
        connectionText, false, [&](DbConnection& conn) { last = lastCallAttemptsOn(conn); },
        failure);
}

std::optional<QDateTime> nextAutoCall(const CSystemRset& row,
                                      const std::vector<CallAttempt>& newest,
                                      const RetryRule& rule) {
    if (row.AutoCallPeriod <= 0) return std::nullopt;
    const qint64 periodS = qint64{row.AutoCallPeriod} * 60;
    const QDateTime regular = row.LastContactTime.isValid() ? row.LastContactTime.addSecs(periodS)
                                                            : QDateTime::fromSecsSinceEpoch(0);
    // Collected, or a contact stored since by a program that keeps no attempts.
    if (newest.empty() || newest.front().FailuresInRow == 0 ||
        (row.LastContactTime.isValid() && row.LastContactTime >= newest.front().Started))
        return regular;
    const CallAttempt& last = newest.front();
    // The failures of this period: the first call that was due, then its retries.
    const int inPeriod = (last.FailuresInRow - 1) % (rule.retries + 1) + 1;
    if (inPeriod <= rule.retries) {
        const qint64 maxS = rule.maxS > 0 ? rule.maxS : periodS;
        qint64 pauseS = rule.firstS;
        for (int i = 1; i < inPeriod && pauseS < maxS; ++i)
            pauseS *= 2;
        return last.Ended.addSecs(std::min(pauseS, maxS));
    }
    const size_t first = std::min(size_t(inPeriod), newest.size()) - 1;
    return std::max(newest[first].Started.addSecs(periodS), last.Ended);
}

bool failingLongerThanPeriod(const CSystemRset& row, const std::optional<CallAttempt>& last,
                             const QDateTime& now) {
    if (row.AutoCallPeriod <= 0 || !last || last->FailuresInRow == 0 ||
        !last->FailingSince.isValid())
        return false;
    // A contact stored since by a program that keeps no attempts.
    if (row.LastContactTime.isValid() && row.LastContactTime >= last->Started) return false;
    return last->FailingSince.secsTo(now) > qint64{row.AutoCallPeriod} * 60;
}

}  // namespace vm418
