// vm418ctl call: one system called as an operator would, through the station document:
// the call, the on-connect sequence, monitoring, then the downloads, writes and monitoring
// asked for, each through the document's own commands; every event's text printed, one
// line per monitoring answer, one progress line per download; then the hang-up.
#include "call_command.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTimer>
#include <cstdio>
#include <map>
#include <optional>

#include "console_ui.h"
#include "db_setup.h"
#include "simulator_process.h"
#include "station_db.h"
#include "systems.h"
#include "vm418_doc.h"

namespace station::cli {

namespace {

constexpr qint64 kConnectLimitMs = 180000;  // dialling, on-connect downloads and the first poll
constexpr qint64 kStepLimitMs = 600000;     // one asked-for step

const std::map<QString, int> kDownloads = {
    {"params", DOWNLOAD_PARAMETERS},       {"history", DOWNLOAD_HISTORY},
    {"alarms", DOWNLOAD_ALARM_FILE},       {"last", DOWNLOAD_LAST_ALARM},
    {"previous", DOWNLOAD_PREVIOUS_ALARM}, {"next", DOWNLOAD_NEXT_ALARM},
};

struct Options : SharedOptions {
    int system = -1;
    QString download;
    bool writeParams = false;
    bool defaults = false;
    int monitorS = 0;
};

std::optional<Options> Parse(const Arguments& args, QString& error) {
    Options o;
    o.Take(args);
    o.writeParams = args.has("--write-params");
    o.defaults = args.has("--defaults");
    o.download = args.value("--download");
    for (const auto& [name, value] :
         {std::pair{"--system", &o.system}, {"--monitor", &o.monitorS}}) {
        if (!args.has(name)) continue;
        bool ok = false;
        *value = args.value(name).toInt(&ok);
        if (!ok || *value < 0) {
            error = QString(name) + " needs a whole number, not \"" + args.value(name) + "\"";
            return std::nullopt;
        }
    }
    if (o.system < 0) {
        error = "--system N is needed";
        return std::nullopt;
    }
    if (!o.download.isEmpty() && o.download != "all" && !kDownloads.count(o.download)) {
        error = "--download takes all, params, history, alarms, last, previous or next";
        return std::nullopt;
    }
    return o;
}

int RunCall(const Invocation& call) {
    TimeLogLines();
    QString error;
    const auto parsed = Parse(call.args, error);
    if (!parsed) return UsageError(call.spec, error);
    const Options& o = *parsed;
    QString db = o.db;
    if (const int r = CheckDatabase(call.spec, db, DbUse::kWrite); r >= 0) return r;

    std::optional<vm418::CSystemRset> row;
    if (vm418::readSystem(o.db, o.system, row) != 0)
        return Failure(call.spec, "the database cannot be read (" + vm418::maskSecrets(o.db) +
                                      "): " + DatabaseHint());
    if (!row) return Failure(call.spec, QString("no system %1").arg(o.system));

    SimulatorProcess sim;
    if (o.simulate) {
        std::vector<std::string> simArgs = {"--password", row->Password.toStdString()};
        simArgs.insert(simArgs.end(), o.simArgs.begin(), o.simArgs.end());
        if (!sim.Start(FindSimulator(call.argv[0]), simArgs))
            return Failure(call.spec, "the simulator did not start");
        Say(QString("Simulated station on %1").arg(sim.path().c_str()));
    }

    ConsoleUi ui(*row, {o.verbose, false, {}, stderr});
    CVM418Doc doc(ui, vm418::prepareWorkingFolder());
    ui.doc = &doc;
    doc.records.connectionText = o.db;
    doc.downloadRepeats = 1;
    doc.SelectSystem();
    if (o.simulate) doc.serial.port = sim.path();  // the simulator's line stands for the port

    QTimer poll;  // the monitoring view's 50 ms poll timer
    poll.callOnTimeout(&doc, [&] { doc.PollIfReady(); });
    poll.start(50);

    // What the system had stored before the call: the summary tells what the call added.
    const QDateTime started = QDateTime::currentDateTime();
    const int parametersBefore = StoredRows(o.db, "Parameters", o.system);
    const int historyBefore = StoredRows(o.db, "History", o.system);
    const int alarmsBefore = StoredRows(o.db, "Alarms", o.system);

    doc.OnCommand(ID_CALL);
    const bool monitoring =
        RunEventsUntil([&] { return doc.linkState == LINK_MONITORING || doc.OffLine(); },
                       kConnectLimitMs) &&
        doc.linkState == LINK_MONITORING;
    bool ok = monitoring;
    QString reason;  // of the first failure, for the system's call attempts
    const auto failure = [&](const QString& text) {
        Say(text, LogLevel::Error, stderr);
        if (reason.isEmpty()) reason = text;
    };
    if (!monitoring) {
        const QString why =
            !ui.messages.isEmpty() ? ui.messages.last().simplified() : ui.lastStatus.simplified();
        failure("The unit could not be reached" + (why.isEmpty() ? QString() : " (" + why + ")"));
    }

    // A download counts when its file was received, read and stored.
    const auto download = [&](int kind) {
        int result = 0;
        const auto failuresBefore = doc.downloadFailures.size();
        doc.Download(kind, doc.monitorRetries, [&](int r) { result = r; });
        return RunEventsUntil([&] { return result != 0; }, kStepLimitMs) && result == IDOK &&
               doc.downloadFailures.size() == failuresBefore;
    };
    if (ok && o.download == "all") {
        int result = 0;
        doc.DownloadAll([&](int r) { result = r; });
        ok = RunEventsUntil([&] { return result != 0; }, kStepLimitMs) && result == IDOK;
    } else if (ok && !o.download.isEmpty()) {
        ok = download(kDownloads.at(o.download));
    }
    // A write or defaults: the unit confirms, then the document reads its parameters back.
    // Counted as the transfer dialog closes: a fast one may open and close between looks.
    // A block that fails validation is never sent: that ends the step at once.
    const auto readBackAfter = [&](const std::function<void()>& command) {
        const int before = ui.transfersClosed;
        const auto messagesBefore = ui.messages.size();
        const auto refused = [&] {
            return ui.messages.mid(messagesBefore).contains(kParametersValidationFailed);
        };
        command();
        const bool answered = RunEventsUntil(
            [&] {
                return ui.transfersClosed > before || doc.linkState == LINK_OFF_LINE ||
                       doc.lastStatus != 0 || refused();
            },
            kStepLimitMs);
        return answered && !refused() && ui.transfersClosed > before && ui.lastTransferOk &&
               doc.lastStatus == 0;
    };
    if (ok && o.writeParams) {
        RunEventsUntil(
            [&] {
                return (doc.linkState == LINK_MONITORING || doc.linkState == LINK_CONNECTED) &&
                       doc.Busy().isEmpty();
            },
            kStepLimitMs);
        ok = readBackAfter([&] { doc.OnCommand(ID_WRITE_PARAMETERS); });
        if (!ok) failure("The parameters were not written");
    }
    if (ok && o.defaults) {
        RunEventsUntil(
            [&] {
                return (doc.linkState == LINK_MONITORING || doc.linkState == LINK_CONNECTED) &&
                       doc.Busy().isEmpty();
            },
            kStepLimitMs);
        ok = readBackAfter([&] { doc.OnCommand(ID_DEFAULT_PARAMETERS); });
        if (!ok) failure("The default parameters were not loaded");
    }
    if (ok && o.monitorS > 0) {
        // Monitoring runs again after the steps above unless it was stopped for good.
        if (doc.monitorRetries == 0) doc.OnCommand(ID_START_MONITORING);
        const int before = ui.monitoringAnswers;
        RunEventsUntil([] { return false; }, o.monitorS * 1000LL);
        ok = ui.monitoringAnswers > before;
        if (!ok) failure("No monitoring answer came");
    }

    if (doc.storeFailures > 0) {
        failure("The database did not take everything downloaded");
        ok = false;
    }
    // The on-connect downloads count as much as those asked for.
    if (!doc.downloadFailures.isEmpty()) {
        Say(QString("%1 of the downloads failed").arg(doc.downloadFailures.size()), LogLevel::Error,
            stderr);
        if (reason.isEmpty()) reason = doc.downloadFailures.join("; ");
        ok = false;
    }
    // A call that did all it was asked is the system's last contact (autocall counts from it).
    if (ok) vm418::setLastContactTime(o.db, o.system, std::time(nullptr));
    doc.OnCommand(ID_HANG_UP);
    if (!ok && reason.isEmpty()) reason = QStringLiteral("the download was not completed");
    RecordCall(o.db, o.system, started, ok, doc.downloadsStored > 0, reason);
    const int parameters = StoredRows(o.db, "Parameters", o.system);
    const int history = StoredRows(o.db, "History", o.system);
    const int alarms = StoredRows(o.db, "Alarms", o.system);
    Say(QString("Stored for system %1: %2 parameter blocks, %3 history events, %4 alarms "
                "(%5, %6 and %7 new)")
            .arg(o.system)
            .arg(parameters)
            .arg(history)
            .arg(alarms)
            .arg(parameters - parametersBefore)
            .arg(history - historyBefore)
            .arg(alarms - alarmsBefore));
    return ok ? kExitOk : kExitFailure;
}

}  // namespace

const CommandSpec kCallCommand{
    "call",
    "--system N [--download all|params|history|alarms|last|previous|next]\n"
    "         [--write-params] [--defaults] [--monitor SECONDS]\n"
    "         [--simulate [--sim-arg ARG]...] [--verbose]",
    "Calls system N as an operator would: the on-connect downloads, then the work asked for,\n"
    "then the hang-up. Its lines go to standard output, its failures to standard error.",
    0,
    WithSharedOptions(
        {kSystemOption,
         {"--download", "KIND", "all, params, history, alarms, last, previous or next"},
         {"--write-params", nullptr, "write the stored parameters to the unit"},
         {"--defaults", nullptr, "load the unit's default parameters"},
         {"--monitor", "SECONDS", "monitor for this long"}}),
    RunCall};

}  // namespace station::cli
