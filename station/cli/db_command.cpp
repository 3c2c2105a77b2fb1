// vm418ctl's database commands: the data source set-up, the System table, the import of a
// download folder and the lists and CSV export of what the views show. Each command's
// options are its table below; `vm418ctl COMMAND --help` prints them.

#include "db_command.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstdio>
#include <map>

#include "call_attempts.h"
#include "command_dates.h"
#include "db_setup.h"
#include "export_n42_command.h"
#include "log_lines.h"
#include "record_text.h"
#include "station_records.h"
#include "systems.h"

using namespace vm418;
using namespace station::cli;

namespace {

void say(const QString& text) {
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
}

// A failure or a warning: on standard error, under the journal with its priority.
void sayError(const QString& text) {
    Log(LogLevel::Error, text, stderr);
}
void sayWarning(const QString& text) {
    Log(LogLevel::Warning, text, stderr);
}

void sayJson(const QJsonArray& rows) {
    std::fputs(QJsonDocument(rows).toJson(QJsonDocument::Indented).constData(), stdout);
    std::fflush(stdout);
}

// The rows of a list command, one line each or (--json) as one JSON array.
template <typename Rows, typename ToJson, typename ToLine>
int sayRows(const Invocation& call, const Rows& rows, ToJson json, ToLine line) {
    if (call.args.has(kJsonOption.name)) {
        QJsonArray out;
        for (const auto& row : rows)
            out.append(json(row));
        sayJson(out);
    } else {
        for (const auto& row : rows)
            say(line(row));
    }
    return kExitOk;
}

// A failed database operation: the driver's reason, as the log has it; a connection that
// failed also says how a database is set up.
int failed(const Invocation& call, int code, const QString& why = {}) {
    if (code == kDbCannotConnect)
        return Failure(call.spec, "cannot connect to the database: " + DatabaseHint());
    if (!why.isEmpty()) {
        sayError("Database error - " + why);
        return kExitFailure;
    }
    return Failure(call.spec, QString("database operation failed (%1)").arg(code));
}

QString database(const Invocation& call) {
    return call.args.value(kDbOption.name, defaultConnectionText());
}

// The database is there (see CheckDatabase) and holds system `id`: -1 to go on, else the
// exit code after saying why not.
int knownSystem(const Invocation& call, QString& db, int32_t id, DbUse use,
                std::optional<CSystemRset>* out = nullptr) {
    if (const int r = CheckDatabase(call.spec, db, use); r >= 0) return r;
    std::optional<CSystemRset> row;
    if (const int r = readSystem(db, id, row)) return failed(call, r);
    if (!row) return Failure(call.spec, QString("no system %1").arg(id));
    if (out) *out = row;
    return -1;
}

// "2008-12-03" or "2008-12-03 10:20:30"; a bare date as --to means the end of that day.
bool dateOption(const Invocation& call, const QString& name, bool endOfDay,
                std::optional<std::time_t>& out, int& exitCode) {
    if (!call.args.has(name)) return true;
    out = ParseCommandTime(call.args.value(name), endOfDay);
    if (!out)
        exitCode =
            UsageError(call.spec, name + " takes 2008-12-03 or \"2008-12-03 10:20:30\", not \"" +
                                      call.args.value(name) + "\"");
    return out.has_value();
}

// --system and the period of --from, --to (and --at) of the listing commands; -1 to go on.
int recordsOf(const Invocation& call, StationRecords& records, RecordCondition& condition) {
    int exitCode = -1;
    records.connectionText = database(call);
    if (!SystemArgument(call, records.SysID, exitCode) ||
        !dateOption(call, "--from", false, condition.from, exitCode) ||
        !dateOption(call, "--to", true, condition.to, exitCode) ||
        !dateOption(call, "--at", true, condition.to, exitCode))
        return exitCode;
    return knownSystem(call, records.connectionText, records.SysID, DbUse::kRead);
}

// "failed 12-10-26 09:41:07 (Disconnected BUSY), 2 in a row".
QString attemptText(const CallAttempt& a) {
    QString text = a.Result + ' ' + a.Started.toString("MM-dd-yy hh:mm:ss");
    if (!a.Reason.isEmpty()) text += " (" + a.Reason + ')';
    if (a.FailuresInRow > 1) text += QString(", %1 in a row").arg(a.FailuresInRow);
    return text;
}

QJsonValue timeJson(const QDateTime& t) {
    return t.isValid() ? QJsonValue(localJsonTime(fromDbDate(t))) : QJsonValue();
}

QJsonObject attemptJson(const CallAttempt& a) {
    return {{"started", timeJson(a.Started)},
            {"ended", timeJson(a.Ended)},
            {"result", a.Result},
            {"reason", a.Reason},
            {"failuresInRow", a.FailuresInRow},
            {"station", a.Station}};
}

int runInit(const Invocation& call) {
    if (call.args.has("--sqlite") || call.args.has("--postgres")) {
        if (call.args.has("--db"))
            return UsageError(call.spec,
                              "--db names a database; --sqlite and --postgres set up the data "
                              "source VM418: give one of them");
        if (call.args.has("--sqlite") == call.args.has("--postgres"))
            return UsageError(call.spec, "give --sqlite or --postgres, not both");
        DbSetup setup;
        setup.sqliteFile = call.args.value("--sqlite");
        setup.conninfo = call.args.value("--postgres");
        setup.createRole = call.args.has("--create-role");
        if (!setup.sqliteFile.isEmpty()) {
            const QFileInfo file(setup.sqliteFile);
            const QFileInfo folder(file.absolutePath());
            if (!folder.isDir())
                return Failure(call.spec, "no folder " + folder.absoluteFilePath() + " for " +
                                              setup.sqliteFile);
            if (!folder.isWritable())
                return Failure(call.spec, "cannot create " + file.absoluteFilePath() +
                                              ": permission denied in the folder " +
                                              folder.absoluteFilePath());
        }
        if (qEnvironmentVariableIsSet("VM418_DB"))
            sayWarning("Note: VM418_DB is set; the programs use " +
                       maskSecrets(defaultConnectionText()) +
                       ", not the data source VM418 set up here.");
        return initDatabase(setup, say, sayError) == 0 ? kExitOk : kExitFailure;
    }
    if (call.args.has("--create-role"))
        return UsageError(call.spec, "--create-role goes with --postgres");
    useOdbcConfiguration();
    QString db = database(call);
    if (const QString file = sqliteFileOf(db); !file.isEmpty() && !QFileInfo::exists(file)) {
        const QFileInfo folder(QFileInfo(file).absolutePath());
        if (!folder.isWritable())
            return Failure(call.spec, "cannot create " + file +
                                          ": permission denied in the folder " +
                                          folder.absoluteFilePath());
    }
    return initNamedDatabase(db, say, sayError) == 0 ? kExitOk : kExitFailure;
}

int runSystemsList(const Invocation& call) {
    QString db = database(call);
    if (const int r = CheckDatabase(call.spec, db, DbUse::kRead); r >= 0) return r;
    std::vector<CSystemRset> rows;
    if (const int r = listSystems(db, rows)) return failed(call, r);
    std::map<int32_t, CallAttempt> last;
    if (const int r = lastCallAttempts(db, last)) return failed(call, r);
    if (call.args.has(kJsonOption.name)) {
        QJsonArray out;
        for (const CSystemRset& s : rows) {
            const auto attempt = last.find(s.SysID);
            out.append(QJsonObject{
                {"id", s.SysID},
                {"serial", s.Serial},
                {"name", s.SystemDescription},
                {"modem", s.Modem},
                {"portSettings", s.COMportSettings},
                {"autocallPeriod", s.AutoCallPeriod},
                {"lastContact", timeJson(s.LastContactTime)},
                {"lastCall", attempt == last.end() ? QJsonValue() : attemptJson(attempt->second)}});
        }
        sayJson(out);
        return kExitOk;
    }
    for (const CSystemRset& s : rows) {
        const QString contact = s.LastContactTime.isValid()
                                    ? s.LastContactTime.toString("MM-dd-yy hh:mm:ss")
                                    : QString("never");
        const QString autocall = s.AutoCallPeriod > 0
                                     ? QString("every %1 min").arg(s.AutoCallPeriod)
                                     : QString("no autocall");
        const auto attempt = last.find(s.SysID);
        say(QString::asprintf("%6d  ", s.SysID) + s.Serial + "  " + s.SystemDescription + "  " +
            s.Modem + "  [" + s.COMportSettings + "]  last contact " + contact + "  " + autocall +
            "  last call " +
            (attempt == last.end() ? QString("never") : attemptText(attempt->second)));
    }
    return kExitOk;
}

int runSystemsShow(const Invocation& call) {
    int32_t id = 0;
    int exitCode = 0;
    if (!SystemArgument(call, id, exitCode)) return exitCode;
    QString db = database(call);
    std::optional<CSystemRset> row;
    if (const int r = knownSystem(call, db, id, DbUse::kRead, &row); r >= 0) return r;
    say(QString("System %1: %2, Serial# %3, modem %4, port [%5], autocall %6")
            .arg(id)
            .arg(row->SystemDescription, row->Serial, row->Modem, row->COMportSettings,
                 row->AutoCallPeriod > 0 ? QString("every %1 min").arg(row->AutoCallPeriod)
                                         : QString("off")));
    say("Last contact " + (row->LastContactTime.isValid()
                               ? row->LastContactTime.toString("MM-dd-yy hh:mm:ss")
                               : QString("never")));
    std::vector<CallAttempt> attempts;
    if (const int r = listCallAttempts(db, id, 20, attempts)) return failed(call, r);
    say(attempts.empty() ? QString("No calls") : QString("Calls, newest first:"));
    for (const CallAttempt& a : attempts)
        say(QString("  %1 - %2  %3%4%5")
                .arg(a.Started.toString("MM-dd-yy hh:mm:ss"), a.Ended.toString("hh:mm:ss"),
                     a.Result, a.Reason.isEmpty() ? QString() : " (" + a.Reason + ')',
                     a.Station.isEmpty() ? QString() : "  by " + a.Station));
    return kExitOk;
}

// systems add and systems set.
int runSystemsSave(const Invocation& call) {
    const bool add = QLatin1String(call.spec.words) == QLatin1String("systems add");
    int32_t id = 0;
    int exitCode = 0;
    if (!SystemArgument(call, id, exitCode)) return exitCode;
    CSystemRset row;
    row.SysID = id;
    if (call.args.has("--autocall-period")) {
        bool ok = false;
        row.AutoCallPeriod = call.args.value("--autocall-period").toInt(&ok);
        if (!ok || row.AutoCallPeriod < 0)
            return UsageError(call.spec, "--autocall-period takes minutes (0 = never), not \"" +
                                             call.args.value("--autocall-period") + "\"");
    }
    QString db = database(call);
    if (const int r = CheckDatabase(call.spec, db, DbUse::kWrite); r >= 0) return r;
    std::optional<CSystemRset> existing;
    if (const int r = readSystem(db, id, existing)) return failed(call, r);
    if (add && existing)
        return Failure(call.spec, QString("system %1 exists; use systems set").arg(id));
    if (!add && !existing)
        return Failure(call.spec, QString("no system %1; use systems add").arg(id));
    const int period = row.AutoCallPeriod;
    if (existing) row = *existing;
    if (call.args.has("--autocall-period")) row.AutoCallPeriod = period;
    const std::pair<const char*, QString*> fields[] = {
        {"--serial", &row.Serial},   {"--name", &row.SystemDescription},
        {"--modem", &row.Modem},     {"--port-settings", &row.COMportSettings},
        {"--init", &row.InitString}, {"--password", &row.Password}};
    for (const auto& [option, field] : fields)
        if (call.args.has(option)) *field = call.args.value(option);
    if (const int r = saveSystem(db, row)) return failed(call, r);
    say(QString("System %1 saved").arg(id));
    return kExitOk;
}

// Imports a download folder and says what was stored and what was not. Exit code 1 when
// the folder is missing, a file of the download could not be read or a store failed.
int runImport(const Invocation& call) {
    int32_t sysId = 0;
    int exitCode = 0;
    if (!SystemArgument(call, sysId, exitCode)) return exitCode;
    const QString folder = call.args.operands.value(0, QStringLiteral("TEMP"));
    if (!QFileInfo(folder).isDir())
        return Failure(call.spec, "no folder " + folder + " to import from");
    // Rows of a station that is not in the table would be stored where nobody looks.
    QString db = database(call);
    if (const int r = knownSystem(call, db, sysId, DbUse::kWrite); r >= 0) return r;

    // What the window shows in a message box ("Can't read history file ...").
    StationRecords fromDir(folder + '/', sayWarning);
    fromDir.connectionText = db;
    fromDir.SysID = sysId;
    const ImportReport report = fromDir.importDownloadedFiles();
    if (report.storeResult != 0) {
        sayError("Database error - " + fromDir.dbError());
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
    return report.allFilesRead() ? kExitOk : kExitFailure;
}

int runAlarmsList(const Invocation& call) {
    StationRecords records(QStringLiteral("TEMP/"), sayWarning);
    RecordCondition condition;
    if (const int r = recordsOf(call, records, condition); r >= 0) return r;
    if (const int r = records.loadAlarms(condition)) return failed(call, r, records.dbError());
    return sayRows(
        call, records.alarmMap, [](const auto& row) { return alarmRowJson(row.second); },
        [](const auto& row) { return alarmLine(row.second); });
}

int runHistoryList(const Invocation& call) {
    StationRecords records(QStringLiteral("TEMP/"), sayWarning);
    RecordCondition condition;
    if (const int r = recordsOf(call, records, condition); r >= 0) return r;
    if (const int r = records.loadHistory(condition)) return failed(call, r, records.dbError());
    return sayRows(
        call, records.historyMap, [](const auto& row) { return historyRowJson(row.second); },
        [](const auto& row) { return historyLine(row.second); });
}

int runParamsShow(const Invocation& call) {
    StationRecords records(QStringLiteral("TEMP/"), sayWarning);
    RecordCondition condition;
    if (const int r = recordsOf(call, records, condition); r >= 0) return r;
    std::vector<StoredParameters> blocks;
    if (const int r = records.listStoredParameters(blocks, condition))
        return failed(call, r, records.dbError());
    if (blocks.empty()) {
        sayError("No parameters stored");
        return kExitFailure;
    }
    // By its key: another block may carry the same second.
    if (const int r = records.loadStoredParameters(blocks.front().SeqNum))
        return failed(call, r, records.dbError());
    say("Stored " + formatDbDate(blocks.front().DateTime));
    say(parameterLines(records.parameters));
    return kExitOk;
}

// The stored parameter blocks of a system, newest first: each one's key and date.
int runParamsList(const Invocation& call) {
    StationRecords records(QStringLiteral("TEMP/"), sayWarning);
    RecordCondition condition;
    if (const int r = recordsOf(call, records, condition); r >= 0) return r;
    std::vector<StoredParameters> blocks;
    if (const int r = records.listStoredParameters(blocks, condition))
        return failed(call, r, records.dbError());
    return sayRows(
        call, blocks,
        [](const StoredParameters& b) {
            return QJsonObject{{"seqNum", b.SeqNum}, {"time", localJsonTime(b.DateTime)}};
        },
        [](const StoredParameters& b) {
            return QString::asprintf("%6d  ", b.SeqNum) + formatDbDate(b.DateTime);
        });
}

int runExportAlarms(const Invocation& call) {
    if (call.args.has("--n42") == call.args.has("--csv"))
        return UsageError(call.spec, "give --csv FILE or --n42 FILE");
    if (call.args.has("--n42")) return RunExportN42(call);
    StationRecords records(QStringLiteral("TEMP/"), sayWarning);
    RecordCondition condition;
    if (const int r = recordsOf(call, records, condition); r >= 0) return r;
    if (const int r = records.loadAlarms(condition)) return failed(call, r, records.dbError());
    const QString file = call.args.value("--csv");
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(alarmsCsv(records.alarmMap).toUtf8()) < 0 ||
        !f.commit())
        return Failure(call.spec, "cannot write " + file + ": " + f.errorString());
    say(QString("%1 alarms written to %2").arg(records.alarmMap.size()).arg(file));
    return kExitOk;
}

const Option kFrom{"--from", "DATE", "from this day (2008-12-03) or time on"};
const Option kTo{"--to", "DATE", "up to this day or time, included"};

}  // namespace

namespace station::cli {

const CommandSpec kDbInitCommand{
    "db init",
    "[--sqlite FILE | --postgres CONNINFO [--create-role]]",
    "Creates the tables: with --sqlite or --postgres in that database, which then becomes the\n"
    "data source VM418 of this user; else in the database --db or the configuration names.",
    0,
    {{"--sqlite", "FILE", "an SQLite database file (made when it is not there)"},
     {"--postgres", "CONNINFO", "\"host=H port=P dbname=D user=U password=W\" of a server"},
     {"--create-role", nullptr, "PostgreSQL: also create the role CREATOR"},
     kDbOption},
    runInit};

const CommandSpec kSystemsListCommand{"systems list",
                                      "[--json]",
                                      "The systems of the System table with each one's last "
                                      "contact and last call.",
                                      0,
                                      {kJsonOption, kDbOption},
                                      runSystemsList};

const CommandSpec kSystemsShowCommand{"systems show",
                                      "--system N",
                                      "A system and its last 20 calls, newest first.",
                                      0,
                                      {kSystemOption, kDbOption},
                                      runSystemsShow};

namespace {
const std::vector<Option> kSystemFields = {
    kSystemOption,
    {"--serial", "S", "the unit's serial number"},
    {"--name", "TEXT", "the system's name (SystemDescription)"},
    {"--modem", "PHONE", "the telephone number the modem dials"},
    {"--port-settings", "TEXT", "\"COM1 9600 0 0 8 0\": port baud parity stop-bits data-bits flow"},
    {"--init", "TEXT", "the modem's initialisation text"},
    {"--password", "P", "the unit's password"},
    {"--autocall-period", "MINUTES", "call it unattended this often (0: never)"},
    kDbOption};
constexpr char kSystemFieldsSynopsis[] =
    "--system N [--serial S] [--name TEXT] [--modem PHONE] [--port-settings TEXT]\n"
    "         [--init TEXT] [--password P] [--autocall-period MINUTES]";
}  // namespace

const CommandSpec kSystemsAddCommand{
    "systems add", kSystemFieldsSynopsis, "Adds a system to the System table.", 0,
    kSystemFields, runSystemsSave};
const CommandSpec kSystemsSetCommand{
    "systems set", kSystemFieldsSynopsis, "Changes the fields given of a system.", 0,
    kSystemFields, runSystemsSave};

const CommandSpec kImportCommand{
    "import",
    "--system N [DIR]",
    "Stores the files of a download folder (DIR, else ./TEMP) for system N; what is\n"
    "already stored is not stored again.",
    1,
    {kSystemOption, kDbOption},
    runImport};

const CommandSpec kAlarmsListCommand{"alarms list",
                                     "--system N [--from DATE] [--to DATE] [--json]",
                                     "The stored alarms of system N, one line each.",
                                     0,
                                     {kSystemOption, kFrom, kTo, kJsonOption, kDbOption},
                                     runAlarmsList};

const CommandSpec kHistoryListCommand{"history list",
                                      "--system N [--from DATE] [--to DATE] [--json]",
                                      "The stored history events of system N, one line each.",
                                      0,
                                      {kSystemOption, kFrom, kTo, kJsonOption, kDbOption},
                                      runHistoryList};

const CommandSpec kParamsShowCommand{
    "params show",
    "--system N [--at DATETIME]",
    "The newest parameter block of system N stored at or before DATETIME.",
    0,
    {kSystemOption, {"--at", "DATETIME", "2008-12-03 or \"2008-12-03 10:20:30\""}, kDbOption},
    runParamsShow};

const CommandSpec kParamsListCommand{
    "params list",
    "--system N [--from DATE] [--to DATE] [--json]",
    "The stored parameter blocks of system N, newest first: each one's number (SeqNum) and date.",
    0,
    {kSystemOption, kFrom, kTo, kJsonOption, kDbOption},
    runParamsList};

const CommandSpec kExportAlarmsCommand{
    "export alarms",
    "--system N (--csv FILE | --n42 FILE) [--from DATE] [--to DATE]",
    "The stored alarms of system N as a CSV file, or as an ANSI N42.42 file with what the\n"
    "System table and the newest parameter block say about the unit.",
    0,
    {kSystemOption,
     {"--csv", "FILE", "write a CSV file"},
     {"--n42", "FILE", "write an N42.42 XML file (whole days from --from to --to)"},
     kFrom,
     kTo,
     kDbOption},
    runExportAlarms};

}  // namespace station::cli
