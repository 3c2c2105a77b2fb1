// vm418ctl: the station program's command-line companion.
#include <QtGlobal>
#include <cstdio>
#include <cstring>

#include "autocall_command.h"
#include "call_command.h"
#include "db_command.h"
#include "export_n42_command.h"
#include "link_command.h"
#include "params_command.h"
#include "print_command.h"
#include "serve_command.h"
#include "station_db.h"

namespace {

QtMessageHandler logHandler = nullptr;

// A statement the database refuses is logged once, with the driver's text, under
// "station.db"; the driver's own warning would say the same again on standard error.
void QuietDriverLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith("QODBC")) return;
    logHandler(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    vm418::keepLocalTimeZoneRead();
    // Logging rules asked for bring every line back.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        logHandler = qInstallMessageHandler(QuietDriverLog);
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
        "       vm418ctl [--db CONNECTION] serve [--listen ADDR:PORT] ...\n",
        stderr);
    return 2;
}
