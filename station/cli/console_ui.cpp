#include "console_ui.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QSysInfo>
#include <QTimer>
#include <QVariant>
#include <algorithm>
#include <cstdio>

#include "call_attempts.h"
#include "monitoring_record.h"
#include "station_db.h"
#include "vm418_doc.h"

namespace station::cli {

SharedOptions::SharedOptions() : db(vm418::defaultConnectionText()) {}

std::vector<Option> WithSharedOptions(std::vector<Option> options) {
    options.insert(options.end(),
                   {{"--simulate", nullptr, "call vm418-sim on a pseudo-terminal, not the ports"},
                    {"--sim-arg", "ARG", "pass ARG to the simulator (repeatable)", true},
                    {"--verbose", nullptr, "print every event's text, frames included"},
                    kDbOption});
    return options;
}

void SharedOptions::Take(const Arguments& args) {
    simulate = args.has("--simulate");
    verbose = args.has("--verbose");
    db = args.value(kDbOption.name, db);
    for (const QString& v : args.values("--sim-arg"))
        simArgs.push_back(v.toStdString());
}

void Say(const QString& text, LogLevel level, std::FILE* out) {
    Log(level, text, out);
}

bool RunEventsUntil(const std::function<bool()>& done, qint64 limitMs) {
    // The thread sleeps between events: what `done` looks at changes in an event of this
    // thread (a protocol event, a timer, a socket), and each of them wakes the wait, as the
    // deadline's timer does. (processEvents with a time limit never sleeps: a call kept a
    // processor core busy all along.)
    constexpr qint64 kLongestTimerMs = 3600000;
    QElapsedTimer timer;
    timer.start();
    QTimer deadline;
    deadline.setSingleShot(true);
    while (!done()) {
        const qint64 left = limitMs - timer.elapsed();
        if (left <= 0) break;
        if (!deadline.isActive()) deadline.start(int(std::min(left, kLongestTimerMs)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

int StoredRows(const QString& db, const QString& table, int32_t system) {
    vm418::DbConnection conn(db);
    if (!conn.open()) return -1;
    QSqlQuery q(conn.db());
    q.prepare("SELECT COUNT(*) FROM " + table + " WHERE SysID = ?");
    q.addBindValue(system);
    return q.exec() && q.next() ? q.value(0).toInt() : -1;
}

ConsoleUi::ConsoleUi(vm418::CSystemRset row, ConsoleOptions options)
    : row_(std::move(row)), options_(std::move(options)) {}

ConsoleUi::~ConsoleUi() = default;

void ConsoleUi::Print(const QString& text, LogLevel level) {
    std::FILE* out = level <= LogLevel::Warning ? options_.errors : stdout;
    if (progress_ && out == stdout) {
        progress_->PrintAbove(LogLines(level, text, stdout).toStdString());
    } else {
        // A progress line drawn on the terminal is wiped first; its next figures draw it again.
        if (progress_ && TransferProgress::IsTerminal(stdout)) {
            std::fputs("\r\033[K", stdout);
            std::fflush(stdout);
        }
        Say(options_.prefix + text, level, out);
    }
}

// What the window shows in a message box is mostly a failure or a warning ("Can't open
// COM port", "Parameters validation failed").
void ConsoleUi::MessageBox(const QString& text) {
    messages << text;
    Print(text, LogLevel::Warning);
}

void ConsoleUi::SetStatusText(const QString& text) {
    lastStatus = text;
    if (!options_.quiet || options_.verbose) Print(text);
}

void ConsoleUi::EventText(const QString& text) {
    // Frames and the modem's echo are the progress and monitoring lines' business; a
    // connection text is already shown as the status.
    const bool connection = text == "Connected" || text.startsWith("Disconnected ");
    const bool noise = text.startsWith("Command 0x") || text.startsWith("Raw data:") || connection;
    if (options_.verbose || (!options_.quiet && !noise)) Print(text);
}

void ConsoleUi::PostCommand(int id) {
    QTimer::singleShot(0, doc, [this, id] { doc->OnCommand(id); });
}

void ConsoleUi::UpdateAllViews(int hint, int, const QByteArray& frame) {
    if (hint != HINT_MONITORING) return;
    ++monitoringAnswers;
    const auto record = DecodeMonitoringRecord(reinterpret_cast<const uint8_t*>(frame.constData()),
                                               static_cast<size_t>(frame.size()));
    if (!record) {
        Print(QString("Monitoring answer of %1 bytes cannot be read").arg(frame.size()));
        return;
    }
    if (!options_.quiet || options_.verbose) Print(MonitoringLine(*record, doc->monitoringStopped));
    // As the monitoring view: a new alarm waiting is downloaded.
    if (NewAlarmWaiting(*record)) PostCommand(ID_DOWNLOAD_LAST_ALARM);
}

void ConsoleUi::TransferOpened(FileTransferController& c) {
    if (options_.quiet) return;
    progress_ = std::make_unique<TransferProgress>(stdout, TransferProgress::IsTerminal(stdout),
                                                   c.fileName);
}

void ConsoleUi::TransferChanged(const FileTransferController&, const ProtocolEvent* cause) {
    if (progress_ && cause) progress_->OnEvent(*cause);
}

void ConsoleUi::TransferClosed(const FileTransferController& c) {
    if (progress_) progress_->Finish();
    progress_.reset();
    const bool ok = c.outcome() == FileTransferController::Outcome::Ok;
    ++transfersClosed;
    lastTransferOk = ok;
}

// One line per download once its file is stored, or why it is not: "Downloading history
// file: failed - <reason>", also among the quiet lines of autocall.
void ConsoleUi::DownloadEnded(const QString& caption, const QString& failure) {
    if (failure.isEmpty()) {
        if (!options_.quiet) Print(caption + ": done");
    } else {
        Print(caption + ": failed - " + failure, LogLevel::Error);
    }
}

void ConsoleUi::ChooseSystem(const QString&,
                             std::function<void(std::optional<vm418::CSystemRset>)> chosen) {
    chosen(row_);
}

void RecordCall(const QString& db, int32_t system, const QDateTime& started, bool collected,
                bool storedSome, const QString& reason) {
    vm418::CallAttempt attempt;
    attempt.SysID = system;
    attempt.Started = started;
    attempt.Ended = QDateTime::currentDateTime();
    attempt.Result = collected    ? vm418::kCallCollected
                     : storedSome ? vm418::kCallPartial
                                  : vm418::kCallFailed;
    attempt.Reason = reason;
    attempt.Station = QSysInfo::machineHostName();
    QString why;
    if (vm418::recordCallAttempt(db, attempt, &why) != 0)
        std::fprintf(stderr, "system %d: the call's result was not stored (%s)\n", system,
                     qPrintable(why.simplified()));
}

}  // namespace station::cli
