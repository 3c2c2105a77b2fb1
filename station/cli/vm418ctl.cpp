// vm418ctl: the station program's command-line companion.
#include <QCoreApplication>
#include <QtGlobal>
#include <cstdio>

#include "autocall_command.h"
#include "call_command.h"
#include "db_command.h"
#include "export_n42_command.h"
#include "link_command.h"
#include "log_lines.h"
#include "notify_command.h"
#include "ports_command.h"
#include "params_command.h"
#include "print_command.h"
#include "program_options.h"
#include "serve_command.h"
#include "site_config.h"
#include "station_db.h"

namespace {

// A statement the database refuses is logged once, with the driver's text, under
// "station.db"; the driver's own warning would say the same again on standard error.
// Logging rules asked for bring every line back.
void QuietDriverLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith("QODBC") &&
        qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        return;
    station::cli::LogQtMessage(type, context, text);
}

// Every command; `man vm418ctl` tells the same at length.
constexpr char kHelp[] =
    "usage: vm418ctl [--config FILE] [--db CONNECTION] COMMAND [OPTIONS]\n"
    "       vm418ctl --help | --version\n"
    "The station program's companion: calls VM418 units, collects their files unattended,\n"
    "keeps the station database and serves the fleet view.\n"
    "\n"
    "  --config FILE     the configuration file (default: VM418_CONFIG, else\n"
    "                    /etc/vm418station/vm418station.conf when it exists)\n"
    "  --db CONNECTION   the database's ODBC connection text (default: VM418_DB, else the\n"
    "                    configuration's [database] connection, else\n"
    "                    DSN=VM418;UID=CREATOR;PWD=358)\n"
    "  --help            print this help\n"
    "  --version         print the version\n"
    "\n"
    "Calling units:\n"
    "  call --system N [--download all|params|history|alarms|last|previous|next]\n"
    "       [--write-params] [--defaults] [--monitor SECONDS]\n"
    "       [--simulate [--sim-arg ARG]...] [--verbose]\n"
    "      call system N as an operator would: on-connect downloads, then the asked work\n"
    "  autocall [--once] [--interval SECONDS] [--retry-first SECONDS] [--retry-max SECONDS]\n"
    "           [--retries N] [--no-notify] [--simulate [--sim-arg ARG]...] [--verbose]\n"
    "      call every system that is due, every SECONDS (60); --once: one round; a call\n"
    "      that fails is tried again after 60 s, doubling up to the system's period, at\n"
    "      most 3 times a period; a failed download is asked once more in the call; the\n"
    "      new alarms go out on the notification channels unless --no-notify\n"
    "  notify [--once] [--check] [--test CHANNEL] [--status [--json]]\n"
    "      send each newly stored alarm on the configuration's channels (e-mail, webhook,\n"
    "      command), once; --once: what is due, then end; --check: the channels as read;\n"
    "      --test: one test message; --status: the messages pending, sent and failed\n"
    "  ports [--json]\n"
    "      COM1 to COM6 with the device each stands for, and the machine's serial devices\n"
    "  link fetch --port COMn|DEVICE|ADDRESS [--line TEXT] [--init TEXT] --phone N --password P "
    "CODE\n"
    "             [--save-as FILE] [--simulate [--sim-arg ARG]...] [--verbose]\n"
    "  link send  --port COMn|DEVICE|ADDRESS [--line TEXT] [--init TEXT] --phone N --password P\n"
    "             [--outbox DIR] [--simulate [--sim-arg ARG]...] [--verbose]\n"
    "      the line and protocol alone: fetch the file CODE, or send the outbox's files;\n"
    "      --line \"COM1 9600 0 0 8 0\": port baud parity stop-bits data-bits flow\n"
    "\n"
    "The database (each also as \"vm418ctl db COMMAND\"):\n"
    "  db init [--sqlite FILE | --postgres CONNINFO [--create-role]]\n"
    "      create the tables and the data source VM418\n"
    "  systems list [--json]                        with each system's last call\n"
    "  systems show --system N                      and its last 20 calls\n"
    "  systems add|set --system N [--serial S] [--name TEXT] [--modem PHONE]\n"
    "      [--port-settings TEXT] [--init TEXT] [--password P] [--autocall-period MINUTES]\n"
    "  import --system N [DIR]                      store a download folder (./TEMP)\n"
    "  alarms list --system N [--from DATE] [--to DATE] [--json]\n"
    "  history list --system N [--from DATE] [--to DATE] [--json]\n"
    "  params list --system N [--from DATE] [--to DATE] [--json]\n"
    "      the stored parameter blocks, newest first\n"
    "  params show --system N [--at DATETIME]\n"
    "  params diff --system N --at DATETIME --at DATETIME\n"
    "  export alarms --system N --csv FILE [--from DATE] [--to DATE]\n"
    "  export alarms --system N --n42 FILE [--from DATE] [--to DATE]\n"
    "  print alarms|history|params --system N [--from DATE] [--to DATE] [--at DATETIME]\n"
    "      --pdf FILE                                the views' pages as PDF\n"
    "  serve [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE]\n"
    "      [--threads N] [--max-connections N] [--max-per-address N]\n"
    "      [--idle-timeout SECONDS] [--header-timeout SECONDS] [--max-header-bytes N]\n"
    "      the fleet view's web pages (127.0.0.1:8418)\n"
    "DATE is 2008-12-03, DATETIME \"2008-12-03 10:20:30\"; --json lists print a JSON array\n"
    "with ISO 8601 dates. 'vm418ctl COMMAND --help' prints a command's options.\n"
    "\n"
    "Exit codes: 0 success, 1 failure (unit, line, database, file), 2 wrong usage.\n"
    "See vm418ctl(1).\n";

// Every command, in the order the help lists them.
const station::cli::CommandSpec* const kCommands[] = {
    &station::cli::kCallCommand,        &station::cli::kAutocallCommand,
    &station::cli::kLinkFetchCommand,   &station::cli::kLinkSendCommand,
    &station::cli::kDbInitCommand,      &station::cli::kSystemsListCommand,
    &station::cli::kSystemsShowCommand, &station::cli::kSystemsAddCommand,
    &station::cli::kSystemsSetCommand,  &station::cli::kImportCommand,
    &station::cli::kAlarmsListCommand,  &station::cli::kHistoryListCommand,
    &station::cli::kParamsShowCommand,  &station::cli::kParamsListCommand,
    &station::cli::kParamsDiffCommand,  &station::cli::kExportAlarmsCommand,
    &station::cli::kPrintCommand,       &station::cli::kServeCommand,
    &station::cli::kNotifyCommand,      &station::cli::kPortsCommand,
};

// Where the command line's command stands: the words before it are the global options
// (--db CONNECTION, --config FILE) and "db", which may stand before any database command.
struct Resolved {
    const station::cli::CommandSpec* command = nullptr;
    QString group;         // "alarms" of "vm418ctl alarms" or "vm418ctl alarms frob"
    QString word;          // the first word that is no command or option, "" for none
    int rest = 0;          // the index behind its words
    QStringList globalDb;  // "--db X" given before the command
    bool help = false;     // --help before or after the command's words
    bool version = false;
};

bool IsHelp(const QString& a) {
    return a == QLatin1String("--help") || a == QLatin1String("-h");
}

Resolved Resolve(const QStringList& args) {
    Resolved r;
    int i = 0;
    bool db = false;  // "db" stood before: "db alarms list" is "alarms list", "db init" is init
    for (; i < args.size(); ++i) {
        if ((args[i] == QLatin1String("--db") || args[i] == QLatin1String("--config")) &&
            i + 1 < args.size()) {
            if (args[i] == QLatin1String("--db")) r.globalDb = {args[i], args[i + 1]};
            ++i;
        } else if (IsHelp(args[i])) {
            r.help = true;
        } else if (args[i] == QLatin1String("--version")) {
            r.version = true;
        } else if (args[i] == QLatin1String("db") && !db && i + 1 < args.size()) {
            db = true;
        } else {
            break;
        }
    }
    if (db && args.value(i) == QLatin1String("init")) {
        r.command = &station::cli::kDbInitCommand;
        r.rest = i + 1;
    }
    for (const auto* command : kCommands) {
        const QStringList words = QString::fromLatin1(command->words).split(' ');
        if (!r.command && args.mid(i, words.size()) == words) {
            r.command = command;
            r.rest = i + int(words.size());
        }
    }
    if (!r.command) {
        for (const auto* command : kCommands) {
            const QString group = QString::fromLatin1(command->words).section(' ', 0, 0);
            if (args.value(i) == group) r.group = group;
        }
        if (r.group.isEmpty() && db) r.group = QStringLiteral("db");
        r.rest = r.group.isEmpty() || args.value(i) != r.group ? i : i + 1;
        r.word = args.value(r.rest);
    }
    for (int k = r.rest; k < args.size(); ++k) {
        r.help = r.help || IsHelp(args[k]);
        r.version = r.version || args[k] == QLatin1String("--version");
    }
    return r;
}

// The usage lines of the commands of a group ("alarms"), or of all.
QString GroupUsage(const QString& group) {
    QString text;
    for (const auto* command : kCommands)
        if (group.isEmpty() || QString::fromLatin1(command->words).section(' ', 0, 0) == group)
            text += station::cli::CommandUsage(*command);
    return text;
}

// A command line that names no command: the help asked for, or what is wrong with it.
int AnswerWithoutCommand(const Resolved& r) {
    if (r.version) {
        suite::printVersion("vm418ctl");
        return station::cli::kExitOk;
    }
    if (r.help && r.group.isEmpty()) {
        std::fputs(kHelp, stdout);
        return station::cli::kExitOk;
    }
    if (r.help) {
        if (r.group == QLatin1String("db"))
            std::puts(
                "The database commands of 'vm418ctl --help' also run as 'vm418ctl db "
                "COMMAND'.");
        std::printf(
            "%sTry 'vm418ctl %s COMMAND --help' for a command's options.\n%s",
            qPrintable(GroupUsage(r.group)), qPrintable(r.group),
            "Exit codes: 0 success, 1 failure (unit, line, database, file), 2 wrong usage.\n"
            "See vm418ctl(1).\n");
        return station::cli::kExitOk;
    }
    const QString where = r.group.isEmpty() ? QStringLiteral("vm418ctl") : "vm418ctl " + r.group;
    if (r.word.startsWith(QLatin1Char('-')))
        station::cli::LogError(where + ": unknown option " + r.word);
    else if (!r.word.isEmpty())
        station::cli::LogError(where + ": unknown command \"" + r.word + "\"");
    else
        station::cli::LogError(where + ": a command is needed");
    if (!r.group.isEmpty()) std::fputs(qPrintable(GroupUsage(r.group)), stderr);
    std::fprintf(stderr, "Try '%s --help' for every command and option.\n", qPrintable(where));
    return station::cli::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // The help and the version need neither the configuration nor the database.
    Resolved r = Resolve(args);
    if (!r.command) return AnswerWithoutCommand(r);
    station::cli::Arguments parsed;
    if (r.version) {
        suite::printVersion("vm418ctl");
        return station::cli::kExitOk;
    }
    if (r.help) return station::cli::ParseArguments(*r.command, {"--help"}, parsed);

    if (const int exitCode = station::cli::ApplySiteConfig(argc, argv); exitCode >= 0)
        return exitCode;
    vm418::keepLocalTimeZoneRead();
    qInstallMessageHandler(QuietDriverLog);
    args.clear();
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    r = Resolve(args);
    // "--db X" before the command counts as one of its options, given first.
    const QStringList options = r.globalDb + args.mid(r.rest);
    if (const int exitCode = station::cli::ParseArguments(*r.command, options, parsed);
        exitCode >= 0)
        return exitCode;
    const station::cli::Invocation call{*r.command, parsed, argc, argv};
    // The print command makes its own application: its pages need a window system's fonts.
    if (r.command == &station::cli::kPrintCommand) return r.command->run(call);
    QCoreApplication app(argc, argv);
    return r.command->run(call);
}
