// vm418ctl params diff: what changed between two parameter blocks stored for one station.
//
//   vm418ctl [--db CONNECTION] params diff --system N --at T1 --at T2
//
// Each T is "2008-12-03" (the end of that day) or "2008-12-03 10:20:30" and picks the newest
// block stored at or before it. One line per field that differs: its label on the parameter
// printout, the old value and the new value as the parameter view shows them.

#include "params_command.h"

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

#include "command_dates.h"
#include "command_line.h"
#include "db_setup.h"
#include "log_lines.h"
#include "param_form.h"
#include "station_records.h"
#include "systems.h"

using namespace vm418;

namespace station::cli {

namespace {

int RunParamsDiff(const Invocation& call) {
    int32_t sysId = 0;
    int exitCode = 0;
    if (!SystemArgument(call, sysId, exitCode)) return exitCode;
    const QStringList at = call.args.values("--at");
    if (at.size() != 2) return UsageError(call.spec, "give two dates, each with --at");
    std::time_t when[2];
    for (int k = 0; k < 2; ++k)
        if (const auto t = ParseCommandTime(at[k], true))
            when[k] = *t;
        else
            return UsageError(
                call.spec,
                "dates are written 2008-12-03 or \"2008-12-03 10:20:30\", not \"" + at[k] + "\"");

    QString db = call.args.value(kDbOption.name, defaultConnectionText());
    if (const int r = CheckDatabase(call.spec, db, DbUse::kRead); r >= 0) return r;
    std::optional<CSystemRset> row;
    if (const int r = readSystem(db, sysId, row))
        return Failure(call.spec, QString("database operation failed (%1)").arg(r));
    if (!row) return Failure(call.spec, QString("no system %1").arg(sysId));

    StationRecords records(QString(), [](const QString& text) { LogError(text); });
    records.connectionText = db;
    records.SysID = sysId;
    PARA_418 blocks[2];
    std::time_t stored[2];
    for (int k = 0; k < 2; ++k) {
        RecordCondition upTo;
        upTo.to = when[k];
        std::vector<std::time_t> dates;
        if (const int r = records.listParameterDates(dates, upTo))
            return Failure(call.spec, QString("database operation failed (%1)").arg(r));
        if (dates.empty())
            return Failure(
                call.spec,
                QString("no parameters of system %1 stored at or before %2").arg(sysId).arg(at[k]));
        stored[k] = *std::max_element(dates.begin(), dates.end());
        records.parameters = initialParameters();
        if (const int r = records.loadParameters(RecordCondition::exactly(stored[k])))
            return Failure(call.spec, QString("database operation failed (%1)").arg(r));
        blocks[k] = records.parameters;
    }

    std::printf("Parameters stored %s and %s\n", qPrintable(formatDbDate(stored[0])),
                qPrintable(formatDbDate(stored[1])));
    const std::vector<ParamDifference> differences = diff(blocks[0], blocks[1]);
    for (const ParamDifference& d : differences)
        std::printf("%s  %s  %s\n", qPrintable(d.label), qPrintable(d.oldText),
                    qPrintable(d.newText));
    if (differences.empty()) std::printf("no differences\n");
    return kExitOk;
}

}  // namespace

const CommandSpec kParamsDiffCommand{
    "params diff",
    "--system N --at DATETIME --at DATETIME",
    "The fields that differ between the parameter blocks of system N stored at or before\n"
    "each DATETIME (2008-12-03 is the end of that day), with the old and the new value.",
    0,
    {kSystemOption,
     {"--at", "DATETIME", "2008-12-03 or \"2008-12-03 10:20:30\" (given twice)", true},
     kDbOption},
    RunParamsDiff};

}  // namespace station::cli
