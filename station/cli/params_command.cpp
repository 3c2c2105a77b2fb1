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
#include <cstring>

#include "command_dates.h"
#include "db_setup.h"
#include "log_lines.h"
#include "param_form.h"
#include "station_records.h"
#include "systems.h"

using namespace vm418;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int usage(const QString& why) {
    station::cli::LogError("vm418ctl params diff: " + why);
    std::fputs("usage: vm418ctl [--db CONNECTION] params diff --system N --at T1 --at T2\n",
               stderr);
    return kExitUsage;
}

int fail(const QString& why) {
    station::cli::LogError("vm418ctl params diff: " + why);
    return kExitFailure;
}

}  // namespace

namespace station::cli {

bool IsParamsDiffCommand(int argc, char** argv) {
    const int at = argc >= 3 && std::strcmp(argv[1], "--db") == 0 ? 3 : 1;
    return argc > at + 1 && std::strcmp(argv[at], "params") == 0 &&
           std::strcmp(argv[at + 1], "diff") == 0;
}

int RunParamsDiffCommand(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString db = defaultConnectionText();
    QString system;
    QStringList at;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "params" || a == "diff") continue;
        if (a != "--db" && a != "--system" && a != "--at") return usage("unknown argument " + a);
        if (i + 1 >= args.size()) return usage(a + " needs a value");
        const QString value = args[++i];
        if (a == "--db")
            db = value;
        else if (a == "--system")
            system = value;
        else
            at << value;
    }
    bool ok = false;
    const int32_t sysId = system.toInt(&ok);
    if (!ok) return usage("--system N is required");
    if (at.size() != 2) return usage("give two dates, each with --at");
    std::time_t when[2];
    for (int k = 0; k < 2; ++k)
        if (const auto t = ParseCommandTime(at[k], true))
            when[k] = *t;
        else
            return usage("dates are written 2008-12-03 or \"2008-12-03 10:20:30\", not \"" + at[k] +
                         "\"");

    useOdbcConfiguration();
    std::optional<CSystemRset> row;
    if (const int r = readSystem(db, sysId, row))
        return fail(QString("database operation failed (%1)").arg(r));
    if (!row) return fail(QString("no system %1 in the System table").arg(sysId));

    StationRecords records(QString(), [](const QString& text) { station::cli::LogError(text); });
    records.connectionText = db;
    records.SysID = sysId;
    PARA_418 blocks[2];
    std::time_t stored[2];
    for (int k = 0; k < 2; ++k) {
        RecordCondition upTo;
        upTo.to = when[k];
        std::vector<std::time_t> dates;
        if (const int r = records.listParameterDates(dates, upTo))
            return fail(QString("database operation failed (%1)").arg(r));
        if (dates.empty())
            return fail(
                QString("no parameters of system %1 stored at or before %2").arg(sysId).arg(at[k]));
        stored[k] = *std::max_element(dates.begin(), dates.end());
        records.parameters = initialParameters();
        if (const int r = records.loadParameters(RecordCondition::exactly(stored[k])))
            return fail(QString("database operation failed (%1)").arg(r));
        blocks[k] = records.parameters;
    }

    std::printf("Parameters stored %s and %s\n", qPrintable(formatDbDate(stored[0])),
                qPrintable(formatDbDate(stored[1])));
    const std::vector<ParamDifference> differences = diff(blocks[0], blocks[1]);
    for (const ParamDifference& d : differences)
        std::printf("%s  %s  %s\n", qPrintable(d.label), qPrintable(d.oldText),
                    qPrintable(d.newText));
    if (differences.empty()) std::printf("no differences\n");
    return 0;
}

}  // namespace station::cli
