// The log lines of vm418ctl, formatted in one place. Under systemd, whose journal stamps
// each line itself, a line going to the journal's stream starts with its priority ("<3>" an
// error, "<4>" a warning, "<6>" information); elsewhere the lines of the commands that run
// unattended (call, autocall, serve) start with their local time and its offset
// ("2026-12-10T09:41:07+01:00 "). A command's results (list rows, file names) are output,
// not log lines: they go out as they are.
#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <ctime>

namespace station::cli {

// The priorities of the journal (syslog's levels).
enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// From this call on, log lines that do not go to the journal carry their time: for the
// commands whose lines are read later, in a file or on a terminal left running.
void TimeLogLines();

// Whether `out` is the stream systemd connected to its journal: JOURNAL_STREAM names its
// device and inode.
bool GoesToJournal(std::FILE* out);

// "2026-12-10T09:41:07+01:00": `t` in local time with the zone's offset.
QString LocalTimeWithOffset(std::time_t t);

// What a log line to `out` starts with: "<6>", the time and a blank, or nothing.
QString LogPrefix(LogLevel level, std::FILE* out);

// `text` as log lines for `out`: each of its lines with the prefix the stream and the
// command call for, and a line end.
QString LogLines(LogLevel level, const QString& text, std::FILE* out);

// Writes `text` as log lines to `out`, at once.
void Log(LogLevel level, const QString& text, std::FILE* out);
// An error to standard error.
void LogError(const QString& text);

// The message handler of vm418ctl: the Qt log (the "station.db" lines and others) as log
// lines on standard error.
void LogQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text);

}  // namespace station::cli
