// vm418ctl print: a view's printout without a window. The alarms print in the order the
// alarm view lists them, the history sorted by sequence number as the history view shows
// it, the parameters as one page; the period is whole days, both included.

#include "print_command.h"

#include <QApplication>
#include <QPagedPaintDevice>
#include <cstdio>
#include <cstring>
#include <functional>

#include "alarm_view.h"
#include "command_dates.h"
#include "db_setup.h"
#include "hist_view.h"
#include "log_lines.h"
#include "par_print.h"
#include "station_print.h"
#include "station_records.h"
#include "systems.h"
#include "vm418_doc.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr char kUsage[] =
    "usage: vm418ctl [--db CONNECTION] print alarms|history|params --system N\n"
    "         [--from DATE] [--to DATE] [--at DATETIME] --pdf FILE\n";

int usage(const QString& why) {
    station::cli::LogError("vm418ctl print: " + why);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int fail(const QString& why) {
    station::cli::LogError("vm418ctl print: " + why);
    return kExitFailure;
}

// The window system is not needed for pages: without a display the offscreen one draws them.
void UseOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

}  // namespace

namespace station::cli {

bool IsPrintCommand(int argc, char** argv) {
    const int at = argc >= 3 && std::strcmp(argv[1], "--db") == 0 ? 3 : 1;
    return argc > at && std::strcmp(argv[at], "print") == 0;
}

int RunPrintCommand(int argc, char** argv) {
    UseOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    QString db = vm418::defaultConnectionText();
    QString what, system, pdf, from, to;
    std::optional<std::time_t> at;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "print") continue;
        if (!a.startsWith("--")) {
            if (!what.isEmpty()) return usage("unexpected " + a);
            what = a;
            continue;
        }
        if (i + 1 >= args.size()) return usage(a + " needs a value");
        const QString value = args[++i];
        if (a == "--db") {
            db = value;
        } else if (a == "--system") {
            system = value;
        } else if (a == "--pdf") {
            pdf = value;
        } else if (a == "--from" || a == "--to") {
            (a == "--from" ? from : to) = value;
        } else if (a == "--at") {
            at = ParseCommandTime(value, true);
            if (!at)
                return usage("--at takes 2008-12-03 or \"2008-12-03 10:20:30\", not \"" + value +
                             "\"");
        } else {
            return usage("unknown option " + a);
        }
    }
    if (what != "alarms" && what != "history" && what != "params")
        return usage("print alarms, history or params");
    bool ok = false;
    const int32_t sysId = system.toInt(&ok);
    if (!ok) return usage("--system N is required");
    if (pdf.isEmpty()) return usage("--pdf FILE is required");
    vm418::RecordCondition period;
    QString error;
    if (!ParseDays(from, to, period, error)) return usage(error);

    vm418::useOdbcConfiguration();  // the data source `vm418ctl db init` set up

    std::optional<vm418::CSystemRset> row;
    if (const int r = vm418::readSystem(db, sysId, row))
        return fail(QString("the database cannot be read (%1)").arg(r));
    if (!row) return fail(QString("there is no system %1 in the System table").arg(sysId));
    const QString title = StationTitle(*row);

    vm418::StationRecords records;
    records.connectionText = db;
    records.SysID = sysId;

    // Everything is read before the first page: a print that cannot be made leaves the
    // file at --pdf as it was.
    const QDateTime now = QDateTime::currentDateTime();
    std::function<int(QPagedPaintDevice&)> paint;
    QString count;
    AlarmListModel alarmRows(records.alarmMap);
    HistoryListModel historyRows(records.historyMap);
    GraphControl graph;
    if (what == "alarms") {
        if (const int r = records.loadAlarms(period))
            return fail(QString("the alarms cannot be read (%1)").arg(r));
        alarmRows.Fill();
        count = QString("%1 alarms").arg(records.alarmMap.size());
        paint = [&](QPagedPaintDevice& device) {
            return PrintAlarmPages(device, title, records.alarmMap, alarmRows.Keys(), graph, now);
        };
    } else if (what == "history") {
        if (const int r = records.loadHistory(period))
            return fail(QString("the history cannot be read (%1)").arg(r));
        historyRows.Fill();
        historyRows.SortBy(2);
        count = QString("%1 events").arg(records.historyMap.size());
        paint = [&](QPagedPaintDevice& device) {
            return PrintHistoryPages(device, title, records.historyMap, historyRows.Keys(), now);
        };
    } else {
        std::vector<std::time_t> dates;
        vm418::RecordCondition upTo;
        upTo.to = at;
        if (const int r = records.listParameterDates(dates, upTo))
            return fail(QString("the parameters cannot be read (%1)").arg(r));
        if (dates.empty())
            return fail(at ? "no parameter block stored at or before " + vm418::formatDbDate(*at)
                           : QString("no parameter block stored"));
        if (const int r = records.loadParameters(vm418::RecordCondition::exactly(dates.front())))
            return fail(QString("the parameters cannot be read (%1)").arg(r));
        count = "the parameters of " + vm418::formatDbDate(dates.front());
        paint = [&](QPagedPaintDevice& device) {
            return PrintParameterPages(device, title, records.parameters, now);
        };
    }
    const int pages = PrintPdfFile(pdf, title, paint, error);
    if (pages == 0) return fail(error);
    std::printf("%s printed on %d page%s to %s\n", qPrintable(count), pages, pages == 1 ? "" : "s",
                qPrintable(pdf));
    return 0;
}

}  // namespace station::cli
