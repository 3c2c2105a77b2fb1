// vm418ctl print: a view's printout without a window. The alarms print in the order the
// alarm view lists them, the history sorted by sequence number as the history view shows
// it, the parameters as one page; the period is whole days, both included.

#include "print_command.h"

#include <QApplication>
#include <QPagedPaintDevice>
#include <cstdio>
#include <functional>

#include "alarm_view.h"
#include "command_dates.h"
#include "command_line.h"
#include "db_setup.h"
#include "hist_view.h"
#include "log_lines.h"
#include "par_print.h"
#include "station_print.h"
#include "station_records.h"
#include "systems.h"
#include "vm418_doc.h"

namespace {

// The window system is not needed for pages: without a display the offscreen one draws them.
void UseOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

}  // namespace

namespace station::cli {

namespace {

int RunPrint(const Invocation& call) {
    UseOffscreenWithoutDisplay();
    int argc = call.argc;  // the application keeps a reference
    QApplication app(argc, call.argv);
    const QString what = call.args.operands.value(0);
    if (what != "alarms" && what != "history" && what != "params")
        return UsageError(call.spec, "print alarms, history or params");
    int32_t sysId = 0;
    int exitCode = 0;
    if (!SystemArgument(call, sysId, exitCode)) return exitCode;
    const QString pdf = call.args.value("--pdf");
    if (pdf.isEmpty()) return UsageError(call.spec, "--pdf FILE is required");
    std::optional<std::time_t> at;
    if (call.args.has("--at")) {
        at = ParseCommandTime(call.args.value("--at"), true);
        if (!at)
            return UsageError(call.spec,
                              "--at takes 2008-12-03 or \"2008-12-03 10:20:30\", not \"" +
                                  call.args.value("--at") + "\"");
    }
    vm418::RecordCondition period;
    QString error;
    if (!ParseDays(call.args.value("--from"), call.args.value("--to"), period, error))
        return UsageError(call.spec, error);
    QString db = call.args.value(kDbOption.name, vm418::defaultConnectionText());
    if (const int r = CheckDatabase(call.spec, db, DbUse::kRead); r >= 0) return r;
    std::optional<vm418::CSystemRset> row;
    if (const int r = vm418::readSystem(db, sysId, row))
        return Failure(call.spec, QString("the database cannot be read (%1)").arg(r));
    if (!row) return Failure(call.spec, QString("no system %1").arg(sysId));
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
            return Failure(call.spec, QString("the alarms cannot be read (%1)").arg(r));
        alarmRows.Fill();
        count = QString("%1 alarms").arg(records.alarmMap.size());
        paint = [&](QPagedPaintDevice& device) {
            return PrintAlarmPages(device, title, records.alarmMap, alarmRows.Keys(), graph, now);
        };
    } else if (what == "history") {
        if (const int r = records.loadHistory(period))
            return Failure(call.spec, QString("the history cannot be read (%1)").arg(r));
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
            return Failure(call.spec, QString("the parameters cannot be read (%1)").arg(r));
        if (dates.empty())
            return Failure(call.spec,
                           at ? "no parameter block stored at or before " + vm418::formatDbDate(*at)
                              : QString("no parameter block stored"));
        if (const int r = records.loadParameters(vm418::RecordCondition::exactly(dates.front())))
            return Failure(call.spec, QString("the parameters cannot be read (%1)").arg(r));
        count = "the parameters of " + vm418::formatDbDate(dates.front());
        paint = [&](QPagedPaintDevice& device) {
            return PrintParameterPages(device, title, records.parameters, now);
        };
    }
    const int pages = PrintPdfFile(pdf, title, paint, error);
    if (pages == 0) return Failure(call.spec, error);
    std::printf("%s printed on %d page%s to %s\n", qPrintable(count), pages, pages == 1 ? "" : "s",
                qPrintable(pdf));
    return kExitOk;
}

}  // namespace

const CommandSpec kPrintCommand{
    "print",
    "alarms|history|params --system N [--from DATE] [--to DATE] [--at DATETIME] --pdf FILE",
    "The pages the alarm, history or parameter view prints, from the database, as a PDF\n"
    "file: the alarms and history of whole days from --from to --to, the parameter block\n"
    "stored at or before --at.",
    1,
    {kSystemOption,
     {"--from", "DATE", "from this day on (2008-12-03)"},
     {"--to", "DATE", "up to this day, included"},
     {"--at", "DATETIME", "the parameters stored at or before it"},
     {"--pdf", "FILE", "the PDF file to write"},
     kDbOption},
    RunPrint};

}  // namespace station::cli
