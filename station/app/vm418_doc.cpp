#include "vm418_doc.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <map>

#include "port_settings_text.h"

// Every event's text is logged here; shown with QT_LOGGING_RULES="station.link.info=true".
Q_LOGGING_CATEGORY(lcStationLink, "station.link", QtWarningMsg)

namespace station {

namespace {

constexpr uint32_t kCommandTimeoutMs = 5000;  // every command of the document
// After the modem's CONNECT the unit takes the password line and begins to listen; it
// says nothing when it has, so the first request waits this long.
constexpr int kAfterConnectMs = 500;
// A download the unit ended with its end frame, answered, leaves nothing on the line: the
// next step of a sequence follows at once. After one that failed, or before monitoring
// starts again after a download of the menu (a moment for the operator's next request),
// the pause is longer, so that what is still on its way has passed.
constexpr int kNextStepMs = 0;
constexpr int kStepPauseMs = 500;
constexpr int kDiscriminatorPauseMs = 300;
// A modem takes a hang-up for one only when DTR stays low for a moment: a new call right
// after a hang-up keeps the line down this long before the port opens again.
constexpr qint64 kLineDownMs = 300;
constexpr int kMaxMonitorRetries = 5;  // automatic monitoring restarts in a row

constexpr uint16_t CMD_LOAD_DEFAULTS = 0xC010;
constexpr uint16_t CMD_DISCRIMINATOR_SCREEN = 0xC030;
constexpr uint16_t CMD_START_MONITORING = 0xC0A0;
constexpr uint16_t CMD_MONITORING_DATA = 0xC0A1;
constexpr uint16_t CMD_STOP_MONITORING = 0xC0B0;
constexpr uint16_t ANS_DEFAULTS_LOADED = 0x4010;
constexpr uint16_t ANS_MONITORING_STARTED = 0x40A0;
constexpr uint16_t ANS_MONITORING_DATA = 0x40A1;
constexpr uint16_t ANS_MONITORING_STOPPED = 0x40B0;
constexpr uint16_t ANS_PARAMETERS_WRITTEN = 0x40F0;

constexpr DownloadSpec kDownloads[] = {
    {"ACRR", "Downloading last alarm", "AlarmRec.tmp"},
    {"APRV", "Downloading previous alarm", "AlarmRec.tmp"},
    {"ANXT", "Downloading next alarm", "AlarmRec.tmp"},
    {"HIST", "Downloading history file", "history.418"},
    {"ALAR", "Downloading alarm file", "alarmfi.418"},
    {"PARA", "Downloading parameters file", "sys_par.418"},
};

// Since when each port was closed by the end of a call, by its name: the next call on it,
// of this document or another (autocall calls the systems of a port one after the other),
// keeps the line down long enough.
QElapsedTimer& LineDown(const std::string& port) {
    static std::map<std::string, QElapsedTimer> down;
    return down[port];
}

int PauseAfter(int downloadResult) {
    return downloadResult == IDOK ? kNextStepMs : kStepPauseMs;
}

bool IsMonitoringCommand(uint16_t command) {
    return command == ANS_MONITORING_STARTED || command == CMD_START_MONITORING ||
           command == ANS_MONITORING_DATA || command == CMD_MONITORING_DATA;
}

}  // namespace

const DownloadSpec* FindDownload(int kind) {
    if (kind < DOWNLOAD_LAST_ALARM || kind > DOWNLOAD_PARAMETERS) return nullptr;
    return &kDownloads[kind - DOWNLOAD_LAST_ALARM];
}

QString EventText(uint16_t status, uint16_t command) {
    if ((status & 0xFF00) == XLNK_ERR_MODEM)
        return "Disconnected " + QString::fromStdString(ModemResultText(status & 0xFF));
    switch (status) {
        case XLNK_MODEM_CONNECTED:
            return "Connected";
        case XLNK_ERR_TIMEOUT:
            return QString::asprintf("Error: Timeout command 0x%X ", command);
        case XLNK_ERR_FILE_TRANSFER_INTERRUPTED:
            return "XLNK_ERR_FILE_TRANSFER_INTERRUPTED";
        case XLNK_ERR_UNEXPECTED_COMMAND:
            return QString::asprintf("Error: Unexpected command 0x%X ", command);
        default:
            return QString::asprintf("Error: Error ID 0x%X command ID 0x%X ", status, command);
    }
}

void ProtocolEventPoster::OnProtocolEvent(std::unique_ptr<ProtocolEvent> event) {
    QCoreApplication::postEvent(target_, new ProtocolQEvent(std::move(event), connection.load()));
}

CVM418Doc::CVM418Doc(StationUi& ui, QString workFolder, QObject* parent)
    : QObject(parent),
      tempDir(std::move(workFolder)),
      records(tempDir, [&ui](const QString& text) { ui.MessageBox(text); }),
      ui_(ui),
      poster_(this) {
    serial.SetCom(&protocol);
    protocol.SetWindow(&poster_);
    protocol.SetWorkFolder(tempDir.isEmpty() ? std::string(".") : tempDir.toStdString());
}

CVM418Doc::~CVM418Doc() {
    // The link's threads stop posting before the poster and this object go; no wait
    // outlives the document.
    protocol.SetWindow(nullptr);
    serial.Close();
    for (PendingWait& w : waits_) delete w.timer;
}

bool CVM418Doc::event(QEvent* e) {
    if (e->type() != WM_PROTOCOL_EVENT) return QObject::event(e);
    auto* posted = static_cast<ProtocolQEvent*>(e);
    // Posted before the hang-up or the new call that ended its connection: nothing to do.
    if (posted->connection != poster_.connection) return true;
    auto block = std::move(posted->block);
    if (Waiting() || !queued_.empty())
        queued_.push_back(std::move(block));
    else
        OnProtocolEvent(*block);
    return true;
}

bool CVM418Doc::Waiting() const {
    return std::any_of(waits_.begin(), waits_.end(),
                       [](const PendingWait& w) { return w.timer != nullptr; });
}

bool CVM418Doc::Waiting(WaitFor purpose) const {
    return waits_[static_cast<size_t>(purpose)].timer != nullptr;
}

void CVM418Doc::Wait(WaitFor purpose, int ms, std::function<void()> then,
                     std::function<void()> dropped) {
    Drop(purpose);
    const auto i = static_cast<size_t>(purpose);
    PendingWait& w = waits_[i];
    w.timer = new QTimer(this);
    w.timer->setSingleShot(true);
    w.dropped = std::move(dropped);
    const uint64_t connection = poster_.connection;
    connect(w.timer, &QTimer::timeout, this, [this, i, connection, then = std::move(then)] {
        PendingWait& ended = waits_[i];
        ended.timer->deleteLater();
        ended.timer = nullptr;
        const auto instead = std::move(ended.dropped);
        ended.dropped = nullptr;
        if (connection == poster_.connection)
            then();
        else if (instead)
            instead();
        HandleQueued();
    });
    w.timer->start(ms);
}

void CVM418Doc::Drop(WaitFor purpose) {
    PendingWait& w = waits_[static_cast<size_t>(purpose)];
    if (w.timer == nullptr) return;
    w.timer->stop();
    w.timer->deleteLater();
    w.timer = nullptr;
    const auto dropped = std::move(w.dropped);
    w.dropped = nullptr;
    if (dropped) dropped();
}

void CVM418Doc::CancelWaits() {
    // A dropped wait's own ending may start another wait; that one goes too.
    while (Waiting())
        for (size_t i = 0; i < waits_.size(); ++i) Drop(static_cast<WaitFor>(i));
}

void CVM418Doc::NewConnection(const QString& why) {
    // The transfer of the ended connection closes with the reason; whoever waited for it
    // hears IDCANCEL.
    if (transferDialog_) {
        transferDialog_->End(why.toStdString());
        CheckTransferClosed();
    }
    ++poster_.connection;
    sequence_.clear();
    monitoringStarting_ = false;
    CancelWaits();
    queued_.clear();
}

QString CVM418Doc::Busy() const {
    if (transferDialog_) return QString::fromStdString(transferDialog_->caption);
    if (!sequence_.isEmpty()) return sequence_;
    if (pendingAction != 0) return QStringLiteral("a request waiting for monitoring to stop");
    if (monitoringStarting_) return QStringLiteral("the start of monitoring");
    if (discrDialog_ || Waiting(WaitFor::Discriminator) || linkState == LINK_DISCRIMINATOR)
        return QStringLiteral("the discriminator screen");
    return {};
}

bool CVM418Doc::Refused(const char* request) {
    const QString busy = Busy();
    if (busy.isEmpty()) {
        // A restart of monitoring still to come gives way: every request starts monitoring
        // again itself once it is done.
        Drop(WaitFor::Step);
        return false;
    }
    ui_.SetStatusText(QString("%1 not done: the unit is busy with %2").arg(request, busy));
    // A view that waits for an answer to the request takes its buttons back.
    UpdateAllViews(HINT_CONNECTION);
    return true;
}

void CVM418Doc::HandleQueued() {
    // A step may start the next wait; the rest then waits for that one.
    while (!Waiting() && !queued_.empty()) {
        const auto block = std::move(queued_.front());
        queued_.pop_front();
        OnProtocolEvent(*block);
    }
}

int CVM418Doc::Send(uint16_t command, const QByteArray& data) {
    const int r =
        protocol.SendCommand(command, static_cast<size_t>(data.size()),
                             reinterpret_cast<const uint8_t*>(data.constData()), kCommandTimeoutMs);
    if (r != 0) qCWarning(lcStationLink, "Command 0x%X not sent (%d)", command, r);
    return r;
}

// Until the unit confirms (or an error comes), no request may start: monitoring would
// begin in the middle of it.
void CVM418Doc::SendStartMonitoring() {
    monitoringStarting_ = Send(CMD_START_MONITORING) == 0;
}

bool CVM418Doc::PollIfReady() {
    if (!pollReady) return false;
    pollReady = false;
    Send(CMD_MONITORING_DATA);
    return true;
}

void CVM418Doc::UpdateAllViews(int hint, int key) {
    ui_.UpdateAllViews(hint, key, hint == HINT_MONITORING ? lastFrameData : QByteArray());
}

// ---- the system ----

void CVM418Doc::SelectSystem() {
    HangUp();
    ui_.CloseDataViews();
    ui_.ChooseSystem(records.connectionText, [this](std::optional<vm418::CSystemRset> row) {
        if (row) UseSystem(*row);
    });
}

void CVM418Doc::UseSystem(const vm418::CSystemRset& row) {
    // The software version field says the block is none of a unit's yet.
    std::memcpy(records.parameters.SoftwareVersion, "ZZZZ", 5);
    records.alarmMap.clear();
    records.historyMap.clear();
    systemId = row.SysID;
    records.SysID = row.SysID;
    phoneNumber = row.Modem;
    password = row.Password;
    protocol.SetModemInit(row.InitString.left(79).toStdString());
    const PortSettings settings = ParsePortSettingsText(row.COMportSettings.toStdString());
    serial.port = settings.port;
    serial.dcb = settings.line;
    if (systemId != 0) title = StationTitle(row);
}

QString StationTitle(const vm418::CSystemRset& row) {
    return vm418::stationTitle(row);
}

void CVM418Doc::SerialSettings() {
    HangUp();
    std::string init = protocol.ModemInit();
    ui_.EditSerialSettings(serial.port, serial.dcb, init);
    protocol.SetModemInit(init);
    WriteBackSerialSettings();
}

int CVM418Doc::WriteBackSerialSettings() {
    return vm418::writeBackPortSettings(
        records.connectionText, systemId,
        QString::fromStdString(FormatPortSettingsText(serial.port, serial.dcb)),
        QString::fromStdString(protocol.ModemInit()));
}

// ---- calling ----

void CVM418Doc::Call() {
    NewConnection(QStringLiteral("a new call"));
    lastStatus = 0;
    UpdateAllViews(HINT_CONNECTION);
    const QElapsedTimer& since = LineDown(serial.port);
    const qint64 down = since.isValid() ? since.elapsed() : kLineDownMs;
    if (down < kLineDownMs) {
        Wait(WaitFor::Dial, static_cast<int>(kLineDownMs - down), [this] { OpenAndDial(); });
        return;
    }
    OpenAndDial();
}

void CVM418Doc::OpenAndDial() {
    if (!serial.Open()) {
        // The box says what the operator must know; the device and the system's reason
        // (busy, no permission, no such device) stand in the status bar for the technician.
        ui_.SetStatusText(QString::fromStdString(serial.OpenError()));
        ui_.MessageBox("Can't open COM port");
        return;
    }
    ui_.SetStatusText("Calling " + title.section(',', 0, 0) + "  " + phoneNumber);
    if (protocol.Dial(phoneNumber.toStdString(), password.toStdString()) != 0)
        qCWarning(lcStationLink, "The modem could not be called");
}

void CVM418Doc::HangUp() { EndCall(QStringLiteral("hung up")); }

void CVM418Doc::EndCall(const QString& why) {
    const bool live = serial.Handle() >= 0 || linkState != LINK_OFF_LINE || Waiting() ||
                      transferDialog_ || !queued_.empty();
    if (serial.Handle() >= 0) LineDown(serial.port).start();
    if (!serial.Close())
        qCWarning(lcStationLink, "The port was not closed cleanly: %s",
                  protocol.LastErrorText().c_str());
    if (live) NewConnection(why);
    linkState = LINK_OFF_LINE;
    pendingCommand = kNoCommand;
    pollReady = false;
    pendingAction = 0;
    monitoringStopped = false;
    monitorRetries = 0;
    UpdateAllViews(HINT_CONNECTION);
}

void CVM418Doc::OnConnect() {
    // Posted by "Connected": a hang-up since then leaves nothing to do.
    if (serial.Handle() < 0 || protocol.ModemState() != MODEM_CONNECTED) return;
    linkState = LINK_CONNECTED;
    monitorRetries = 0;
    UpdateAllViews(HINT_CONNECTION);
    // Requests of the menu and the views are refused until monitoring is started.
    sequence_ = QStringLiteral("the on-connect downloads");
    const auto monitor = [this](int r) {
        Wait(WaitFor::Step, PauseAfter(r), [this] {
            sequence_.clear();
            monitorRetries = 1;
            SendStartMonitoring();
        });
    };
    Wait(WaitFor::Step, kAfterConnectMs, [this, monitor] {
        Download(DOWNLOAD_PARAMETERS, 0, [this, monitor](int r) {
            if (r != IDOK) return monitor(r);
            Wait(WaitFor::Step, kNextStepMs, [this, monitor] {
                Download(DOWNLOAD_HISTORY, 0, [this, monitor](int r2) {
                    if (r2 != IDOK) return monitor(r2);
                    Wait(WaitFor::Step, kNextStepMs,
                         [this, monitor] { Download(DOWNLOAD_LAST_ALARM, 0, monitor); });
                });
            });
        });
    });
}

void CVM418Doc::StartMonitoring() {
    if (linkState == LINK_CONNECTED) SendStartMonitoring();
    monitorRetries = 1;
}

void CVM418Doc::StopMonitoring() {
    if (linkState == LINK_MONITORING) pendingCommand = CMD_STOP_MONITORING;
    protocol.OnPortClosed();
    monitorRetries = 0;
}

// ---- protocol events ----

void CVM418Doc::OnProtocolEvent(const ProtocolEvent& block) {
    if (block.length != 0)
        lastFrameData = QByteArray(reinterpret_cast<const char*>(block.data.data()), block.length);
    if (block.status != 0) {
        monitoringStarting_ = false;
        eventText = EventText(block.status, block.command) + "\r\n";
        qCInfo(lcStationLink, "%s", qPrintable(eventText.trimmed()));
        ui_.EventText(eventText.trimmed());
        pollReady = false;
        pendingAction = 0;
        linkState = LINK_CONNECTED;
        pendingCommand = kNoCommand;
        lastStatus = block.status;
        switch (block.status >> 8) {
            case XLNK_ERR_MODEM >> 8:
                // A lost port says what took it away (the device, or the converter's
                // connection and how) beside the event's own text.
                ui_.SetStatusText(
                    block.status == XLNK_ERR_PORT_LOST
                        ? EventText(block.status, block.command) + " - " +
                              QString::fromStdString(protocol.LastErrorText()).simplified()
                        : EventText(block.status, block.command));
                EndCall(EventText(block.status, block.command).trimmed());
                break;
            case XLNK_ERR_TIMEOUT >> 8:
                if (IsMonitoringCommand(block.command) && monitorRetries >= 1 &&
                    monitorRetries <= kMaxMonitorRetries) {
                    lastStatus = 0;
                    protocol.OnPortClosed();
                    SendStartMonitoring();
                    ++monitorRetries;
                }
                break;
            case XLNK_MODEM_CONNECTED >> 8:
                ui_.SetStatusText(EventText(block.status, block.command));
                lastStatus = 0;
                monitoringStopped = false;
                ui_.PostCommand(ID_ON_CONNECT);
                break;
            default:
                break;
        }
        if (discrDialog_) ui_.DiscriminatorEvent(block);
        if (transferDialog_) TransferEvent(block);
        // The link is back to connected (or off line) with its error: the views show it, and
        // a view waiting for an answer that will not come takes its buttons back.
        if (block.status >> 8 != XLNK_ERR_MODEM >> 8) UpdateAllViews(HINT_CONNECTION);
        return;
    }

    eventText = QString::asprintf("Command 0x%X, len %d \r\n", block.command, block.length);
    switch (block.command) {
        case ANS_MONITORING_STOPPED:
            linkState = LINK_CONNECTED;
            RunPendingAction();
            break;
        case ANS_MONITORING_STARTED:
            monitoringStarting_ = false;
            Send(CMD_MONITORING_DATA);
            linkState = LINK_MONITORING;
            break;
        case ANS_MONITORING_DATA:
            lastStatus = 0;
            if (monitorRetries > 0) monitorRetries = 1;
            UpdateAllViews(HINT_MONITORING);
            if (pendingCommand != kNoCommand) {
                Send(pendingCommand);
                pendingCommand = kNoCommand;
            } else {
                pollReady = true;
            }
            break;
        case ANS_DEFAULTS_LOADED:
        case ANS_PARAMETERS_WRITTEN:
            // The unit's new parameters are read back.
            monitoringStopped = true;
            ui_.PostCommand(ID_DOWNLOAD_PARAMETERS);
            break;
        case kNoFrameCommand:
            eventText = "Raw data: " + QString::fromLatin1(block.Text().c_str()) + "\r\n";
            break;
        default:
            break;
    }
    qCInfo(lcStationLink, "%s", qPrintable(eventText.trimmed()));
    ui_.EventText(eventText.trimmed());
    if (discrDialog_) ui_.DiscriminatorEvent(block);
    if (transferDialog_) TransferEvent(block);
}

void CVM418Doc::RunPendingAction() {
    const int action = pendingAction;
    pendingAction = 0;
    switch (action) {
        case PENDING_DEFAULTS:
            Send(CMD_LOAD_DEFAULTS);
            break;
        case LINK_DISCRIMINATOR:
            Send(CMD_DISCRIMINATOR_SCREEN);
            linkState = LINK_DISCRIMINATOR;
            break;
        case PENDING_WRITE_PARAMETERS:
            SendParametersIfValid();
            break;
        default:
            if (FindDownload(action) != nullptr) {
                linkState = action;
                // Not when the dialog was aborted while monitoring stopped.
                if (transferDialog_ && !transferDialog_->ending()) StartTransfer();
            }
            break;
    }
}

// ---- downloads ----

void CVM418Doc::Download(int kind, int resume, std::function<void(int)> done) {
    DownloadTimes(kind, resume, std::move(done), downloadRepeats);
}

void CVM418Doc::DownloadTimes(int kind, int resume, std::function<void(int)> done, int repeats) {
    const DownloadSpec* spec = FindDownload(kind);
    const auto nothing = [this, &done](const char* why) {
        qCWarning(lcStationLink, "Download not started: %s", why);
        // A view that waits for the file (the parameter view's "Wait") takes its buttons back.
        UpdateAllViews(HINT_CONNECTION);
        if (done) done(IDCANCEL);
    };
    if (spec == nullptr) return nothing("no such file");
    if (transferDialog_) return nothing("a transfer runs");
    bool startNow = false;
    if (linkState == LINK_CONNECTED) {
        startNow = true;
        linkState = kind;
    } else if (linkState == LINK_MONITORING) {
        pendingCommand = CMD_STOP_MONITORING;
        pendingAction = kind;
    } else {
        return nothing(linkState == LINK_OFF_LINE ? "off line" : "the unit is busy");
    }
    auto dialog = NewTransferDialog();
    dialog->caption = spec->caption;
    dialog->compact = true;
    dialog->autoStart = startNow;
    dialog->fileName = spec->code;
    dialog->saveAs = (tempDir + spec->file).toStdString();
    OpenTransfer(std::move(dialog), [this, spec, kind, resume, done, repeats](
                                        int result, const QString& failure) {
        // Aborted while it waited for monitoring to stop: that request is gone too.
        if (pendingAction == kind) {
            pendingAction = 0;
            if (pendingCommand == CMD_STOP_MONITORING) pendingCommand = kNoCommand;
        }
        // The transfer failed (its protocol's own repeats spent) on a line that still holds:
        // the file is asked for again, after the pause between two downloads. A file that
        // came whole but cannot be saved here would not be saved the second time either.
        if (result != IDOK && repeats > 0 && protocol.ModemState() == MODEM_CONNECTED &&
            !lastTransferUnsaved_) {
            const QString why = QString(failure).simplified();
            qCWarning(lcStationLink, "%s: failed - %s; asked once more", spec->caption,
                      qPrintable(why));
            ui_.DownloadEnded(spec->caption, why + "; asked once more");
            FinishDownload(result, 0, [this, kind, resume, done, repeats](int) {
                Wait(
                    WaitFor::Step, kStepPauseMs,
                    [this, kind, resume, done, repeats] {
                        DownloadTimes(kind, resume, done, repeats - 1);
                    },
                    [done] {
                        if (done) done(IDCANCEL);
                    });
            });
            return;
        }
        DownloadEnded(*spec, result == IDOK ? HandOver(kind) : failure);
        FinishDownload(result, resume, done);
    });
}

void CVM418Doc::DownloadEnded(const DownloadSpec& spec, const QString& failure) {
    // One line each: a database's message may run over several.
    const QString why =
        QString(failure).replace(QRegularExpression("\\s*[\r\n]+\\s*"), " ").trimmed();
    if (!why.isEmpty()) {
        downloadFailures << QString(spec.caption) + ": failed - " + why;
        qCWarning(lcStationLink, "%s", qPrintable(downloadFailures.last()));
    } else {
        ++downloadsStored;
    }
    ui_.DownloadEnded(spec.caption, why);
}

// The dialog's own waits (the lamp's second, the pauses of "Abort") are the document's
// transfer wait: it ends with the transfer, so it never runs on a dialog that has gone.
std::unique_ptr<FileTransferController> CVM418Doc::NewTransferDialog() {
    return std::make_unique<FileTransferController>(
        &protocol, [this](int ms, std::function<void()> fn) {
            Wait(WaitFor::Transfer, ms, [this, fn = std::move(fn)] {
                fn();
                CheckTransferClosed();
            });
        });
}

void CVM418Doc::OpenTransfer(std::unique_ptr<FileTransferController> dialog,
                             std::function<void(int, const QString&)> closed) {
    transferDialog_ = std::move(dialog);
    transferClosed_ = std::move(closed);
    ui_.TransferOpened(*transferDialog_);
    if (transferDialog_->autoStart) StartTransfer();
}

// A request that cannot even be sent fails the transfer as the dialog shows any failure.
void CVM418Doc::StartTransfer() {
    if (!transferDialog_->Start())
        transferDialog_->OnStatus(CMD_FILE_REQUEST, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    ui_.TransferChanged(*transferDialog_, nullptr);
    CheckTransferClosed();
}

void CVM418Doc::TransferEvent(const ProtocolEvent& block) {
    transferDialog_->OnEvent(block);
    ui_.TransferChanged(*transferDialog_, &block);
    CheckTransferClosed();
}

void CVM418Doc::CheckTransferClosed() {
    if (!transferDialog_ || transferDialog_->outcome() == FileTransferController::Outcome::Running)
        return;
    Drop(WaitFor::Transfer);
    const auto dialog = std::move(transferDialog_);
    const auto closed = std::move(transferClosed_);
    transferClosed_ = nullptr;
    lastTransferUnsaved_ = !dialog->saveError().empty();
    if (lastTransferUnsaved_)
        qCWarning(lcStationLink, "Cannot save %s", dialog->saveError().c_str());
    ui_.TransferClosed(*dialog);
    const bool ok = dialog->outcome() == FileTransferController::Outcome::Ok;
    QString failure;
    if (!ok)
        failure = dialog->failedStatus() != 0
                      ? EventText(dialog->failedStatus(), dialog->failedCommand()).trimmed()
                      : QString::fromStdString(dialog->failure());
    if (closed) closed(ok ? IDOK : IDCANCEL, failure.isEmpty() && !ok ? "cancelled" : failure);
}

QString CVM418Doc::HandOver(int kind) {
    switch (kind) {
        case DOWNLOAD_LAST_ALARM:
        case DOWNLOAD_PREVIOUS_ALARM:
        case DOWNLOAD_NEXT_ALARM: {
            const int key = records.mergeOneAlarm(tempDir + vm418::kSingleAlarmFile);
            if (key < 0) {
                // The unit's answer that it holds none: nothing to store, nothing failed.
                ui_.MessageBox("VM418 has no alarms");
                return {};
            }
            UpdateAllViews(HINT_ALARMS, key);
            ui_.PostCommand(ID_VIEW_ALARMS);
            return Stored(records.storeAlarms());
        }
        case DOWNLOAD_HISTORY:
            if (records.readHistory(tempDir + vm418::kHistoryFile) < 0) {
                ui_.MessageBox(vm418::kCantReadHistory);
                return QString(vm418::kCantReadHistory).simplified();
            }
            UpdateAllViews(HINT_HISTORY);
            ui_.PostCommand(ID_VIEW_HISTORY);
            return Stored(records.storeHistory());
        case DOWNLOAD_ALARM_FILE:
            // The alarm ring is read with the parameters that locate it.
            if (records.readParameters(tempDir + vm418::kParametersFile) < 0 ||
                records.readAlarms(tempDir + vm418::kAlarmsFile) < 0) {
                ui_.MessageBox(vm418::kCantReadParameters);
                return QString(vm418::kCantReadParameters).simplified();
            }
            UpdateAllViews(HINT_ALARMS, 0);
            ui_.PostCommand(ID_VIEW_ALARMS);
            return Stored(records.storeAlarms());
        case DOWNLOAD_PARAMETERS: {
            if (records.readParameters(tempDir + vm418::kParametersFile) < 0) {
                ui_.MessageBox(vm418::kCantReadParameters);
                return QString(vm418::kCantReadParameters).simplified();
            }
            // A block that fails validation is still the unit's and is stored as it is.
            if (const uint32_t failed = vm418::validateParameters(records.parameters); failed != 0)
                ui_.MessageBox(vm418::describeFailedParameters(failed));
            UpdateAllViews(HINT_PARAMETERS);
            ui_.PostCommand(ID_VIEW_PARAMETERS);
            return Stored(records.storeParameters());
        }
        default:
            return {};
    }
}

// A download the database did not take is no silent success: the status bar says so
// ("Database error - ..."), and it is counted so that a tool can tell a download that
// reached the database from one that did not.
QString CVM418Doc::Stored(int result) {
    if (result == 0) return {};
    ++storeFailures;
    const QString text = "Database error - " + records.dbError();
    ui_.SetStatusText(text);
    return text;
}

void CVM418Doc::FinishDownload(int result, int resume, const std::function<void(int)>& done) {
    if (protocol.ModemState() == MODEM_CONNECTED) {
        linkState = LINK_CONNECTED;
        if (resume != 0) {
            // Whoever waits for the download hears its result also when the call ends first.
            Wait(
                WaitFor::Step, kStepPauseMs,
                [this, result, done] {
                    SendStartMonitoring();
                    if (done) done(result);
                },
                [result, done] {
                    if (done) done(result);
                });
            return;
        }
    } else {
        linkState = LINK_OFF_LINE;
    }
    if (done) done(result);
}

// IDOK only when all three files were received, read and stored; a call that ends on the
// way gives IDCANCEL.
void CVM418Doc::DownloadAll(std::function<void(int)> done, bool resumeMonitoring) {
    const auto failuresBefore = downloadFailures.size();
    const auto cancelled = [done] {
        if (done) done(IDCANCEL);
    };
    const auto all = [this, done, failuresBefore](int last) {
        if (done) done(last == IDOK && downloadFailures.size() == failuresBefore ? IDOK : IDCANCEL);
    };
    if (linkState == LINK_OFF_LINE) return cancelled();
    sequence_ = QStringLiteral("Download all");
    Download(DOWNLOAD_PARAMETERS, 0, [this, all, cancelled, resumeMonitoring](int r) {
        Wait(
            WaitFor::Step, PauseAfter(r),
            [this, all, cancelled, resumeMonitoring] {
                Download(DOWNLOAD_HISTORY, 0, [this, all, cancelled, resumeMonitoring](int r2) {
                    Wait(
                        WaitFor::Step, PauseAfter(r2),
                        [this, all, resumeMonitoring] {
                            sequence_.clear();
                            Download(DOWNLOAD_ALARM_FILE, resumeMonitoring ? monitorRetries : 0,
                                     all);
                        },
                        cancelled);
                });
            },
            cancelled);
    });
}

void CVM418Doc::GetSpecificFile() {
    if (Refused("Get specific file")) return;
    auto dialog = NewTransferDialog();
    dialog->caption = "Send specific file";
    OpenTransfer(std::move(dialog), {});
}

void CVM418Doc::OpenFiles() {
    if (Refused("Open files")) return;
    if (systemId == 0) {
        ui_.SetStatusText("Open files: no system is selected");
        return;
    }
    // Each file that cannot be read, and a block that fails validation, is told by the
    // records as a message box.
    const vm418::ImportReport report = records.importDownloadedFiles();
    if (report.parametersRead) UpdateAllViews(HINT_PARAMETERS);
    if (report.historyRead) UpdateAllViews(HINT_HISTORY);
    if (report.alarmsRead) UpdateAllViews(HINT_ALARMS, 0);
    Stored(report.storeResult);
}

// ---- parameters and the discriminator screen ----

void CVM418Doc::SendParametersIfValid() {
    if (vm418::validateParameters(records.parameters) != 0) {
        ui_.MessageBox(kParametersValidationFailed);
        return;
    }
    Send(CMD_WRITE_PARAMETERS,
         QByteArray(reinterpret_cast<const char*>(&records.parameters), kParameterWriteLength));
}

void CVM418Doc::WriteParameters() {
    // A block that would not be sent does not stop monitoring for nothing.
    if ((linkState == LINK_MONITORING || linkState == LINK_CONNECTED) &&
        vm418::validateParameters(records.parameters) != 0) {
        ui_.MessageBox(kParametersValidationFailed);
        return;
    }
    if (linkState == LINK_MONITORING) {
        pendingCommand = CMD_STOP_MONITORING;
        pendingAction = PENDING_WRITE_PARAMETERS;
    } else if (linkState == LINK_CONNECTED) {
        SendParametersIfValid();
    }
}

void CVM418Doc::DefaultParameters() {
    if (linkState == LINK_MONITORING) {
        pendingCommand = CMD_STOP_MONITORING;
        pendingAction = PENDING_DEFAULTS;
    } else if (linkState == LINK_CONNECTED) {
        Send(CMD_LOAD_DEFAULTS);
    }
}

void CVM418Doc::OpenDiscriminatorScreen() {
    if (linkState == LINK_MONITORING) {
        pendingCommand = CMD_STOP_MONITORING;
        pendingAction = LINK_DISCRIMINATOR;
    } else if (linkState != LINK_CONNECTED) {
        return;
    }
    discrDialog_ = ui_.OpenDiscriminatorScreen();
    if (!discrDialog_) qCInfo(lcStationLink, "This program has no discriminator screen");
}

void CVM418Doc::DiscriminatorScreenClosed() {
    discrDialog_ = false;
    if (protocol.ModemState() == MODEM_CONNECTED) {
        Wait(WaitFor::Discriminator, kDiscriminatorPauseMs, [this] {
            SendStartMonitoring();
            linkState = LINK_CONNECTED;
        });
    } else {
        linkState = LINK_OFF_LINE;
    }
}

// ---- command routing ----

bool CVM418Doc::IsCommandEnabled(int id) const {
    switch (id) {
        case ID_CALL: {
            // Not while a call is being dialled.
            const int modem = protocol.ModemState();
            return linkState == LINK_OFF_LINE && !Waiting(WaitFor::Dial) &&
                   !(protocol.IsRunning() && (modem == MODEM_AT_SENT || modem == MODEM_DIALLING));
        }
        case ID_COM_SETUP:
            return linkState == LINK_OFF_LINE;
        case ID_VIEW_DISCRIMINATOR:
        case ID_DOWNLOAD_LAST_ALARM:
        case ID_DOWNLOAD_NEXT_ALARM:
        case ID_DOWNLOAD_PREVIOUS_ALARM:
        case ID_DOWNLOAD_ALARM_FILE:
        case ID_DOWNLOAD_HISTORY:
        case ID_DOWNLOAD_PARAMETERS:
        case ID_DOWNLOAD_ALL:
            return linkState != LINK_OFF_LINE;
        default:
            return true;
    }
}

bool CVM418Doc::OnCommand(int id) {
    switch (id) {
        case ID_SELECT_SYSTEM:
            SelectSystem();
            return true;
        case ID_CALL:
            if (IsCommandEnabled(id)) Call();
            return true;
        case ID_HANG_UP:
            HangUp();
            return true;
        case ID_COM_SETUP:
            if (IsCommandEnabled(id)) SerialSettings();
            return true;
        case ID_VIEW_DISCRIMINATOR:
            if (IsCommandEnabled(id) && !Refused("Discriminator screen")) OpenDiscriminatorScreen();
            return true;
        case ID_GET_SPECIFIC_FILE:
            GetSpecificFile();
            return true;
        case ID_OPEN_FILES:
            OpenFiles();
            return true;
        case ID_DOWNLOAD_LAST_ALARM:
            if (!Refused("Download last alarm")) Download(DOWNLOAD_LAST_ALARM, monitorRetries);
            return true;
        case ID_DOWNLOAD_NEXT_ALARM:
            if (!Refused("Download next alarm")) Download(DOWNLOAD_NEXT_ALARM, monitorRetries);
            return true;
        case ID_DOWNLOAD_PREVIOUS_ALARM:
            if (!Refused("Download previous alarm")) Download(DOWNLOAD_PREVIOUS_ALARM, monitorRetries);
            return true;
        case ID_DOWNLOAD_ALARM_FILE:
            if (!Refused("Download alarm file")) Download(DOWNLOAD_ALARM_FILE, monitorRetries);
            return true;
        case ID_DOWNLOAD_HISTORY:
            if (!Refused("Download history")) Download(DOWNLOAD_HISTORY, monitorRetries);
            return true;
        case ID_DOWNLOAD_PARAMETERS:
            if (!Refused("Download parameters")) Download(DOWNLOAD_PARAMETERS, monitorRetries);
            return true;
        case ID_WRITE_PARAMETERS:
            if (!Refused("Write parameters")) WriteParameters();
            return true;
        case ID_DOWNLOAD_ALL:
            if (!Refused("Download all")) DownloadAll();
            return true;
        case ID_ON_CONNECT:
            OnConnect();
            return true;
        case ID_DEFAULT_PARAMETERS:
            if (!Refused("Default parameters")) DefaultParameters();
            return true;
        case ID_START_MONITORING:
            StartMonitoring();
            return true;
        case ID_STOP_MONITORING:
            StopMonitoring();
            return true;
        default:
            return false;
    }
}

}  // namespace station
