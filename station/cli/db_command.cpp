// vm418ctl db: the station database from the command line. Sets up the data source, keeps the
// System table, imports downloaded files and prints or exports what the views show.
//
//   vm418ctl db [--db CONNECTION] COMMAND ...
//   init (--sqlite FILE | --postgres CONNINFO [--create-role])   (the data source VM418)
//   init                                    (the tables of the database --db / VM418_DB names)
//   systems list | systems show --system N | systems add|set --system N [--serial S] [--name N] [--modem PHONE]
//                  [--port-settings TEXT] [--init TEXT] [--password P]
//                  [--autocall-period MINUTES]
//   import --system N [DIR]                 (DIR: the working folder's TEMP)
//   alarms list|history list --system N [--from DATE] [--to DATE]
//   params show --system N [--at DATETIME]   (the newest block stored at or before it)
//   export alarms --system N --csv FILE [--from DATE] [--to DATE]

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>
#include <cstdio>
#include <map>

#include "call_attempts.h"
#include "command_dates.h"
#include "db_setup.h"
#include "log_lines.h"
#include "record_text.h"
#include "station_records.h"
#include "systems.h"

using namespace vm418;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void say(const QString& text) {
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

// A failure or a warning among the command's lines: under the journal with its priority.
void sayError(const QString& text) {
    station::cli::Log(station::cli::LogLevel::Error, text, stdout);
}
void sayWarning(const QString& text) {
    station::cli::Log(station::cli::LogLevel::Warning, text, stdout);
}

int usage(const QString& why) {
    station::cli::LogError("vm418ctl db: " + why);
    std::fputs("(see vm418ctl --help)\n", stderr);
    return kExitUsage;
}

// Words and --options of the command line.
struct Args {
    QStringList words;
    std::map<QString, QString> options;
    QStringList flags;

    bool has(const QString& o) const { return options.count(o) != 0; }
    QString value(const QString& o) const {
        const auto it = options.find(o);
        return it == options.end() ? QString() : it->second;
    }
};

bool parse(const QStringList& raw, Args& args, QString& error) {
    const QStringList flagNames = {"--create-role"};
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QString& a = raw[i];
        if (!a.startsWith("--")) {
            args.words << a;
        } else if (flagNames.contains(a)) {
            args.flags << a;
        } else if (i + 1 < raw.size()) {
            args.options[a] = raw[++i];
        } else {
            error = a + " needs a value";
            return false;
        }
    }
    return true;
}

bool systemId(const Args& args, int32_t& id) {
    bool ok = false;
    id = args.value("--system").toInt(&ok);
    return ok;
}

// "2008-12-03" or "2008-12-03 10:20:30"; a bare date as --to means the end of that day.
bool dateOption(const Args& args, const QString& name, bool endOfDay,
                std::optional<std::time_t>& out) {
    if (!args.has(name)) return true;
    out = station::cli::ParseCommandTime(args.value(name), endOfDay);
    return out.has_value();
}

// A failed database operation: the driver's reason, as the log has it.
int failed(int code, const QString& why = {}) {
    if (why.isEmpty())
        station::cli::LogError(QString("vm418ctl db: database operation failed (%1)").arg(code));
    else
        station::cli::LogError("Database error - " + why);
    return kExitFailure;
}

// "failed 12-10-26 09:41:07 (Disconnected BUSY), 2 in a row".
QString attemptText(const CallAttempt& a) {
    QString text = a.Result + ' ' + a.Started.toString("MM-dd-yy hh:mm:ss");
    if (!a.Reason.isEmpty()) text += " (" + a.Reason + ')';
    if (a.FailuresInRow > 1) text += QString(", %1 in a row").arg(a.FailuresInRow);
    return text;
}

int runSystems(const Args& args, const QString& db) {
    const QString verb = args.words.value(1);
    if (verb == "list") {
        std::vector<CSystemRset> rows;
        if (const int r = listSystems(db, rows)) return failed(r);
        std::map<int32_t, CallAttempt> last;
        if (const int r = lastCallAttempts(db, last)) return failed(r);
        for (const CSystemRset& s : rows) {
            const QString contact = s.LastContactTime.isValid()
                                        ? s.LastContactTime.toString("MM-dd-yy hh:mm:ss")
                                        : QString("never");
            const QString autocall = s.AutoCallPeriod > 0
                                         ? QString("every %1 min").arg(s.AutoCallPeriod)
                                         : QString("no autocall");
            const auto attempt = last.find(s.SysID);
            say(QString::asprintf("%6d  ", s.SysID) + s.Serial + "  " + s.SystemDescription + "  " +
                s.Modem + "  [" + s.COMportSettings + "]  last contact " + contact + "  " +
                autocall + "  last call " +
                (attempt == last.end() ? QString("never") : attemptText(attempt->second)));
        }
        return 0;
    }
    if (verb == "show") {
        int32_t id = 0;
        if (!systemId(args, id)) return usage("--system N is required");
        std::optional<CSystemRset> row;
        if (const int r = readSystem(db, id, row)) return failed(r);
        if (!row) {
            std::fprintf(stderr, "vm418ctl db: no system %d\n", id);
            return kExitFailure;
        }
        say(QString("System %1: %2, Serial# %3, modem %4, port [%5], autocall %6")
                .arg(id)
                .arg(row->SystemDescription, row->Serial, row->Modem, row->COMportSettings,
                     row->AutoCallPeriod > 0 ? QString("every %1 min").arg(row->AutoCallPeriod)
                                             : QString("off")));
        say("Last contact " + (row->LastContactTime.isValid()
                                   ? row->LastContactTime.toString("MM-dd-yy hh:mm:ss")
                                   : QString("never")));
        std::vector<CallAttempt> attempts;
        if (const int r = listCallAttempts(db, id, 20, attempts)) return failed(r);
        say(attempts.empty() ? QString("No calls") : QString("Calls, newest first:"));
        for (const CallAttempt& a : attempts)
            say(QString("  %1 - %2  %3%4%5")
                    .arg(a.Started.toString("MM-dd-yy hh:mm:ss"), a.Ended.toString("hh:mm:ss"),
                         a.Result, a.Reason.isEmpty() ? QString() : " (" + a.Reason + ')',
                         a.Station.isEmpty() ? QString() : "  by " + a.Station));
        return 0;
    }
    if (verb != "add" && verb != "set") return usage("systems list|show|add|set");
    int32_t id = 0;
    if (!systemId(args, id)) return usage("--system N is required");
    std::optional<CSystemRset> existing;
    if (const int r = readSystem(db, id, existing)) return failed(r);
    if (verb == "add" && existing)
        return usage(QString("system %1 exists; use systems set").arg(id));
    if (verb == "set" && !existing) return usage(QString("no system %1; use systems add").arg(id));
    CSystemRset row = existing.value_or(CSystemRset{});
    row.SysID = id;
    const std::pair<const char*, QString*> fields[] = {
        {"--serial", &row.Serial},   {"--name", &row.SystemDescription},
        {"--modem", &row.Modem},     {"--port-settings", &row.COMportSettings},
        {"--init", &row.InitString}, {"--password", &row.Password}};
    for (const auto& [option, field] : fields)
        if (args.has(option)) *field = args.value(option);
    if (args.has("--autocall-period")) {
        bool ok = false;
        row.AutoCallPeriod = args.value("--autocall-period").toInt(&ok);
        if (!ok || row.AutoCallPeriod < 0)
            return usage("--autocall-period takes minutes (0 = never), not \"" +
                         args.value("--autocall-period") + "\"");
    }
    if (const int r = saveSystem(db, row)) return failed(r);
    say(QString("System %1 saved").arg(id));
    return 0;
}

// Imports a download folder and says what was stored and what was not. Exit code 1 when
// the folder is missing, a file of the download could not be read or a store failed.
int runImport(const Args& args, const QString& db, int32_t sysId) {
    const QString folder = args.words.size() > 1 ? args.words[1] : QStringLiteral("TEMP");
    if (!QFileInfo(folder).isDir()) {
        station::cli::LogError("vm418ctl db: no folder " + folder + " to import from");
        return kExitFailure;
    }
    // Rows of a station that is not in the table would be stored where nobody looks.
    std::optional<CSystemRset> system;
    if (const int r = readSystem(db, sysId, system)) return failed(r);
    if (!system)
        return usage(QString("no system %1 in the System table; use systems add").arg(sysId));

    // What the window shows in a message box ("Can't read history file ...").
    StationRecords fromDir(folder + '/', sayWarning);
    fromDir.connectionText = db;
    fromDir.SysID = sysId;
    const ImportReport report = fromDir.importDownloadedFiles();
    if (report.storeResult != 0) {
        failed(report.storeResult, fromDir.dbError());
        sayError(QString("Nothing of the download was stored for system %1").arg(sysId));
        return kExitFailure;
    }
    QStringList stored, notStored;
    (report.parametersRead ? stored : notStored) << "parameters";
    if (report.historyRead)
        stored << QString("%1 history events").arg(fromDir.historyMap.size());
    else
        notStored << "history";
    if (report.alarmsRead)
        stored << QString("%1 alarms read").arg(fromDir.alarmMap.size());
    else
        notStored << "alarms";
    QString line = QString("Imported for system %1: %2")
                       .arg(sysId)
                       .arg(stored.isEmpty() ? QString("nothing") : stored.join(", "));
    if (!notStored.isEmpty()) line += "; not imported: " + notStored.join(", ");
    say(line);
    // What was already stored (by an earlier import or another PC) is not stored again.
    say(QString("Newly stored: %1 parameter blocks, %2 history events, %3 alarms")
            .arg(report.storedParameters)
            .arg(report.storedHistory)
            .arg(report.storedAlarms));
    return report.allFilesRead() ? 0 : kExitFailure;
}

int run(const Args& args) {
    const QString db = args.has("--db") ? args.value("--db") : defaultConnectionText();
    const QString command = args.words.value(0);
    if (command == "init" && (args.has("--sqlite") || args.has("--postgres"))) {
        if (args.has("--db"))
            return usage(
                "--db names a database; --sqlite and --postgres set up the data source "
                "VM418: give one of them");
        DbSetup setup;
        setup.sqliteFile = args.value("--sqlite");
        setup.conninfo = args.value("--postgres");
        setup.createRole = args.flags.contains("--create-role");
        if (qEnvironmentVariableIsSet("VM418_DB"))
            sayWarning("Note: VM418_DB is set; the programs use " + maskSecrets(db) +
                       ", not the data source VM418 set up here.");
        return initDatabase(setup, say, sayError) == 0 ? 0 : kExitFailure;
    }
    useOdbcConfiguration();
    if (command == "init") return initNamedDatabase(db, say, sayError) == 0 ? 0 : kExitFailure;
    if (command == "systems") return runSystems(args, db);

    StationRecords records(QStringLiteral("TEMP/"), sayWarning);
    records.connectionText = db;
    if (!systemId(args, records.SysID)) return usage("--system N is required");
    RecordCondition condition;
    if (!dateOption(args, "--from", false, condition.from) ||
        !dateOption(args, "--to", true, condition.to) ||
        !dateOption(args, "--at", true, condition.to))
        return usage("dates are written 2008-12-03 or \"2008-12-03 10:20:30\"");
    const QString what = args.words.value(1);

    if (command == "import") return runImport(args, db, records.SysID);
    if ((command == "alarms" && what == "list") || (command == "export" && what == "alarms")) {
        if (const int r = records.loadAlarms(condition)) return failed(r, records.dbError());
        if (command == "alarms") {
            for (const auto& [key, a] : records.alarmMap)
                say(alarmLine(a));
            return 0;
        }
        if (!args.has("--csv")) return usage("export alarms needs --csv FILE");
        QSaveFile f(args.value("--csv"));
        if (!f.open(QIODevice::WriteOnly) || f.write(alarmsCsv(records.alarmMap).toUtf8()) < 0 ||
            !f.commit()) {
            station::cli::LogError("vm418ctl db: cannot write " + args.value("--csv") + ": " +
                                   f.errorString());
            return kExitFailure;
        }
        say(QString("%1 alarms written to %2")
                .arg(records.alarmMap.size())
                .arg(args.value("--csv")));
        return 0;
    }
    if (command == "history" && what == "list") {
        if (const int r = records.loadHistory(condition)) return failed(r, records.dbError());
        for (const auto& [key, h] : records.historyMap)
            say(historyLine(h));
        return 0;
    }
    if (command == "params" && what == "show") {
        std::vector<StoredParameters> blocks;
        if (const int r = records.listStoredParameters(blocks, condition))
            return failed(r, records.dbError());
        if (blocks.empty()) {
            sayError("No parameters stored");
            return kExitFailure;
        }
        // By its key: another block may carry the same second.
        if (const int r = records.loadStoredParameters(blocks.front().SeqNum))
            return failed(r, records.dbError());
        say("Stored " + formatDbDate(blocks.front().DateTime));
        say(parameterLines(records.parameters));
        return 0;
    }
    return usage("unknown command");
}

}  // namespace

namespace station::cli {

int RunDbCommand(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Args args;
    QString error;
    if (!parse(app.arguments().mid(1), args, error)) return usage(error);
    if (args.words.isEmpty()) return usage("no command");
    return run(args);
}

}  // namespace station::cli
