// The command line of prmctl: every command's words, operands and options in one table, from
// which both the check of a command line and the usage of each level come. A command line is
// checked whole before the port is opened.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace prm {

// The exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // refused, or failed on the port or the line
constexpr int kExitUsage = 2;    // the command line is wrong

// Checks the words after prmctl's own options ("records read alarms --pdf F"). -1 when the
// command goes on; else the exit code after --help or --version was answered on `out`, or
// a wrong command line on `err` (naming what is wrong, with the usage of its level).
int checkCommandLine(const QStringList& args, QTextStream& out, QTextStream& err);

// Refuses a value that the table cannot check (a COM name in "ports --map"), as
// checkCommandLine refuses: `why` with the usage of the command `words` on `err`. Returns 2.
int refuseCommandLine(const char* words, const QString& why, QTextStream& err);

// Every command's usage line, for prmctl --help.
QString commandsUsage();

}  // namespace prm
