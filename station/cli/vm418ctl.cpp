// vm418ctl: the station program's command-line companion.
#include <QtGlobal>
#include <cstdio>
#include <cstring>

#include "autocall_command.h"
#include "call_command.h"
#include "db_command.h"
#include "export_n42_command.h"
#include "link_command.h"
#include "log_lines.h"
#include "params_command.h"
#include "print_command.h"
#include "program_options.h"
#include "notify_command.h"
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

// Every command and option; `man vm418ctl` tells the same at length.
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
    "  link fetch --port COMn|DEVICE [--line TEXT] [--init TEXT] --phone N --password P CODE\n"
    "             [--save-as FILE] [--simulate [--sim-arg ARG]...] [--verbose]\n"
    "  link send  --port COMn|DEVICE [--line TEXT] [--init TEXT] --phone N --password P\n"
    "             [--outbox DIR] [--simulate [--sim-arg ARG]...] [--verbose]\n"
    "      the line and protocol alone: fetch the file CODE, or send the outbox's files;\n"
    "      --line \"COM1 9600 0 0 8 0\": port baud parity stop-bits data-bits flow\n"
    "\n"
    "The database (each also as \"vm418ctl db COMMAND\"):\n"
    "  db init [--sqlite FILE | --postgres CONNINFO [--create-role]]\n"
    "      create the tables and the data source VM418\n"
    "  systems list                                 with each system's last call\n"
    "  systems show --system N                      and its last 20 calls\n"
    "  systems add|set --system N [--serial S] [--name TEXT] [--modem PHONE]\n"
    "      [--port-settings TEXT] [--init TEXT] [--password P] [--autocall-period MINUTES]\n"
    "  import --system N [DIR]                      store a download folder (./TEMP)\n"
    "  alarms list --system N [--from DATE] [--to DATE]\n"
    "  history list --system N [--from DATE] [--to DATE]\n"
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
    "DATE is 2008-12-03, DATETIME \"2008-12-03 10:20:30\".\n"
    "\n"
    "Exit codes: 0 success, 1 failure (unit, line, database, file), 2 wrong usage.\n";

}  // namespace

int main(int argc, char** argv) {
    // "vm418ctl call --help" asks for the help as well.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        suite::printVersion("vm418ctl");
        return 0;
    }
    if (const int exitCode = station::cli::ApplySiteConfig(argc, argv); exitCode >= 0)
        return exitCode;
    vm418::keepLocalTimeZoneRead();
    qInstallMessageHandler(QuietDriverLog);
    if (argc >= 2 && std::strcmp(argv[1], "link") == 0)
        return station::cli::RunLinkCommand(argc - 1, argv + 1);
    const bool call =
        (argc >= 2 && std::strcmp(argv[1], "call") == 0) ||
        (argc >= 4 && std::strcmp(argv[1], "--db") == 0 && std::strcmp(argv[3], "call") == 0);
    if (call) return station::cli::RunCallCommand(argc, argv);
    const bool autocall =
        (argc >= 2 && std::strcmp(argv[1], "autocall") == 0) ||
        (argc >= 4 && std::strcmp(argv[1], "--db") == 0 && std::strcmp(argv[3], "autocall") == 0);
    if (autocall) return station::cli::RunAutocallCommand(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "db") == 0) {
        // "vm418ctl db export alarms --n42 FILE" is the N42 export as without "db".
        if (station::cli::IsExportN42Command(argc - 1, argv + 1))
            return station::cli::RunExportN42Command(argc - 1, argv + 1);
        return station::cli::RunDbCommand(argc - 1, argv + 1);
    }
    if (station::cli::IsExportN42Command(argc, argv))
        return station::cli::RunExportN42Command(argc, argv);
    if (station::cli::IsPrintCommand(argc, argv)) return station::cli::RunPrintCommand(argc, argv);
    if (station::cli::IsServeCommand(argc, argv)) return station::cli::RunServeCommand(argc, argv);
    if (station::cli::IsNotifyCommand(argc, argv)) return station::cli::RunNotifyCommand(argc, argv);
    if (station::cli::IsParamsDiffCommand(argc, argv))
        return station::cli::RunParamsDiffCommand(argc, argv);
    // The records commands also stand on their own: vm418ctl import, alarms list, ...
    static const char* const kRecordsCommands[] = {"systems", "import", "alarms", "history",
                                                   "params",  "export", "--db"};
    for (const char* command : kRecordsCommands) {
        if (argc >= 2 && std::strcmp(argv[1], command) == 0)
            return station::cli::RunDbCommand(argc, argv);
    }
    std::fputs(
        "usage: vm418ctl link fetch|send ...\n"
        "       vm418ctl [--db CONNECTION] call --system N [--download KIND] ...\n"
        "       vm418ctl [--db CONNECTION] autocall [--once] [--interval SECONDS] ...\n"
        "       vm418ctl db init [--sqlite FILE | --postgres CONNINFO] [--create-role]\n"
        "       vm418ctl [--db CONNECTION] systems|import|alarms|history|params|export ...\n"
        "       vm418ctl [--db CONNECTION] print alarms|history|params ...\n"
        "       vm418ctl [--db CONNECTION] serve [--listen ADDR:PORT] ...\n"
        "Try 'vm418ctl --help' for every command and option.\n",
        stderr);
    return 2;
}
