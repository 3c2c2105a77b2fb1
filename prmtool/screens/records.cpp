#include "records.h"

#include <QFile>
#include <cerrno>
#include <cstring>

#include "incomplete_file.h"

namespace prm {

namespace {

constexpr uint8_t kClearedOk = 0xAA;
constexpr uint8_t kHeaderWriteError = 'E';
constexpr uint8_t kEndMarker = 0xAA;

struct Operation {
    char command;
    int32_t code;
    const char* startText;
    const char* endText;
};

// Read, print and clear of each kind.
const Operation kOperations[RecordsController::kButtonCount] = {
    {'P', code::kReadRecords, "START Reading ALARMS", "END Reading ALARMS"},
    {'P', code::kReadRecords, "START Print ALARMS", "END Print ALARMS"},
    {0, 0, nullptr, nullptr},
    {'W', code::kClearRecords, "START Clear ALARMS", "END Clear ALARMS"},
    {'y', code::kReadRecords, "START Reading DOSE", "END Reading DOSE"},
    {'y', code::kReadRecords, "START Print DOSE", "END Print DOSE"},
    {0, 0, nullptr, nullptr},
    {'x', code::kClearRecords, "START Clear DOSE", "END Clear DOSE"},
};

const char* const kCaptions[RecordsController::kButtonCount] = {
    "Read Alarms", "Print Alarms", "Recording ON", "Clear Alarms",
    "Read Dose",   "Print Dose",   "Recording ON", "Clear Dose",
};

using Button = RecordsController::Button;

bool isRecordingButton(Button b) {
    return b == Button::RecordingAlarms || b == Button::RecordingDose;
}
bool isReadButton(Button b) {
    return b == Button::ReadAlarms || b == Button::ReadDose;
}
bool isPrintButton(Button b) {
    return b == Button::PrintAlarms || b == Button::PrintDose;
}
bool isClearButton(Button b) {
    return b == Button::ClearAlarms || b == Button::ClearDose;
}
Button recordingButtonOf(RecordKind k) {
    return k == RecordKind::Alarms ? Button::RecordingAlarms : Button::RecordingDose;
}

}  // namespace

RecordsController::RecordsController(Link& link, QObject* parent) : QObject(parent), link_(link) {
    for (int i = 0; i < kButtonCount; ++i)
        captions_[i] = QString::fromLatin1(kCaptions[i]);
    enabled_.fill(true);
    log_.setLines({QString()});
    timer1_.setSingleShot(true);
    connect(&timer1_, &QTimer::timeout, this,
            [this] { link_.runReplyHandlerFromTimer(ReplyOwner::Records); });
    connect(&timer2_, &QTimer::timeout, this, &RecordsController::timer2Tick);
    connect(&timer3_, &QTimer::timeout, this, &RecordsController::timer3Tick);
    link_.setReplyHandler(ReplyOwner::Records, [this] { replyHandler(); });
    // Queued: the port reports its loss from inside a write.
    connect(&link_.port(), &PortService::portLost, this, &RecordsController::portLost,
            Qt::QueuedConnection);
}

RecordsController::~RecordsController() {
    link_.setReplyHandler(ReplyOwner::Records, nullptr);
    if (link_.activeLog() == &log_) link_.setActiveLog(nullptr);
    auto guard = link_.lock();
    closeRecordFile(false);
    endPrintJob();
}

RecordKind RecordsController::kindOf(Button b) {
    return index(b) < index(Button::ReadDose) ? RecordKind::Alarms : RecordKind::Dose;
}

std::FILE*& RecordsController::fileOf(RecordKind k) {
    return k == RecordKind::Alarms ? link_.state().alarmFile : link_.state().doseFile;
}

bool RecordsController::transferRunning() const {
    return timer1_.isActive() || timer2_.isActive() || timer3_.isActive();
}

void RecordsController::activate() {
    link_.setActiveLog(&log_);
    recording_ = {true, true};
    setButtonCaption(Button::RecordingAlarms, QStringLiteral("Recording ON"));
    setButtonCaption(Button::RecordingDose, QStringLiteral("Recording ON"));
    {
        auto guard = link_.lock();
        LinkState& s = link_.state();
        s.activeScreen = kScreenRecords;
        s.logBudget = kRecordsLogLines;
        s.state = 0;
        s.dataPending = false;
    }
    emit changed();
}

void RecordsController::logLine(const QString& line) {
    link_.addLogLine(line);
}

void RecordsController::click(Button b) {
    auto guard = link_.lock();
    LinkState& s = link_.state();
    if (isRecordingButton(b)) {
        const int k = b == Button::RecordingAlarms ? 0 : 1;
        recording_[k] = !recording_[k];
        setButtonCaption(
            b, recording_[k] ? QStringLiteral("Recording ON") : QStringLiteral("Recording OFF"));
        emit changed();
        return;
    }
    // One print dialog at a time: nothing starts until the user has answered it.
    if (printDialogOpen_) return;
    if (isReadButton(b)) printing_ = false;
    if (s.busy) {
        // Only the started button is enabled while busy: STOP ends a clear, not a read.
        if (isClearButton(b)) finishTransfer();
        return;
    }
    startOperation(b, guard, false);
}

void RecordsController::startOperation(Button b, Link::Lock& guard, bool retry) {
    LinkState& s = link_.state();
    const Operation& op = kOperations[index(b)];
    const RecordKind kind = kindOf(b);
    transferKind_ = kind;
    commandByte_ = op.command;
    blockCounter_ = 0;
    if (!isClearButton(b) && recording_[kindIndex(kind)]) {
        s.fileName = fileNames_[kindIndex(kind)].toStdString();
        // A record file that cannot be created would lose what the user asked to keep:
        // the transfer does not start.
        if (!createRecordFile()) return;
    }
    done_ = false;

    if (isPrintButton(b) && !retry) {
        // A new print: whatever was waiting for the monitor stops, and the dialog is asked
        // once; the retries after a "Z" keep the printer chosen here.
        timer1_.stop();
        timer2_.stop();
        timer3_.stop();
        endPrintJob();
        printDialogOpen_ = true;
        guard.unlock();
        std::unique_ptr<RecordPrinter> chosen = printerProvider_ ? printerProvider_(kind) : nullptr;
        guard.lock();
        printDialogOpen_ = false;
        if (!chosen) {
            logLine(QString());
            logLine(kind == RecordKind::Alarms ? QStringLiteral("Print ALARMS Canceled")
                                               : QStringLiteral("Print DOSE Canceled"));
            // Nothing was read: no incomplete file is left behind.
            closeRecordFile(false);
            QFile::remove(incompleteName(filePath_));
            // Nothing is retried after a cancel.
            link_.endCommand();
            emit changed();
            return;
        }
        printer_ = std::move(chosen);
        printing_ = true;
        titlePending_ = true;
        printY_ = kFirstLineY;
        pageLines_ = 0;
    }

    Link::CommandStart start;
    start.code = op.code;
    start.bytes = std::string(1, op.command);
    start.buttonIndex = static_cast<int16_t>(index(b));
    start.buttonCaption = captions_[index(b)].toStdString();
    start.startText = op.startText;
    start.endText = op.endText;
    const bool sent = link_.sendAndWait(start);
    timer1_.start(kEchoCheckMs);
    timer2_.start(op.command == 'P' ? kAlarmWatchdogMs : kOtherWatchdogMs);
    // Without a port nothing goes out: the missing echo is reported at once.
    if (!sent) replyHandler();
    emit changed();
}

bool RecordsController::createRecordFile() {
    const RecordKind kind = transferKind_;
    std::FILE*& file = fileOf(kind);
    if (file) std::fclose(file);
    // Written beside the earlier file, which stays until the new one is complete.
    filePath_ = fileNames_[kindIndex(kind)];
    file = openIncomplete(filePath_);
    if (!file) {
        logLine(QString());
        logLine(QStringLiteral("Cannot create record file %1: %2")
                    .arg(filePath_, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    return true;
}

void RecordsController::completeRecordFile() {
    std::FILE*& file = fileOf(transferKind_);
    if (!file) return;
    const QString error = completeFile(file, filePath_);
    if (error.isEmpty()) return;
    logLine(QStringLiteral("Cannot write record file %1: %2").arg(filePath_, error));
    logLine(keepIncomplete(file, filePath_));
}

void RecordsController::closeRecordFile(bool switchRecordingOff) {
    std::FILE*& file = fileOf(transferKind_);
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    if (switchRecordingOff && recording_[kindIndex(transferKind_)]) {
        recording_[kindIndex(transferKind_)] = false;
        setButtonCaption(recordingButtonOf(transferKind_), QStringLiteral("Recording OFF"));
    }
}

void RecordsController::keepFileAsIncomplete() {
    std::FILE*& file = fileOf(transferKind_);
    if (file) logLine(keepIncomplete(file, filePath_));
}

void RecordsController::endPrintJob() {
    if (printer_) printer_->endJob();
    printer_.reset();
    printing_ = false;
    titlePending_ = false;
}

void RecordsController::finishTransfer() {
    LinkState& s = link_.state();
    // A complete transfer has closed its file already: one still open was cut short.
    keepFileAsIncomplete();
    if (s.dataPending) logLine(QStringLiteral("No or short data from HM-210"));
    enabled_.fill(true);
    logLine(QString::fromStdString(s.endText));
    if (s.startedButtonIndex >= 0 && s.startedButtonIndex < kButtonCount) {
        captions_[s.startedButtonIndex] = QString::fromStdString(s.startedButtonCaption);
    }
    timer1_.stop();
    timer2_.stop();
    timer3_.stop();
    // A transfer that ended early leaves no file open and no print job behind it.
    closeRecordFile(false);
    endPrintJob();
    s.busy = false;
    s.dataPending = false;
    link_.endCommand();
    emit changed();
    emit transferFinished();
}

void RecordsController::replyHandler() {
    timer1_.stop();
    LinkState& s = link_.state();
    if (s.awaitingEcho) {
        logLine(QStringLiteral("HM-210 doesn't echo"));
        logLine(QStringLiteral("Check connection between HM-210 and PC COM - Try again"));
        timer2_.stop();
        finishTransfer();
        return;
    }
    switch (s.replyCode) {
        case code::kZEcho:
            logLine(QString());
            logLine(QStringLiteral("OK byte 'Z' received -> HM-210 removed from Docking Station"));
            return;
        case code::kWrongEcho:
            logLine(QString::asprintf("Wrong echo from HM-210  %c=%02X hex, expected *",
                                      s.lastEchoByte, s.lastEchoByte));
            timer1_.stop();
            timer2_.stop();
            if (s.startedButtonIndex >= 0 && s.startedButtonIndex < kButtonCount) {
                captions_[s.startedButtonIndex] = QString::fromStdString(s.startedButtonCaption);
            }
            s.busy = false;
            s.dataPending = true;
            timer2Tick();
            emit changed();
            return;
        case code::kClearRecords:
        case code::kReadRecords:
            if (s.firstEchoPending) {
                s.firstEchoPending = false;
                enabled_.fill(false);
                captions_[s.startedButtonIndex] = QStringLiteral("STOP");
                enabled_[s.startedButtonIndex] = true;
                if (s.replyCode == code::kReadRecords) {
                    timer3_.start(kBlockWatchdogMs);
                    timer2_.stop();
                }
            }
            s.busy = true;
            emit changed();
            return;
        case code::kClearRecords + code::kDataOffset: {
            const uint8_t status = s.replyData[0];
            if (status == kHeaderWriteError) {
                logLine(QStringLiteral("ERROR Write HEADER to EEPROM"));
            } else if (status == kClearedOk) {
                logLine(QStringLiteral("EEPROM Initialized OK"));
            } else {
                logLine(QString::asprintf("Wrong echo from HM-210 %02Xh ", status));
            }
            finishTransfer();
            return;
        }
        case code::kReadRecords + code::kDataOffset:
            handleBlock();
            return;
        default:
            return;
    }
}

void RecordsController::writeRecordLine(const QByteArray& line, int fixedLength) {
    std::FILE* file = fileOf(transferKind_);
    if (!file) return;
    const QByteArray out = fileLine(line, fixedLength);
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), file);
}

void RecordsController::printRecordLine(const QByteArray& line, bool counted) {
    if (!printing_ || !printer_) return;
    if (titlePending_) {
        // The job begins with its first line: a transfer that brings none prints no page.
        titlePending_ = false;
        printer_->beginJob();
        printer_->printLine(kTitleY, transferKind_ == RecordKind::Alarms
                                         ? QStringLiteral("Alarms Registered by HM-210")
                                         : QStringLiteral("Dose Registered by HM-210"));
    }
    printer_->printLine(printY_, QString::fromLatin1(line));
    printY_ += kLineStep;
    if (!counted) return;
    if (++pageLines_ == kLinesPerPage) {
        printY_ = kFirstLineY;
        pageLines_ = 0;
        printer_->newPage();
    }
}

void RecordsController::handleBlock() {
    LinkState& s = link_.state();
    uint8_t block[kRecordBlockSize];
    std::memcpy(block, s.replyData.data() + s.readIndex, kRecordBlockSize);
    // The next block is collected from the start of the reply area again.
    s.receivedCount = 0;
    s.readIndex = 0;
    s.expectedCount = kRecordBlockSize;

    bool headerUnreadable = false;
    if (blockCounter_ == 0) {
        switch (classifyHeader(block)) {
            case HeaderKind::Unreadable:
                logLine(QStringLiteral("ERROR Read Header"));
                done_ = true;
                headerUnreadable = true;
                break;
            case HeaderKind::TestPattern:
                headerNotTestPattern_ = false;
                logLine(QStringLiteral("EEPROM set by Test of EEPROM"));
                break;
            case HeaderKind::Normal: {
                headerNotTestPattern_ = true;
                const QByteArray line = headerLine(block);
                logLine(QString::fromLatin1(line));
                printRecordLine(line, false);
                writeRecordLine(line, kHeaderLineLength);
                break;
            }
        }
    } else if (isEndBlock(block)) {
        done_ = true;
        const QByteArray line = countLine(blockCounter_ - 1);
        logLine(QString::fromLatin1(line));
        printRecordLine(line, false);
        writeRecordLine(line, kCountLineLength);
        logLine(block[0] == kEndMarker || !headerNotTestPattern_
                    ? QStringLiteral("Tranfer OK")
                    : QStringLiteral("Transfer ERROR"));
    } else {
        const QByteArray line = recordLine(transferKind_, block);
        logLine(QString::fromLatin1(line));
        printRecordLine(line, true);
        writeRecordLine(line, kRecordLineLength);
    }
    timer3_.start(kBlockWatchdogMs);

    if (!done_) {
        ++blockCounter_;
        return;
    }
    timer3_.stop();
    // The records came whole up to their end block; an unreadable header brought none.
    if (headerUnreadable) {
        keepFileAsIncomplete();
    } else {
        completeRecordFile();
    }
    closeRecordFile(true);
    endPrintJob();
    finishTransfer();
}

void RecordsController::timer2Tick() {
    auto guard = link_.lock();
    LinkState& s = link_.state();
    if (s.dataPending) {
        logLine(QStringLiteral("Timer2 - No or short data from HM-210"));
        s.dataPending = false;
        return;
    }
    s.endText = "Timer2 - TIMEOUT ";
    const int started = s.startedButtonIndex;
    if (started < 0 || started >= kButtonCount) return;
    if (s.busy) {
        click(static_cast<Button>(started));  // the STOP of a clear
        return;
    }
    // No echo 0xAA yet (the monitor answered "Z"): the same command goes out again, without
    // a second print dialog.
    startOperation(static_cast<Button>(started), guard, true);
}

void RecordsController::timer3Tick() {
    auto guard = link_.lock();
    timer3_.stop();
    logLine(QStringLiteral("### Timeout Timer3 - 1 sec NO ALARM DATA from EEPROM"));
    keepFileAsIncomplete();
    closeRecordFile(true);
    endPrintJob();
    finishTransfer();
}

void RecordsController::portLost(const QString& message) {
    auto guard = link_.lock();
    if (!link_.state().busy && !timer1_.isActive() && !timer2_.isActive() && !timer3_.isActive())
        return;
    logLine(message);
    keepFileAsIncomplete();
    closeRecordFile(true);
    endPrintJob();
    link_.state().dataPending = false;
    finishTransfer();
}

void RecordsController::mainMenu() {
    auto guard = link_.lock();
    // A read still under way when the screen closes was cut short.
    if (transferRunning() || link_.state().busy) keepFileAsIncomplete();
    timer1_.stop();
    timer2_.stop();
    timer3_.stop();
    emit closeRequested();
}

}  // namespace prm
