// Records as text: the lines the command-line tools print and the CSV export of alarms.

#pragma once

#include <QString>

#include "para_418.h"
#include "station_files.h"

namespace vm418 {

// One line per alarm, history event or parameter field, dates as "%m-%d-%y %H:%M:%S".
QString alarmLine(const alarms& a);
QString historyLine(const CHistory& h);
QString parameterLines(const PARA_418& p);

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

}  // namespace vm418
