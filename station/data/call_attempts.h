// The CallAttempts table: every call of a system that vm418ctl made, with its result, and the
// retry rule of unattended collection that it feeds.
#pragma once

#include <QDateTime>
#include <QString>
#include <map>
#include <optional>
#include <vector>

#include "systems.h"

namespace vm418 {

// The results a call stores.
inline constexpr char kCallCollected[] = "collected";  // every file stored
inline constexpr char kCallPartial[] = "partial";      // some stored, not all
inline constexpr char kCallFailed[] = "failed";        // nothing stored

struct CallAttempt {
    int32_t SysID = 0;
    QDateTime Started;
    QDateTime Ended;
    QString Result;
    QString Reason;          // why it did not collect everything; "" after "collected"
    int FailuresInRow = 0;   // calls in a row, this one included, that did not collect all
    QString Station;         // the host name of the station PC that called
    QDateTime FailingSince;  // lastCallAttempts: when the first of the failures in a row began
};

// Stores `attempt` with its count of failures in a row (set in `attempt`), taken from the
// system's previous row in the same transaction. The table is made in a database that does
// not have it yet. 0, else a database result code with the reason in `failure`.
int recordCallAttempt(const QString& connectionText, CallAttempt& attempt,
                      QString* failure = nullptr);

// A system's newest `limit` attempts, newest first.
int listCallAttempts(const QString& connectionText, int32_t sysId, int limit,
                     std::vector<CallAttempt>& attempts, QString* failure = nullptr);

// Every system's newest attempt, by SysID, with FailingSince. A database without the table
// has none.
int lastCallAttempts(const QString& connectionText, std::map<int32_t, CallAttempt>& last,
                     QString* failure = nullptr);
// The same inside an operation on `conn` (runDbOperation): a failure is thrown as DbFailure.
std::map<int32_t, CallAttempt> lastCallAttemptsOn(DbConnection& conn);

// How autocall calls a system again after a call that did not collect everything: after
// `firstS` seconds, then twice as long each time up to `maxS` (0: the system's own period),
// at most `retries` times per period; then at the next period.
struct RetryRule {
    int firstS = 60;
    int maxS = 0;
    int retries = 3;
};

// When autocall calls the system next, given its newest attempts (newest first, at least
// retries + 1 of them when there are that many); none when its autocall period is 0.
std::optional<QDateTime> nextAutoCall(const CSystemRset& row,
                                      const std::vector<CallAttempt>& newest,
                                      const RetryRule& rule);

// A system whose calls have failed for longer than its period: marked on the fleet view.
bool failingLongerThanPeriod(const CSystemRset& row, const std::optional<CallAttempt>& last,
                             const QDateTime& now);

}  // namespace vm418
