// Records as text: the lines the command-line tools print and the CSV export of alarms.

#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <ctime>
#include <vector>

#include "para_418.h"
#include "station_files.h"

namespace vm418 {

// One line per alarm, history event or parameter field, dates as "%m-%d-%y %H:%M:%S".
QString alarmLine(const alarms& a);
QString historyLine(const CHistory& h);
QString parameterLines(const PARA_418& p);

// Records as JSON objects for the lists of vm418ctl --json: dates in ISO 8601 with the
// local offset ("2008-12-03T10:20:30+01:00"), the columns by their names in lower camel
// case, the graph as an array.
QString localJsonTime(std::time_t t);
QJsonObject alarmRowJson(const alarms& a);
QJsonObject historyRowJson(const CHistory& h);

// A header and one row per alarm with the stored values of every column; dates as
// "yyyy-MM-dd HH:mm:ss"; the graph as its values separated by blanks. Every cell goes
// through csvCell: a text a spreadsheet would run as a formula is written as text.
QString alarmsCsv(const AlarmMap& map);

// An alarm's level word: "LOW" below level 3, "HIGH" for 3 and 4, "DANGER" for 5, nothing
// above.
QString levelWord(int alarmLevel);
// The alarm's heading as the alarm view shows it: "ALARM #12  -   HIGH 3B" (number, level
// word, level and detector; a NUL detector shows nothing).
QString alarmHeading(const alarms& a);
// The rule and the status legend of an alarm's detail lines; the status word's 24
// characters stand under the legend's.
inline constexpr char kAlarmRule[] = "------------------------";
inline constexpr char kAlarmLegend[] = "C BNV 01 2 3S12EDODCFSLU";

// `t` in local time with a strftime format ("%m-%d-%y %H:%M:%S").
QString formatLocalTime(std::time_t t, const char* format);

// The nine lines the alarm view's detail panel shows: heading, date and time, BG time and
// BG, TH and IN, HI and LO, P1 P2 S, a rule, the status legend and the status word.
QStringList alarmDetailLines(const alarms& a);

// An alarm's graph as every view of it draws it: the Len values x10 against x = 0, 1, ...;
// the y axis from 0.9 x the smaller of OutBG and Min to Max + Max / 10; four horizontal
// cursors at Min, Max, Threshold and OutBG, in that order.
struct AlarmGraph {
    std::vector<double> values;
    double yLow = 0;
    double yHigh = 0;
    std::array<double, 4> cursors{};
};
AlarmGraph alarmGraph(const alarms& a);

}  // namespace vm418
