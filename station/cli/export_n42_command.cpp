// vm418ctl export alarms --n42: the stored alarms of one system, with what the System table
// and the newest stored parameter block say about the unit, as an ANSI N42.42 file.

#include "export_n42_command.h"

#include <QCoreApplication>
#include <QDate>
#include <QSaveFile>
#include <cstdio>
#include <cstring>
#include <map>

#include "command_dates.h"
#include "db_setup.h"
#include "log_lines.h"
#include "n42_export.h"
#include "station_records.h"
#include "systems.h"

using namespace vm418;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using station::cli::LogError;

int usage(const QString& why) {
    LogError("vm418ctl export: " + why);
    std::fputs(
        "usage: vm418ctl [--db CONNECTION] export alarms --system N --n42 FILE "
        "[--from yyyy-MM-dd] [--to yyyy-MM-dd]\n",
        stderr);
    return kExitUsage;
}

// The driver's reason goes to the "station.db" log ("Database error - ...").
int failed(const char* what, int code) {
    LogError(QString::asprintf("vm418ctl export: %s failed (database result %d)", what, code));
    return kExitFailure;
}

// The software version as the parameter view shows it ("2." and the unit's text); "" when
// no block of the unit is stored.
QString softwareVersion(const PARA_418& p) {
    const QString text =
        QString::fromLatin1(p.SoftwareVersion, static_cast<qsizetype>(strnlen(
                                                   p.SoftwareVersion, sizeof p.SoftwareVersion)))
            .trimmed();
    return text.isEmpty() ? QString() : "2." + text;
}

int run(const QStringList& raw) {
    std::map<QString, QString> options;
    QStringList words;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (!raw[i].startsWith("--")) {
            words << raw[i];
            continue;
        }
        static const QStringList kOptions = {"--db", "--system", "--n42", "--from", "--to"};
        if (!kOptions.contains(raw[i])) return usage("unknown option " + raw[i]);
        if (i + 1 >= raw.size()) return usage(raw[i] + " needs a value");
        options[raw[i]] = raw[i + 1];
        ++i;
    }
    if (words != QStringList{"export", "alarms"}) return usage("only alarms are exported to N42");
    const QString file = options["--n42"];
    if (file.isEmpty()) return usage("--n42 needs a file name");
    bool ok = false;
    const int32_t sysId = options["--system"].toInt(&ok);
    if (!ok) return usage("--system N is required");

    // Whole days, both included; one bound alone leaves the other side open.
    RecordCondition period;
    QString error;
    if (!station::cli::ParseDays(options["--from"], options["--to"], period, error))
        return usage(error);

    const QString db = options.count("--db") ? options["--db"] : defaultConnectionText();
    useOdbcConfiguration();
    std::optional<CSystemRset> system;
    if (const int r = readSystem(db, sysId, system)) return failed("reading the System table", r);
    if (!system) return usage(QString("no system %1 in the System table").arg(sysId));

    StationRecords records(QStringLiteral("TEMP/"),
                           [](const QString& message) { LogError(message); });
    records.connectionText = db;
    records.SysID = sysId;
    if (const int r = records.loadAlarms(period)) return failed("loading the alarms", r);
    std::vector<std::time_t> dates;
    if (const int r = records.listParameterDates(dates))
        return failed("listing the stored parameters", r);
    N42Source source;
    // The document's title: the name and serial number the views show.
    source.title = stationTitle(*system);
    source.serial = system->Serial;
    if (!dates.empty()) {
        if (const int r = records.loadParameters()) return failed("loading the parameters", r);
        source.softwareVersion = softwareVersion(records.parameters);
    }

    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(alarmsN42(records.alarmMap, source, QDateTime::currentDateTime())) < 0 ||
        !out.commit()) {
        LogError("vm418ctl export: cannot write " + file + ": " + out.errorString());
        return kExitFailure;
    }
    std::printf("%zu alarms written to %s\n", records.alarmMap.size(), qPrintable(file));
    return 0;
}

}  // namespace

namespace station::cli {

bool IsExportN42Command(int argc, char** argv) {
    const int command = (argc >= 3 && std::strcmp(argv[1], "--db") == 0) ? 3 : 1;
    if (command >= argc || std::strcmp(argv[command], "export") != 0) return false;
    for (int i = command + 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--n42") == 0) return true;
    return false;
}

int RunExportN42Command(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return run(app.arguments().mid(1));
}

}  // namespace station::cli
