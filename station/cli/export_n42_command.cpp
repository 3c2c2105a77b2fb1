// vm418ctl export alarms --n42: the stored alarms of one system, with what the System table
// and the newest stored parameter block say about the unit, as an ANSI N42.42 file.

#include "export_n42_command.h"

#include <QCoreApplication>
#include <QDate>
#include <QSaveFile>
#include <cstdio>
#include <cstring>

#include "command_dates.h"
#include "command_line.h"
#include "db_setup.h"
#include "log_lines.h"
#include "n42_export.h"
#include "station_records.h"
#include "systems.h"

using namespace vm418;

namespace {

using station::cli::Failure;
using station::cli::Invocation;
using station::cli::kExitOk;
using station::cli::LogError;

// The driver's reason goes to the "station.db" log ("Database error - ...").
int failed(const Invocation& call, const char* what, int code) {
    return Failure(call.spec, QString::asprintf("%s failed (database result %d)", what, code));
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

}  // namespace

namespace station::cli {

int RunExportN42(const Invocation& call) {
    const QString file = call.args.value("--n42");
    int32_t sysId = 0;
    int exitCode = 0;
    if (!SystemArgument(call, sysId, exitCode)) return exitCode;

    // Whole days, both included; one bound alone leaves the other side open.
    RecordCondition period;
    QString error;
    if (!ParseDays(call.args.value("--from"), call.args.value("--to"), period, error))
        return UsageError(call.spec, error);

    QString db = call.args.value(kDbOption.name, defaultConnectionText());
    if (const int r = CheckDatabase(call.spec, db, DbUse::kRead); r >= 0) return r;
    std::optional<CSystemRset> system;
    if (const int r = readSystem(db, sysId, system))
        return failed(call, "reading the System table", r);
    if (!system) return Failure(call.spec, QString("no system %1").arg(sysId));

    StationRecords records(QStringLiteral("TEMP/"),
                           [](const QString& message) { LogError(message); });
    records.connectionText = db;
    records.SysID = sysId;
    if (const int r = records.loadAlarms(period)) return failed(call, "loading the alarms", r);
    std::vector<std::time_t> dates;
    if (const int r = records.listParameterDates(dates))
        return failed(call, "listing the stored parameters", r);
    N42Source source;
    // The document's title: the name and serial number the views show.
    source.title = stationTitle(*system);
    source.serial = system->Serial;
    if (!dates.empty()) {
        if (const int r = records.loadParameters())
            return failed(call, "loading the parameters", r);
        source.softwareVersion = softwareVersion(records.parameters);
    }

    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(alarmsN42(records.alarmMap, source, QDateTime::currentDateTime())) < 0 ||
        !out.commit()) {
        return Failure(call.spec, "cannot write " + file + ": " + out.errorString());
    }
    std::printf("%zu alarms written to %s\n", records.alarmMap.size(), qPrintable(file));
    return kExitOk;
}

}  // namespace station::cli
