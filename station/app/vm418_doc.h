// CVM418Doc, connection side: the connection to one VM418 unit. It chooses the system to
// call, dials and hangs up, reacts to every protocol event, runs the monitoring cycle and
// the downloads of the unit's files with their hand-over to the records and the database,
// writes parameters and loads defaults. QtCore only: what it shows or asks goes through
// StationUi. Its waits are timers, one at most per purpose, each ended by a hang-up, a lost
// line, a new call or the document's end; protocol events that arrive during a wait are
// handled after it, in order, and events of a connection that has ended are dropped.
#pragma once

#include <QByteArray>
#include <QEvent>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>

#include "file_trans_controller.h"
#include "serial.h"
#include "station_records.h"
#include "station_ui.h"
#include "xlnk_protocol.h"

namespace station {

// The posted event that carries a protocol event block to the window thread.
constexpr QEvent::Type WM_PROTOCOL_EVENT = static_cast<QEvent::Type>(QEvent::User + 1);

class ProtocolQEvent : public QEvent {
  public:
    explicit ProtocolQEvent(std::unique_ptr<ProtocolEvent> e, uint64_t connectionNumber = 0)
        : QEvent(WM_PROTOCOL_EVENT), block(std::move(e)), connection(connectionNumber) {}
    std::unique_ptr<ProtocolEvent> block;
    uint64_t connection;  // the document's connection the event was posted in
};

// Posts each protocol event from the link's threads to a QObject on the window thread,
// marked with the connection it belongs to.
class ProtocolEventPoster : public ProtocolEventSink {
  public:
    explicit ProtocolEventPoster(QObject* target) : target_(target) {}
    void OnProtocolEvent(std::unique_ptr<ProtocolEvent> event) override;
    std::atomic<uint64_t> connection{0};

  private:
    QObject* target_;
};

// linkState values.
constexpr int LINK_OFF_LINE = 0;
constexpr int LINK_CONNECTED = 1;
constexpr int LINK_MONITORING = 2;
constexpr int LINK_DISCRIMINATOR = 3;

// Download kinds (also the linkState while one runs).
enum DownloadKind : int {
    DOWNLOAD_LAST_ALARM = 7,
    DOWNLOAD_PREVIOUS_ALARM = 8,
    DOWNLOAD_NEXT_ALARM = 9,
    DOWNLOAD_HISTORY = 10,
    DOWNLOAD_ALARM_FILE = 11,
    DOWNLOAD_PARAMETERS = 12,
};

// The code asked for, the dialog's caption and the file it is saved as in the working folder.
struct DownloadSpec {
    const char* code;
    const char* caption;
    const char* file;
};
const DownloadSpec* FindDownload(int kind);

// Dialog results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

constexpr uint16_t kNoCommand = 0xFFFF;  // pendingCommand: nothing to send instead of a poll
constexpr int PENDING_DEFAULTS = 0xC010;
constexpr int PENDING_WRITE_PARAMETERS = 0xC0F0;

// The text the document composes for an event (without its line end).
QString EventText(uint16_t status, uint16_t command);

// The message box text of a parameter block that is not written.
inline constexpr char kParametersValidationFailed[] = "Parameters validation failed";

// The document's title for a system: its name and serial number, as frames and printouts
// show it.
QString StationTitle(const vm418::CSystemRset& row);

class CVM418Doc : public QObject {
  public:
    // `workFolder` ends in '/' ("" for the current folder); the downloads land there.
    CVM418Doc(StationUi& ui, QString workFolder = vm418::prepareWorkingFolder(),
              QObject* parent = nullptr);
    ~CVM418Doc() override;

    // Menu commands.
    void SelectSystem();
    void Call();
    void HangUp();
    void OnConnect();
    void StartMonitoring();
    void StopMonitoring();
    // `resume`: start monitoring again afterwards; `done` gets IDOK, or IDCANCEL also when
    // nothing was done. A transfer that fails while the line holds is asked again
    // `downloadRepeats` times before it counts as failed.
    void Download(int kind, int resume, std::function<void(int)> done = {});
    // Monitoring starts again afterwards when it ran before, unless `resumeMonitoring` is
    // false (a call that ends once it has everything).
    void DownloadAll(std::function<void(int)> done = {}, bool resumeMonitoring = true);
    void WriteParameters();
    void DefaultParameters();
    void OpenDiscriminatorScreen();
    void DiscriminatorScreenClosed();
    void GetSpecificFile();
    // "Open files": the downloaded files of the working folder read, checked and stored for
    // the document's system, with the messages of a download's hand-over.
    void OpenFiles();
    // A posted or chosen menu command; false when the document does not handle it.
    bool OnCommand(int id);
    bool IsCommandEnabled(int id) const;

    // "COM port and modem setup": hang up, the serial settings dialog, then the write-back.
    void SerialSettings();
    // After the serial settings dialog, however it closed: the port settings text of the
    // current line settings and the modem initialisation text go back to the system's row.
    int WriteBackSerialSettings();
    // Takes the system's row as the systems dialog's "Select" gives it.
    void UseSystem(const vm418::CSystemRset& row);
    // The protocol event handler (the child frame hands each posted block here).
    void OnProtocolEvent(const ProtocolEvent& block);

    // Connection members the views read.
    int linkState = LINK_OFF_LINE;
    int monitorRetries = 0;
    uint16_t pendingCommand = kNoCommand;
    int pendingAction = 0;
    bool pollReady = false;
    bool monitoringStopped = false;
    int lastStatus = 0;
    QByteArray lastFrameData;  // the data of the last frame, whole
    QString eventText;
    int storeFailures = 0;  // downloads whose records the database did not take
    // Every download of this document that did not end with its file received, read and
    // stored, on-connect's too: "Downloading history file: failed - <reason>".
    QStringList downloadFailures;
    int downloadsStored = 0;  // downloads whose file was received, read and stored
    // vm418ctl asks a failed download once more in the same call; in the window the
    // operator decides (0).
    int downloadRepeats = 0;

    int32_t systemId = 0;
    QString phoneNumber;
    QString password;
    QString title;
    QString tempDir;
    vm418::StationRecords records;
    CSerial serial;
    XLNKProtocol protocol;

    // The document's waits, one at most of each.
    enum class WaitFor { Step, Transfer, Discriminator, Dial, Count };
    bool Waiting() const;
    bool Waiting(WaitFor purpose) const;
    // No port is open and no call is about to dial: the call has ended or never began.
    bool OffLine() const { return serial.Handle() < 0 && !Waiting(WaitFor::Dial); }
    // What a new request would have to wait for ("" when the unit is free for one).
    QString Busy() const;
    bool TransferDialogOpen() const { return transferDialog_ != nullptr; }
    FileTransferController* TransferDialog() { return transferDialog_.get(); }
    bool DiscriminatorScreenOpen() const { return discrDialog_; }
    // Sends a command of the document (5000 ms); a failure is logged, not acted on.
    int Send(uint16_t command, const QByteArray& data = {});
    // The monitoring view's 50 ms timer: the next poll once the last answer has come.
    bool PollIfReady();

  protected:
    bool event(QEvent* e) override;

  private:
    // Runs `then` after `ms` without blocking, unless the connection has changed by then;
    // an earlier wait of the same purpose is cancelled. A wait that is cancelled or finds
    // the connection changed runs `dropped` instead. Protocol events meanwhile wait.
    void Wait(WaitFor purpose, int ms, std::function<void()> then,
              std::function<void()> dropped = {});
    void CancelWaits();
    void HandleQueued();
    // A new connection (a call or a hang-up): waits, queued events and any transfer of the
    // old one end.
    void NewConnection(const QString& why);
    void EndCall(const QString& why);
    void OpenAndDial();
    // A request of the menu or a view while another runs is refused with a status text.
    bool Refused(const char* request);
    std::unique_ptr<FileTransferController> NewTransferDialog();
    void OpenTransfer(std::unique_ptr<FileTransferController> dialog,
                      std::function<void(int, const QString&)> closed);
    void StartTransfer();
    void TransferEvent(const ProtocolEvent& block);
    void CheckTransferClosed();
    // The received file read and stored; "" or why not.
    QString HandOver(int kind);
    void DownloadEnded(const DownloadSpec& spec, const QString& failure);
    QString Stored(int result);
    void FinishDownload(int result, int resume, const std::function<void(int)>& done);
    void DownloadTimes(int kind, int resume, std::function<void(int)> done, int repeats);
    bool lastTransferUnsaved_ = false;  // the last transfer's file came but was not saved
    void RunPendingAction();
    void SendStartMonitoring();
    void SendParametersIfValid();
    void UpdateAllViews(int hint, int key = 0);

    StationUi& ui_;
    ProtocolEventPoster poster_;
    struct PendingWait {
        QTimer* timer = nullptr;
        std::function<void()> dropped;  // run when the wait is cancelled instead of ending
    };
    void Drop(WaitFor purpose);
    std::array<PendingWait, static_cast<size_t>(WaitFor::Count)> waits_{};
    QString sequence_;  // "the on-connect downloads" or "Download all" while one runs
    bool monitoringStarting_ = false;  // 0xC0A0 sent, its answer not yet come
    std::deque<std::unique_ptr<ProtocolEvent>> queued_;
    std::unique_ptr<FileTransferController> transferDialog_;
    std::function<void(int, const QString&)> transferClosed_;  // result, why it failed
    bool discrDialog_ = false;
};

}  // namespace station
