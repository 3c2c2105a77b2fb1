// The station document's windows on the console, for vm418ctl call and autocall: messages,
// status and event texts as lines, one line per monitoring answer, one progress line per
// download; posted commands go back to the document through the event loop.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "log_lines.h"
#include "station_ui.h"
#include "systems.h"
#include "transfer_progress.h"

namespace station {
class CVM418Doc;
}

namespace station::cli {

// The options vm418ctl call and autocall share.
struct SharedOptions {
    SharedOptions();
    QString db;             // --db CONNECTION, else $VM418_DB, else the station's data source
    bool simulate = false;  // --simulate: vm418-sim on a pseudo-terminal stands for the ports
    bool verbose = false;   // --verbose: every event's text, frames included
    std::vector<std::string> simArgs;  // --sim-arg ARG, repeatable
    // Takes these from what the command line gave.
    void Take(const Arguments& args);
};
// `options` followed by those of SharedOptions: the table of call or autocall.
std::vector<Option> WithSharedOptions(std::vector<Option> options);

struct ConsoleOptions {
    bool verbose = false;  // every event's text, frames included
    bool quiet = false;    // only the messages, each after `prefix` (many calls at once)
    QString prefix;
    std::FILE* errors = stdout;  // where errors and warnings go
};

class ConsoleUi : public StationUi {
  public:
    ConsoleUi(vm418::CSystemRset row, ConsoleOptions options);
    ~ConsoleUi() override;

    void MessageBox(const QString& text) override;
    void SetStatusText(const QString& text) override;
    void EventText(const QString& text) override;
    void PostCommand(int id) override;
    void UpdateAllViews(int hint, int key, const QByteArray& frame) override;
    void TransferOpened(FileTransferController& dialog) override;
    void TransferChanged(const FileTransferController& dialog, const ProtocolEvent* cause) override;
    void TransferClosed(const FileTransferController& dialog) override;
    void DownloadEnded(const QString& caption, const QString& failure) override;
    void ChooseSystem(const QString& connectionText,
                      std::function<void(std::optional<vm418::CSystemRset>)> chosen) override;

    // A log line of the call: an error, a warning or, by default, information.
    void Print(const QString& text, LogLevel level = LogLevel::Info);

    CVM418Doc* doc = nullptr;
    int monitoringAnswers = 0;
    QStringList messages;  // what the message boxes said
    QString lastStatus;    // the status bar's last text
    int transfersClosed = 0;
    bool lastTransferOk = false;

  private:
    vm418::CSystemRset row_;
    ConsoleOptions options_;
    std::unique_ptr<TransferProgress> progress_;
};

// A log line of call or autocall on `out`.
void Say(const QString& text, LogLevel level = LogLevel::Info, std::FILE* out = stdout);
// Runs the event loop until `done` holds or `limitMs` passed; returns `done()`.
bool RunEventsUntil(const std::function<bool()>& done, qint64 limitMs);
// The rows of `table` ("Alarms", "History", "Parameters") stored for a system; -1 when the
// database cannot be read.
int StoredRows(const QString& db, const QString& table, int32_t system);
// Stores the call of `system` that began at `started` among its attempts: "collected" when it
// collected everything, else "partial" when a download was stored, else "failed", with the
// reason. A database that refuses it is said on standard error; the call's result stands.
void RecordCall(const QString& db, int32_t system, const QDateTime& started, bool collected,
                bool storedSome, const QString& reason);

}  // namespace station::cli
