// What the fleet view reads from the station database: every system with its latest state,
// and one system's alarms, newest events and newest parameter block. It only reads; each
// read is one connection.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <map>
#include <optional>
#include <vector>

#include "call_attempts.h"
#include "n42_export.h"
#include "notify_outbox.h"
#include "para_418.h"
#include "station_files.h"
#include "systems.h"

namespace vm418 {

// A system of the System table with what it has stored.
struct FleetRow {
    CSystemRset system;
    int alarmsDay = 0;   // alarms of the 24 hours up to the time asked for (a unit's clock
                         // ahead of the station's does not count alarms of the future)
    int alarmsWeek = 0;  // of the 7 days up to it
    std::optional<alarms> newest;  // the newest alarm stored, if any
    std::optional<CallAttempt> lastCall;  // its newest call by vm418ctl, if any
    bool failing = false;  // its calls have failed for longer than its autocall period
};

// Every system, ordered by SysID. 0, or a database result code with the reason in `failure`.
int readFleet(const QString& connectionText, const QDateTime& now, std::vector<FleetRow>& rows,
              QString* failure = nullptr);

// Each system's alarms in the store, by SysID (systems without any are left out).
int readAlarmTotals(const QString& connectionText, std::map<int32_t, qint64>& totals,
                    QString* failure = nullptr);

// One system's page: its row, the alarms of whole days `from` to `to` (both included, oldest
// first, keyed 1, 2, ...), its newest `events` history events (oldest of them first) and its
// newest parameter block.
struct SystemPage {
    CSystemRset system;
    std::vector<Notification> unsent;  // its alarms' notifications not delivered (the page's)
    AlarmMap alarms;
    HistoryMap events;
    std::optional<PARA_418> parameters;
};
// 0 with `page` filled; 1 when there is no such system; else a database result code.
// With `alarms` false the page's alarms are left empty (a download reads them itself).
int readSystemPage(const QString& connectionText, int32_t sysId, const QDate& from, const QDate& to,
                   int events, SystemPage& page, QString* failure = nullptr, bool alarms = true);

// A download's next rows: a system's alarms of whole days `from` to `to` that come after
// the alarm `after` in the order of time and number (from the first when there is none), at
// most `limit` of them, oldest first. 0 with `page` filled (empty at the end), 1 when there
// is no such system, else a database result code.
struct AlarmKey {
    std::time_t time = 0;
    int number = 0;
};
int readAlarmsAfter(const QString& connectionText, int32_t sysId, const QDate& from,
                    const QDate& to, const std::optional<AlarmKey>& after, int limit,
                    std::vector<alarms>& page, QString* failure = nullptr);

// What the head of an N42 document of those alarms says: their count, detectors and
// whether any has a graph (a stored length above 0). 0, else a database result code.
int readN42Contents(const QString& connectionText, int32_t sysId, const QDate& from,
                    const QDate& to, N42Contents& contents, QString* failure = nullptr);

// The alarm of a system with that number and time; 0 with `alarm` set, 1 when there is none.
int readOneAlarm(const QString& connectionText, int32_t sysId, int alarmNumber,
                 const QDateTime& when, std::optional<alarms>& alarm, QString* failure = nullptr);

}  // namespace vm418
