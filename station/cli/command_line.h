// The command line of vm418ctl: every command declares its options in one table, from which
// both its parsing and its usage text come. Every command refuses an option it does not
// know and a word it does not take, naming it (exit code 2, usage on standard error), and
// answers --help with its own usage on standard output.
#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <vector>

namespace station::cli {

// The exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a unit, line, database or file failed
constexpr int kExitUsage = 2;    // the command line is wrong

// One option of a command: "--system" with the value "N", or a switch (value nullptr).
struct Option {
    const char* name;
    const char* value;  // what the value is called in the usage; nullptr: a switch
    const char* help;
    bool repeatable = false;  // every value is kept (--sim-arg); else the last one counts
};

struct Invocation;

// One command: its words ("alarms list"), what follows them in its usage, a line that says
// what it does, the words it takes after its options (operands) and its options.
struct CommandSpec {
    const char* words;
    const char* synopsis;
    const char* summary;
    int maxOperands;
    std::vector<Option> options;
    int (*run)(const Invocation&);
};

// What the command line gave a command.
class Arguments {
  public:
    bool has(const QString& option) const { return values_.count(option) != 0; }
    // The last value given, or `otherwise`.
    QString value(const QString& option, const QString& otherwise = {}) const;
    QStringList values(const QString& option) const;
    QStringList operands;

  private:
    friend int ParseArguments(const CommandSpec&, const QStringList&, Arguments&);
    std::map<QString, QStringList> values_;
};

// A command about to run: its table, its arguments and the process's own argc and argv
// (for the Qt application and for finding the simulator beside the program).
struct Invocation {
    const CommandSpec& spec;
    Arguments args;
    int argc;
    char** argv;
};

// The options every database command takes.
extern const Option kDbOption;
extern const Option kSystemOption;
extern const Option kJsonOption;

// "usage: vm418ctl ..." with the summary, one line per option and the exit codes.
QString CommandHelp(const CommandSpec& spec);
// The lines of its usage alone.
QString CommandUsage(const CommandSpec& spec);

// Parses what follows the command words. -1 when the command goes on with `out`; else the
// exit code after --help or a wrong command line was answered.
int ParseArguments(const CommandSpec& spec, const QStringList& args, Arguments& out);

// A wrong command line: "vm418ctl alarms list: WHY" and the command's usage on standard
// error; returns kExitUsage.
int UsageError(const CommandSpec& spec, const QString& why);
// A failure: "vm418ctl alarms list: WHY" on standard error; returns kExitFailure.
int Failure(const CommandSpec& spec, const QString& why);

// How a command uses the database.
enum class DbUse { kRead, kWrite };

// Before a command's first connection to `db` (with the ODBC files of `vm418ctl db init` in
// use): an SQLite file that is not there is refused with how to create it, where the driver
// would make an empty one. A file in a folder where its journal files cannot be made is
// opened read-only for a reader (`db` then names it so) and refused to a writer, with the
// reason. -1 when the command goes on; else the exit code after the message.
int CheckDatabase(const CommandSpec& spec, QString& db, DbUse use);

// After a connection failed: how to set up a database, when none may be.
QString DatabaseHint();

// --system N, a whole number; false after the usage error (in `exitCode`).
bool SystemArgument(const Invocation& call, int32_t& id, int& exitCode);

}  // namespace station::cli
