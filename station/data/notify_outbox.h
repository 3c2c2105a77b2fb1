// The outbox of alarm notifications: the channels a store announces its new alarms on, and
// one row per new alarm and channel, written in the transaction that stores the alarm, that
// senders claim, deliver and mark.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <vector>

#include "station_files.h"

namespace vm418 {

class DbConnection;

struct NotifyChannelRow {
    QString name;
    QString systems = QStringLiteral("all");  // "all", or the system numbers: "1,2,3"
    int minLevel = 0;                         // the least alarm level it takes
};

// Makes the outbox's tables where they are missing and sets the store's channels to these
// (a channel no longer named takes no new rows; its rows stay).
int registerNotifyChannels(const QString& connectionText,
                           const std::vector<NotifyChannelRow>& channels,
                           QString* failure = nullptr);

// Inside the store's transaction: the rows of an alarm just stored, one per channel that
// takes it. A store without the outbox's tables has no channels, and gets no rows.
// Returns the rows written.
int addNotificationsOn(DbConnection& conn, int32_t sysId, const alarms& alarm);

inline constexpr char kNotifyPending[] = "pending";
inline constexpr char kNotifySent[] = "sent";
inline constexpr char kNotifyFailed[] = "failed";

struct Notification {
    qint64 seqNum = 0;
    QString channel;
    int32_t sysId = 0;
    int alarmNumber = 0;
    QDateTime alarmTime;
    QDateTime created;
    QString state;
    int attempts = 0;
    QDateTime nextTry;
    QString lastError;
    QDateTime sent;
};

// Takes up to `limit` due rows of `channels` (pending, their time come, claimed by nobody or
// by a sender whose claim ran out) for `sender` until `leaseS` seconds from now. Senders on
// one PostgreSQL store skip the rows another one is claiming; on SQLite claims take turns.
int claimNotifications(const QString& connectionText, const QStringList& channels,
                       const QString& sender, int leaseS, int limit,
                       std::vector<Notification>& claimed, QString* failure = nullptr);

// A delivered row: sent, with its time. A failed attempt: its error kept, and tried again at
// `nextTry`, or, without one, failed for good.
int markNotificationSent(const QString& connectionText, qint64 seqNum, QString* failure = nullptr);
int markNotificationFailed(const QString& connectionText, qint64 seqNum, const QString& error,
                           const std::optional<QDateTime>& nextTry, QString* failure = nullptr);

// A sender in this process is woken when a store commits new rows: the count of commits
// that wrote rows, and a wait until it passes `seen` or `ms` passed.
void outboxWritten();
quint64 outboxWrites();
void waitForOutbox(quint64 seen, int ms);

// The newest `limit` rows, newest first; `state` empty for all.
int listNotifications(const QString& connectionText, const QString& state, int limit,
                      std::vector<Notification>& rows, QString* failure = nullptr);

// Per system, its rows pending and failed.
int countUnsentNotifications(const QString& connectionText,
                             std::map<int32_t, std::pair<qint64, qint64>>& counts,
                             QString* failure = nullptr);

// A system's rows that are not sent (pending or failed), for the fleet view.
int unsentNotifications(const QString& connectionText, int32_t sysId,
                        std::vector<Notification>& rows, QString* failure = nullptr);

}  // namespace vm418
