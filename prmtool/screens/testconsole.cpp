#include "testconsole.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "formats.h"
#include "incomplete_file.h"
#include "records.h"
#include "settings.h"

namespace prm {

namespace {

constexpr double kMilliVoltsPerStep = 0.59326;
constexpr double kStepsPerMilliVolt = 1.6856015912079020731;  // 1 / 0.59326
constexpr int kFollowUpTicks = 10;
constexpr int kLcdStopTicks = 5;
constexpr int kFollowUpAckCount = 4;
constexpr int kBatteryWordMask = 0x3FFF;  // the two top bits of a report are not voltage

const char* const kCaptions[TestConsoleController::kButtonCount] = {
    "UART",        "Buzzer",     "Vibrator",     "Gamma LED",   "Neutron LED",   "MODE",
    "Temperature", "Battery",    "DAC0/DAC1",    "Counters",    "Read RTC",      "LCD",
    "STATUS",      "RAM 2 kB",   "EEPROM 8 kB",  "Send RTC",    "RECORD",        "Spectrum",
    "SpecADC",     "N-Spectrum", "Get Spectrum", "N-Histogram", "Get Histogram",
};

// Steps to millivolts and back, each rounded half up through a single-precision value.
int toMilliVolts(long steps) {
    return static_cast<int>(std::trunc(static_cast<float>(steps * kMilliVoltsPerStep) + 0.5));
}
long toSteps(long milliVolts) {
    return static_cast<long>(std::trunc(static_cast<float>(milliVolts * kStepsPerMilliVolt) + 0.5));
}

}  // namespace

struct TestConsoleController::TestSpec {
    char command;
    int32_t code;
    const char* startText;
    const char* endText;
    int durationMs;
    bool forcesSingle;
};

const TestConsoleController::TestSpec& TestConsoleController::specOf(Button b) {
    // The spectra start on their own (their texts depend on the detector and the time).
    static const TestSpec kTests[kButtonCount] = {
        {'U', 1, "UART test U/* in progress", "UART test OK", 1000, false},
        {'B', 2, "Buzzer test START", "Buzzer test END", 1000, false},
        {'V', 3, "Vibrator test START", "Vibrator test END", 1000, false},
        {'G', 4, "Gamma LED test START", "Gamma LED test END", 1000, false},
        {'N', 5, "Neutron LED test START", "Neutron LED test END", 1000, false},
        {'M', 6, "BUTTON test START", "BUTTON test END", 1000, true},
        {'T', 7, "Temperature test START", "Temperature test END", 1000, false},
        {'Y', 8, "Battery test START", "Battery test END", 1000, false},
        {'D', 10, "DAC0/DAC1 test START", "DAC0/DAC1 test END", 1000, true},
        {'C', 11, "Measurement START", "Measurement END", 2100, false},
        {'A', 13, "Read RTC test START", "Read RTC test END", 1000, false},
        {'L', 14, "LCD display START", "LCD display END", 1000, false},
        {'F', 15, "Read STATUS START", "Read STATUS END", 1000, true},
        {'R', 16, "RAM 2 kB test START - WAIT 3 sec", "RAM 2 kB test END", 4000, true},
        {'E', 17, "External EEPROM test START - WAIT 6 sec", "External EEPROM test END", 6000,
         true},
        {'a', 19, "Send RTC START", "Send RTC END", 1000, true},
        {'O', 24, "START recording Battery", "END of recording Battery", 1000, true},
    };
    return kTests[index(b)];
}

TestConsoleController::TestConsoleController(Link& link, QObject* parent)
    : QObject(parent), link_(link) {
    for (int i = 0; i < kButtonCount; ++i)
        captions_[i] = QString::fromLatin1(kCaptions[i]);
    log_.setLines({QString()});
    echoTimer_.setSingleShot(true);
    connect(&echoTimer_, &QTimer::timeout, this,
            [this] { link_.runReplyHandlerFromTimer(ReplyOwner::TestConsole); });
    connect(&durationTimer_, &QTimer::timeout, this, &TestConsoleController::durationTick);
    recordingTimer_.setSingleShot(true);
    connect(&recordingTimer_, &QTimer::timeout, this, &TestConsoleController::recordingWatchdog);
    spectrumTimer_.setSingleShot(true);
    connect(&spectrumTimer_, &QTimer::timeout, this, &TestConsoleController::spectrumWatchdog);
    link_.setReplyHandler(ReplyOwner::TestConsole, [this] { replyHandler(); });
    // Queued: the port reports its loss from inside a write, which may be in a command's end.
    connect(&link_.port(), &PortService::portLost, this, &TestConsoleController::portLost,
            Qt::QueuedConnection);
}

TestConsoleController::~TestConsoleController() {
    link_.setReplyHandler(ReplyOwner::TestConsole, nullptr);
    if (link_.activeLog() == &log_) link_.setActiveLog(nullptr);
    auto guard = link_.lock();
    closeRecordFile();
}

bool TestConsoleController::singleMode() const {
    auto guard = const_cast<Link&>(link_).lock();
    return const_cast<Link&>(link_).state().singleMode;
}

bool TestConsoleController::running() const {
    // The button and LCD tests run on after their echo with no timer of their own.
    auto guard = const_cast<Link&>(link_).lock();
    return const_cast<Link&>(link_).state().busy || echoTimer_.isActive() ||
           durationTimer_.isActive() || recordingTimer_.isActive() || spectrumTimer_.isActive();
}

QString TestConsoleController::pcClockText() const {
    const QDateTime now = pcClock_();
    return QString::asprintf(" %02d-%02d-%02d  %02d:%02d:%02d", now.date().year() - 2000,
                             now.date().month(), now.date().day(), now.time().hour(),
                             now.time().minute(), now.time().second());
}

void TestConsoleController::logLine(const QString& line) {
    link_.addLogLine(line);
}

void TestConsoleController::enableTestButtons(bool on) {
    enabled_.fill(on);
    enabled_[index(Button::Status)] = false;  // kept hidden
    enabled_[index(Button::Record)] = on && recordingOn_;
}

void TestConsoleController::setSingleMode(bool single) {
    auto guard = link_.lock();
    link_.state().singleMode = single;
}

void TestConsoleController::activate() {
    {
        auto guard = link_.lock();
        LinkState& s = link_.state();
        s.activeScreen = kScreenTestConsole;
        s.logBudget = kTestConsoleLogLines;
        s.state = 0;
        s.dataPending = false;
        s.singleMode = true;
        link_.setActiveLog(&log_);
        log_.setLines({});
        logLine(QStringLiteral("COM%1 Selected").arg(link_.port().portNumber()));
        logLine(QStringLiteral("Connect HM-210 to PC via RS-232 cabel"));
        enabled_.fill(false);
        enabled_[index(Button::Uart)] = true;
        // Reading back an off-line measurement needs no test first.
        enabled_[index(Button::GetSpectrum)] = true;
        enabled_[index(Button::GetHistogram)] = true;
    }
    emit changed();
    readUserSettings();
    fillFromSettings();
    emit changed();
}

void TestConsoleController::readUserSettings() {
    // The settings editor, never shown, reads the user settings into the link record.
    SettingsController settings(link_);
    auto loaded = [this] {
        auto guard = link_.lock();
        return link_.state().settingsLoaded;
    };
    while (!loaded())
        Link::tickDelay(1);
    {
        auto guard = link_.lock();
        link_.state().settingsLoaded = false;
    }
    settings.displayUserSettings();
    int waits = 0;
    while (!loaded() && waits < kSettingsWaitTicks) {
        Link::tickDelay(1);
        ++waits;
    }
    auto guard = link_.lock();
    if (link_.state().settingsLoaded) {
        logLine(
            QStringLiteral("OK Read CUSTOMER Parameters, time=%1 ms").arg(Link::kTickMs * waits));
    } else {
        logLine(QStringLiteral("ERROR Read CUSTOMER Parameters, read %1 bytes, expected 31")
                    .arg(link_.state().receivedCount));
    }
}

void TestConsoleController::fillFromSettings() {
    auto guard = link_.lock();
    const UserSettings& u = link_.state().settings;
    backliteCaption_ =
        u.backlightOn ? QStringLiteral("Backlite EN") : QStringLiteral("Backlite DIS");
    dacUnits_ = DacUnits::Steps;
    dacUnitCaption_ = QStringLiteral("[ step ]");
    dacTexts_ = {QString::number(u.gammaDiscriminator), QString::number(u.neutronDiscriminator)};
    ratioText_ = QString::number(u.contrastCoarse);
    contrastText_ = QString::number(u.contrastFine);
    lcdTempText_ = QString::number(u.lcdTemperature);
    lcdControlsEnabled_ = false;
    temperatureText_ = QString::asprintf("%5.1f grad C", static_cast<float>(u.temperature) / 100.0);
    batteryText_ = QString::asprintf("%9.2f Volt", static_cast<float>(u.battery) / 100.0);
    const auto& block = link_.state().replyData;
    clockText_ = QString::asprintf(" %02d-%02d-%02d  %02d:%02d:%02d", block[24], block[25],
                                   block[26], block[27], block[28], block[29]);
    recordingOn_ = false;
    eepromFollowUp_ = 0;
    gammaSelected_ = true;
    readouts_ = {QString(), QString()};
}

void TestConsoleController::toggleSingleRepeat() {
    auto guard = link_.lock();
    link_.state().singleMode = !link_.state().singleMode;
    emit changed();
}

void TestConsoleController::click(Button b) {
    Link::Lock guard = link_.lock();
    LinkState& s = link_.state();
    if (zAnswered_ && !s.busy && index(b) == s.startedButtonIndex) {
        // The command the monitor refused is ended by its button, never sent again.
        s.endText = "TIMEOUT";
        endTest();
        return;
    }
    if (offlineButton_ >= 0 && index(b) != offlineButton_) {
        // An off-line command still under way is given up for the new one.
        offlineFailed_ = true;
        endOffline(true);
    } else if (!s.busy && running() && index(b) != s.startedButtonIndex) {
        // A command still waiting for its first echo is given up for the new one; its
        // watchdog and its file go with it.
        releaseCommand();
    }
    if (b == Button::Record) {
        // A second click before the first report is the STOP of that recording.
        if (!s.busy && !recordingTimer_.isActive()) {
            startBatteryRecording();
            return;
        }
        // The stop waits with the lock released, so that reports keep being taken.
        guard.unlock();
        stopBatteryRecording(false);
        return;
    }
    switch (b) {
        case Button::NSpectrum:
        case Button::NHistogram:
            enableOffline(b == Button::NHistogram);
            return;
        case Button::GetSpectrum:
        case Button::GetHistogram:
            // The words are waited for with the lock released, so that the worker takes them.
            guard.unlock();
            readOffline(b == Button::GetHistogram);
            return;
        case Button::Spectrum:
        case Button::SpecAdc:
            if (s.busy) {
                requestSpectrumStop(b);
            } else if (b == Button::Spectrum) {
                startScan();
            } else {
                startAdc();
            }
            return;
        default:
            break;
    }
    if (!s.busy) {
        startTest(b);
        return;
    }
    // Only the started button is enabled: "STOP".
    if (b == Button::Counters) {
        countersStop_ = true;  // the test ends at its next reply
        return;
    }
    if (b == Button::Mode) {
        keyColour_ = KeyColour::None;
        s.dataPending = false;
        link_.port().writeString("Z");
        endAckPending_ = true;
    } else if (b == Button::Lcd) {
        lcdControlsEnabled_ = false;
        s.state = 1;
        setCommandBytes(s, "U");
        link_.port().writeString("U");
        const int ends = endCount_;
        guard.unlock();
        Link::tickDelay(kLcdStopTicks);
        guard.lock();
        if (endCount_ != ends) return;  // ended meanwhile (the port went away)
    }
    endTest();
}

bool TestConsoleController::parseDacLevels(uint16_t levels[2]) {
    const long maximum =
        dacUnits_ == DacUnits::MilliVolts ? toMilliVolts(kDacMaxSteps) : kDacMaxSteps;
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        const long v = dacTexts_[i].trimmed().toLong(&ok);
        if (!ok || v < 0 || v > maximum) {
            logLine(QString());
            logLine(QStringLiteral("DAC%1 = \"%2\" refused: enter 0 to %3 %4")
                        .arg(i)
                        .arg(dacTexts_[i].trimmed())
                        .arg(maximum)
                        .arg(dacUnits_ == DacUnits::MilliVolts ? "mV" : "steps"));
            return false;
        }
        levels[i] = static_cast<uint16_t>(dacUnits_ == DacUnits::MilliVolts ? toSteps(v) : v);
    }
    return true;
}

void TestConsoleController::startTest(Button b) {
    LinkState& s = link_.state();
    if (b == Button::Eeprom) {
        eepromCaptionRed_ = true;
        emit changed();
        const bool yes = confirmEeprom_ && confirmEeprom_();
        eepromCaptionRed_ = false;
        if (!yes) {
            logLine(QString());
            logLine(QStringLiteral("Test EEPROM Canceled"));
            emit changed();
            return;
        }
    }
    if (b == Button::Dac && dacUnits_ != DacUnits::SawTooth) {
        // A level that does not fit the DAC is refused here, before the command goes out.
        uint16_t levels[2];
        if (!parseDacLevels(levels)) {
            emit changed();
            return;
        }
    }
    if (b == Button::SendRtc) {
        // Checked before "a" goes out: after its echo the monitor waits for six clock bytes.
        clockText_ = pcClockText();
        if (!takeClockBlock()) {
            emit changed();
            return;
        }
    }
    if (b == Button::Counters) {
        recordingSwitchEnabled_ = false;
        countersStop_ = false;
        if (!s.singleMode) {
            if (recordingOn_) {
                if (!createRecordFile(fileName_)) {
                    recordingSwitchEnabled_ = true;
                    emit changed();
                    return;
                }
                logLine(QString());
                logLine(QStringLiteral("File %1 created").arg(fileName_));
            }
            values_.fill(0);
        }
    }

    const TestSpec& spec = specOf(b);
    if (spec.forcesSingle) s.singleMode = true;
    runCommand(b, spec.code, std::string(1, spec.command), spec.startText, spec.endText,
               spec.durationMs);
    emit changed();
}

void TestConsoleController::runCommand(Button b, int32_t commandCode, const std::string& bytes,
                                       const char* startText, const char* endText, int durationMs) {
    Link::CommandStart start;
    start.code = commandCode;
    start.bytes = bytes;
    start.buttonIndex = static_cast<int16_t>(index(b));
    start.buttonCaption = captions_[index(b)].toStdString();
    start.startText = startText;
    start.endText = endText;
    echoTimer_.start(kEchoTimeoutMs);
    durationTimer_.start(durationMs);
    singleRepeatEnabled_ = false;
    echoCountText_ = QStringLiteral("0");
    echoCountHighlighted_ = false;
    // What the previous command left waiting for is over: a late acknowledgement belongs to
    // this command now.
    zAnswered_ = false;
    endAckPending_ = false;
    offlineButton_ = -1;
    keepEndText_ = false;
    failed_ = false;
    shortDataReported_ = false;
    eepromFollowUp_ = 0;
    followUpAcks_ = 0;
    // Without a port nothing goes out: the missing echo is reported at once.
    if (!link_.sendAndWait(start)) replyHandler();
}

void TestConsoleController::endTest() {
    LinkState& s = link_.state();
    if (offlineButton_ >= 0) {
        // An off-line command ended from outside (the console closed, the port lost): it
        // has no end text, and a read under way lists nothing.
        offlineFailed_ = true;
        endOffline(true);
        emit changed();
        emit testFinished();
        return;
    }
    if (s.dataPending) {
        logLine(QStringLiteral("After the 2nd Push => No or short data from HM-210"));
    } else {
        logLine(QString::fromStdString(s.endText));
        enableTestButtons(true);
    }
    releaseCommand();
    ++endCount_;
    emit changed();
    // Only an EEPROM test whose result came has overwritten the record memory.
    if (eepromFollowUp_ == 1) runEepromFollowUp();
    emit testFinished();
}

void TestConsoleController::releaseCommand() {
    LinkState& s = link_.state();
    const int started = s.startedButtonIndex;
    if (started >= 0 && started < kButtonCount) {
        captions_[started] = QString::fromStdString(s.startedButtonCaption);
    }
    echoTimer_.stop();
    durationTimer_.stop();
    // A measurement's watchdog belongs to it: left running it would end a later test.
    spectrumTimer_.stop();
    if (started == index(Button::Spectrum) || started == index(Button::SpecAdc)) {
        dacEditsEnabled_ = true;
    }
    if (started == index(Button::Record)) {
        recordingTimer_.stop();
        recordingOn_ = false;
        enabled_[index(Button::Record)] = false;
    }
    if (started == index(Button::Counters) || started == index(Button::Record)) {
        // A run that failed keeps what it recorded so far, under a name that says it is
        // incomplete, and gives the switch back.
        finishRecordFile();
        recordingSwitchEnabled_ = true;
    }
    singleRepeatEnabled_ = true;
    s.busy = false;
    s.dataPending = false;
    zAnswered_ = false;
    link_.endCommand();
    echoCountHighlighted_ = false;
}

void TestConsoleController::runEepromFollowUp() {
    // The EEPROM test overwrote the record memory: clear both record areas through the
    // records screen, never shown.
    for (RecordsController::Button clear :
         {RecordsController::Button::ClearAlarms, RecordsController::Button::ClearDose}) {
        followUpAcks_ = kFollowUpAckCount;
        {
            // Its log lines stay in its own log, as the screen is never shown.
            RecordsController records(link_);
            link_.setActiveLog(&records.log());
            const int32_t budget = link_.state().logBudget;
            records.click(clear);
            Link::tickDelay(kFollowUpTicks);
            link_.state().logBudget = budget;
            link_.setActiveLog(&log_);
        }
        eepromFollowUp_ = 2;
    }
    // The monitor's answers to the two clears come to this console as acknowledgements.
    link_.endCommand();
}

void TestConsoleController::durationTick() {
    auto guard = link_.lock();
    LinkState& s = link_.state();
    if (s.dataPending) {
        logLine(QStringLiteral("No or short data from HM-210"));
        s.dataPending = false;
        return;
    }
    if (zAnswered_) {
        // The monitor refused the command with "Z": it ends here, once, and is not re-sent.
        s.endText = "TIMEOUT";
        endTest();
        return;
    }
    if (s.singleMode) {
        if (!keepEndText_) s.endText = "TIMEOUT";
        const int started = s.startedButtonIndex;
        if (started >= 0 && started < kButtonCount) click(static_cast<Button>(started));
        return;
    }
    // Repeat: one request on the line at a time, whatever the monitor's pace. A request
    // whose echo is still awaited is left to its echo timer; one whose data stopped short is
    // reported at this tick and ended at the next, never crossed by another request.
    const bool stream = s.state == 106 || s.state == 118;
    if (!stream && s.awaitingEcho) return;
    if (!stream && isDataState(s.state)) {
        if (shortDataReported_) {
            failed_ = true;
            endTest();
            return;
        }
        logLine(QStringLiteral("No or short data from HM-210"));
        shortDataReported_ = true;
        return;
    }
    shortDataReported_ = false;
    echoTimer_.start(s.commandBytes[0] == 'C' ? kCountersEchoTimeoutMs : kEchoTimeoutMs);
    s.awaitingEcho = 1;
    if (stream) return;
    // The period counts from this request (the counters send the next one at each reply).
    durationTimer_.start();
    if (!link_.writeCommand()) replyHandler();
}

void TestConsoleController::replyHandler() {
    echoTimer_.stop();
    LinkState& s = link_.state();
    if (offlineButton_ >= 0 && handleOfflineFailure()) return;
    if (s.awaitingEcho) {
        logLine(QStringLiteral("HM-210 doesn't echo"));
        logLine(QStringLiteral("Check connection between HM-210 and PC COM - Try again"));
        durationTimer_.stop();
        failed_ = true;
        endTest();
        return;
    }
    switch (s.replyCode) {
        case code::kZEcho:
            logLine(QStringLiteral("'Z' received -> HM-210 switched OFF by Operator"));
            zAnswered_ = true;
            failed_ = true;
            return;
        case code::kWrongEcho:
            logLine(QString::asprintf("Wrong echo from HM-210  %c=%02X hex, expected *",
                                      s.lastEchoByte, s.lastEchoByte));
            failed_ = true;
            enableTestButtons(true);
            s.dataPending = true;
            durationTick();  // logs the missing data at once
            releaseCommand();
            emit changed();
            emit testFinished();
            return;
        case 0:
            if (eepromFollowUp_) {
                if (followUpAcks_ == kFollowUpAckCount) {
                    logLine(QStringLiteral("Alarm/Dose Records DELETED"));
                }
                if (--followUpAcks_ <= 0) eepromFollowUp_ = 0;
            } else if (endAckPending_) {
                endAckPending_ = false;
                logLine(QStringLiteral("End of Test accepted by HM-210"));
                enableTestButtons(true);
                emit changed();
            } else {
                logLine(QString());
                logLine(QStringLiteral("'*' received -> HM-210 connected to PC"));
            }
            return;
        case code::kDataOffset:
            endAckPending_ = false;
            logLine(QStringLiteral("End of Test accepted by HM-210"));
            enableTestButtons(true);
            emit changed();
            return;
        default:
            break;
    }
    // An echo carries the command's code (the state may already wait for its data).
    if (s.replyCode > 0 && s.replyCode < code::kDataOffset) {
        handleEcho();
    } else if (s.replyCode > code::kDataOffset && s.replyCode < 200) {
        handleData();
    }
}

void TestConsoleController::handleEcho() {
    LinkState& s = link_.state();
    const char command = s.commandBytes[0];
    if (command == 's' || command == 'd') {
        // The monitor takes the measuring time and then measures away from the PC.
        offlineButton_ = -1;
        sendMeasureTime();
        const bool spectrum = command == 's';
        logLine(QString());
        logLine(spectrum ? QStringLiteral("HM-210 is READY to measure Spectrum of N-det")
                         : QStringLiteral("HM-210 is READY to measure Histogram of N-det"));
        logLine(QStringLiteral("Disconnect HM-210 from PC COM and move it to NEUTRON source"));
        logLine(spectrum ? QStringLiteral("Press BUTTON on HM-210 to start Spectrum")
                         : QStringLiteral("Press BUTTON on HM-210 to start Histogram"));
        return;
    }
    if (command == 'g') return;  // the words follow
    keepEndText_ = std::strchr("UBVGNTYDCAFREa", command) != nullptr;
    ++s.echoCount;
    echoCountText_ = QString::number(s.echoCount);
    echoCountHighlighted_ = true;
    if (s.firstEchoPending) {
        s.firstEchoPending = false;
        enableTestButtons(false);
        captions_[s.startedButtonIndex] = QStringLiteral("STOP");
        enabled_[s.startedButtonIndex] = true;
        switch (command) {
            case 'M':
            case 'O':  // the recording runs until it is stopped
                durationTimer_.stop();
                break;
            case 'D':
                sendDacBlock();
                durationTimer_.start(kDacRunMs);
                break;
            case 'L':
                lcdControlsEnabled_ = true;
                durationTimer_.stop();
                break;
            case 'a':
                sendClockBlock();
                break;
            case 'S':
            case 'n':
            case 'H':
                sendMeasureTime();
                durationTimer_.stop();
                break;
            default:
                break;
        }
        s.busy = true;
    }
    emit changed();
}

void TestConsoleController::sendDacBlock() {
    LinkState& s = link_.state();
    uint8_t block[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // saw tooth
    if (dacUnits_ != DacUnits::SawTooth) {
        uint16_t levels[2] = {0, 0};
        parseDacLevels(levels);
        s.settings.gammaDiscriminator = static_cast<int16_t>(levels[0]);
        s.settings.neutronDiscriminator = static_cast<int16_t>(levels[1]);
        block[0] = static_cast<uint8_t>(levels[0] & 0xFF);
        block[1] = static_cast<uint8_t>(levels[0] >> 8);
        block[2] = static_cast<uint8_t>(levels[1] & 0xFF);
        block[3] = static_cast<uint8_t>(levels[1] >> 8);
    }
    const std::string bytes(reinterpret_cast<const char*>(block), 4);
    std::memcpy(s.commandBytes.data(), block, 4);
    s.commandBytes[4] = 0;
    link_.port().writeBlock(block, 4);
}

bool TestConsoleController::takeClockBlock() {
    int v[6] = {0, 0, 0, 0, 0, 0};
    const int fields = std::sscanf(clockText_.toLatin1().constData(), " %d-%d-%d %d:%d:%d", &v[0],
                                   &v[1], &v[2], &v[3], &v[4], &v[5]);
    // A clock that is no date is refused rather than sent as the low bytes of its numbers.
    const int low[6] = {0, 1, 1, 0, 0, 0};
    const int high[6] = {99, 12, 31, 23, 59, 59};
    for (int i = 0; i < 6; ++i) {
        if (fields != 6 || v[i] < low[i] || v[i] > high[i]) {
            logLine(QString());
            logLine(QStringLiteral("Clock \"%1\" refused: expected yy-mm-dd  hh:mm:ss")
                        .arg(clockText_.trimmed()));
            return false;
        }
    }
    for (int i = 0; i < 6; ++i)
        clockBlock_[i] = static_cast<uint8_t>(v[i]);
    return true;
}

void TestConsoleController::sendClockBlock() {
    // The clock checked when the command started: the monitor waits for exactly these bytes.
    Link::tickDelay(1);
    link_.port().writeBlock(clockBlock_.data(), static_cast<int>(clockBlock_.size()));
}

void TestConsoleController::handleData() {
    LinkState& s = link_.state();
    switch (s.replyCode) {
        case 106: {  // key events of the button test
            for (; s.readIndex < s.receivedCount; ++s.readIndex) {
                const uint8_t key = s.replyData[s.readIndex];
                if (key == 0xFF) {
                    keyLabel_ = QStringLiteral(" SPIKE ");
                    keyColour_ = KeyColour::White;
                } else if (key == 0x01) {
                    keyLabel_ = QStringLiteral(" SHORT ");
                    keyColour_ = KeyColour::Green;
                } else if (key == 0x02) {
                    keyLabel_ = QStringLiteral(" LONG   ");
                    keyColour_ = KeyColour::Yellow;
                } else {
                    keyLabel_ = QString::asprintf(" Wrong %02Xh ", key);
                    keyColour_ = KeyColour::Magenta;
                }
            }
            durationTimer_.stop();
            break;
        }
        case 107:
        case 108: {
            const float value =
                static_cast<float>(static_cast<int16_t>(s.replyData[0] | (s.replyData[1] << 8))) *
                0.01f;
            if (s.replyCode == 107) {
                temperatureText_ = QString::asprintf("%5.1f grad C", value);
                logLine(QString::asprintf("Temperature = %5.1f grad C", value));
            } else {
                batteryText_ = QString::asprintf("%9.2f Volt", value);
                logLine(QString::asprintf("Battery = %4.2f Volt", value));
            }
            s.state -= code::kDataOffset;
            break;
        }
        case 110:  // the DAC values were taken
            durationTick();
            break;
        case 113: {
            const auto& d = s.replyData;
            clockText_ = QString::asprintf(" %02d-%02d-%02d  %02d:%02d:%02d", d[0], d[1], d[2],
                                           d[3], d[4], d[5]);
            s.state -= code::kDataOffset;
            break;
        }
        case 115: {
            const auto& d = s.replyData;
            const int32_t minutes = static_cast<int32_t>(d[0] | (d[1] << 8) | (d[2] << 16) |
                                                         (static_cast<uint32_t>(d[3]) << 24));
            logLine(QString::asprintf(
                "Total Time %d min, i.e. %d hours, DEF %hd, LOW %hd, HIGH %hd, CURR %hd", minutes,
                minutes / 60, static_cast<short>(d[4]), static_cast<short>(d[5]),
                static_cast<short>(d[6]), static_cast<short>(d[7])));
            if (d[4] == 0xFF) logLine(QStringLiteral("ERROR Read Time/Error Counters"));
            const int32_t chip = static_cast<int32_t>(d[8] | (d[9] << 8) | (d[10] << 16) |
                                                      (static_cast<uint32_t>(d[11]) << 24));
            logLine(QString::asprintf("DS2438 serial# %d ", chip));
            break;
        }
        case 116:
        case 117: {
            const uint8_t result = s.replyData[s.readIndex];
            s.readIndex = static_cast<int16_t>(s.readIndex + 1);
            logLine(result == 0 ? QStringLiteral("Result of test: OK")
                                : QString::asprintf("Result of test: ERROR = %02X", result));
            // The memory test ran over the record area: its end clears both record kinds.
            if (s.replyCode == code::kEepromTest + code::kDataOffset) eepromFollowUp_ = 1;
            durationTick();
            break;
        }
        case 111:
            handleCounters();
            break;
        case 124:
            handleBatteryReport();
            break;
        case 118:
            handleScanStep();
            break;
        case 109:
            handleAdcBlock();
            break;
        case 133:
            // One word of the off-line data; the link is re-armed for the next.
            if (stepsLeft_ < kScanSteps) {
                rawCounts_[stepsLeft_++] =
                    static_cast<uint16_t>(s.replyData[0] | (s.replyData[1] << 8));
            }
            s.receivedCount = 0;
            s.expectedCount = 2;
            break;
        default:
            break;
    }
    emit changed();
}

void TestConsoleController::handleCounters() {
    LinkState& s = link_.state();
    std::array<uint16_t, 4> raw;
    for (int i = 0; i < 4; ++i) {
        raw[i] = static_cast<uint16_t>(s.replyData[2 * i] | (s.replyData[2 * i + 1] << 8));
    }
    const CountersResult r = evaluateCounters(counters_, raw, s.settings.doseUnitCode);
    // A unit code that names no unit leaves the previous text in the buffer.
    if (!r.logLine.isEmpty()) countersText_ = r.logLine;
    logLine(QString::fromLatin1(countersText_));
    for (int i = 0; i < 4; ++i)
        counterLabels_[i] = QString::number(raw[i]);
    if (!s.singleMode) {
        ++values_[histogramBin(raw[0])];
        if (recordingOn_ && s.recordFile) {
            // Written at its formatted length: a wide value is never cut.
            std::fwrite(r.recordLine.constData(), 1, static_cast<size_t>(r.recordLine.size()),
                        s.recordFile);
            if (countersStop_) {
                const QString error = completeRecordFile();
                if (!error.isEmpty()) {
                    logLine(error);
                    logLine(keepIncomplete(s.recordFile, QString::fromStdString(s.fileName)));
                }
                recordingOn_ = false;
            }
        }
    }
    if (!countersStop_ && !s.singleMode) {
        s.state -= code::kDataOffset;
        durationTick();
        return;
    }
    recordingSwitchEnabled_ = true;
    const bool repeat = !s.singleMode;
    endTest();
    if (!repeat) return;
    // The histogram of the first counts.
    if (std::FILE* hist = std::fopen("GammaHist.asc", "wb")) {
        for (uint16_t v : values_)
            std::fprintf(hist, "%5u\n", v);
        std::fclose(hist);
    } else {
        logLine(QStringLiteral("Cannot create GammaHist.asc: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
}

bool TestConsoleController::createRecordFile(const QString& name) {
    LinkState& s = link_.state();
    closeRecordFile();
    s.fileName = name.toStdString();
    // Written beside the earlier file, which stays until the new one is complete.
    s.recordFile = openIncomplete(name);
    if (!s.recordFile) {
        logLine(QString());
        logLine(QStringLiteral("Cannot create file %1: %2")
                    .arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    return true;
}

void TestConsoleController::finishRecordFile() {
    LinkState& s = link_.state();
    if (!s.recordFile) return;
    const QString error = failed_ ? QString() : completeRecordFile();
    closeRecordFile();
    logLine(QStringLiteral("File %1 closed").arg(QString::fromStdString(s.fileName)));
    if (!error.isEmpty()) logLine(error);
    if (failed_ || !error.isEmpty())
        logLine(keepIncomplete(s.recordFile, QString::fromStdString(s.fileName)));
}

QString TestConsoleController::completeRecordFile() {
    LinkState& s = link_.state();
    const QString name = QString::fromStdString(s.fileName);
    const QString error = completeFile(s.recordFile, name);
    if (error.isEmpty()) return {};
    return QStringLiteral("Cannot write file %1: %2").arg(name, error);
}

void TestConsoleController::closeRecordFile() {
    LinkState& s = link_.state();
    if (s.recordFile) {
        std::fclose(s.recordFile);
        s.recordFile = nullptr;
    }
}

void TestConsoleController::toggleRecording() {
    recordingOn_ = !recordingOn_;
    enabled_[index(Button::Record)] = recordingOn_;
    emit changed();
}

void TestConsoleController::startBatteryRecording() {
    if (!createRecordFile(fileName_)) {
        emit changed();
        return;
    }
    logLine(QStringLiteral("-------------------------"));
    logLine(QStringLiteral("File %1 created").arg(fileName_));
    recordingTimer_.start(kRecordingWatchdogMs);
    recordingSwitchEnabled_ = false;
    stopRequested_ = false;
    startTest(Button::Record);
}

void TestConsoleController::handleBatteryReport() {
    LinkState& s = link_.state();
    const uint16_t word = static_cast<uint16_t>(s.replyData[0] | (s.replyData[1] << 8));
    const float volts = static_cast<float>(word & kBatteryWordMask) * 0.01f;
    batteryText_ = QString::asprintf("%9.2f Volt", volts);
    clickClockEdit();
    int t[6] = {0, 0, 0, 0, 0, 0};
    std::sscanf(clockText_.toLatin1().constData(), " %d-%d-%d %d:%d:%d", &t[0], &t[1], &t[2], &t[3],
                &t[4], &t[5]);
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%02d:%02d:%02d %4.2f\n", t[3], t[4], t[5],
                                static_cast<double>(volts));
    if (s.recordFile) std::fwrite(line, 1, static_cast<size_t>(n), s.recordFile);
    logLine(QString::fromLatin1(line, n - 1));
    ++s.echoCount;
    echoCountText_ = QString::number(s.echoCount);
    echoCountHighlighted_ = true;
    if (stopRequested_) return;
    recordingTimer_.start(kRecordingWatchdogMs);
    s.receivedCount = 0;
    s.expectedCount = 2;
}

void TestConsoleController::stopBatteryRecording(bool byWatchdog) {
    if (byWatchdog) {
        auto guard = link_.lock();
        recordingTimer_.stop();
        logLine(QStringLiteral("### 65 sec NO DATA from Voltmeter of HM-210"));
        link_.port().writeString("o");
        failed_ = true;
    } else {
        {
            auto guard = link_.lock();
            enabled_[index(Button::Record)] = false;
            captions_[index(Button::Record)] = QStringLiteral("WAIT");
            stopRequested_ = true;
            link_.port().writeString("o");
        }
        emit changed();
        // Reports already under way are still written while the monitor stops.
        const int ends = endCount_;
        Link::tickDelay(kStopWaitTicks);
        if (endCount_ != ends) return;  // ended meanwhile (the port went away)
    }
    auto guard = link_.lock();
    recordingTimer_.stop();
    finishRecordFile();
    recordingSwitchEnabled_ = true;
    recordingOn_ = false;
    endTest();
}

void TestConsoleController::recordingWatchdog() {
    auto guard = link_.lock();
    stopBatteryRecording(true);
}

void TestConsoleController::clickClockEdit() {
    clockText_ = pcClockText();
}

void TestConsoleController::cycleDacUnits() {
    auto guard = link_.lock();
    const bool scanRunning = link_.state().state == 118;
    switch (dacUnits_) {
        case DacUnits::Steps:
            for (auto& t : dacTexts_)
                t = QString::number(toMilliVolts(t.trimmed().toLong()));
            dacUnits_ = DacUnits::MilliVolts;
            dacUnitCaption_ = QStringLiteral("[ mV ]");
            break;
        case DacUnits::MilliVolts:
            if (!scanRunning) {
                dacEditsEnabled_ = false;
                dacUnits_ = DacUnits::SawTooth;
                dacUnitCaption_ = QStringLiteral("saw tooth");
                break;
            }
            [[fallthrough]];
        case DacUnits::SawTooth:
            if (!scanRunning) dacEditsEnabled_ = true;
            for (auto& t : dacTexts_)
                t = QString::number(toSteps(t.trimmed().toLong()));
            dacUnits_ = DacUnits::Steps;
            dacUnitCaption_ = QStringLiteral("[ step ]");
            break;
    }
    emit changed();
}

void TestConsoleController::stepRatio(int shown) {
    auto guard = link_.lock();
    UserSettings& u = link_.state().settings;
    ratioText_ = QString::number(shown);
    if (shown == u.contrastCoarse) return;
    u.contrastCoarse = static_cast<uint8_t>(shown);
    const char block[2] = {'r', static_cast<char>(shown)};
    link_.port().writeBlock(block, 2);
    logLine(QString::asprintf("New LCD ratio = %hd", static_cast<short>(shown)));
    emit changed();
}

void TestConsoleController::stepContrast(int shown) {
    auto guard = link_.lock();
    LinkState& s = link_.state();
    contrastText_ = QString::number(shown);
    if (shown == s.settings.contrastFine) return;
    // Replies are ignored in this state, so the contrast bytes are not counted as echoes.
    s.state = code::kContrast;
    s.settings.contrastFine = static_cast<uint8_t>(shown);
    const char block[2] = {'c', static_cast<char>(shown)};
    link_.port().writeBlock(block, 2);
    logLine(QString::asprintf("New LCD contrast = %hd", static_cast<short>(shown)));
    emit changed();
}

void TestConsoleController::toggleBacklite() {
    auto guard = link_.lock();
    UserSettings& u = link_.state().settings;
    u.backlightOn = !u.backlightOn;
    const char block[2] = {'b', u.backlightOn ? '1' : '0'};
    link_.port().writeBlock(block, 2);
    backliteCaption_ =
        u.backlightOn ? QStringLiteral("Backlite EN") : QStringLiteral("Backlite DIS");
    logLine(u.backlightOn ? QStringLiteral("LCD Backlite ENABLED")
                          : QStringLiteral("LCD Backlite DISABLED"));
    emit changed();
}

void TestConsoleController::closeConsole() {
    auto guard = link_.lock();
    if (running()) {
        // The monitor stops its battery reports on "o", its key events and spectra on "Z";
        // the end closes the recording's file.
        const int started = link_.state().startedButtonIndex;
        if (started == index(Button::Record)) {
            link_.port().writeString("o");
        } else if (link_.state().busy &&
                   (started == index(Button::Mode) || started == index(Button::Spectrum) ||
                    started == index(Button::SpecAdc))) {
            link_.port().writeString("Z");
        }
        endTest();
    }
    echoTimer_.stop();
    durationTimer_.stop();
    recordingTimer_.stop();
    spectrumTimer_.stop();
}

void TestConsoleController::portLost(const QString& message) {
    auto guard = link_.lock();
    // An off-line read waits for its words with no timer running: it ends too.
    if (!running() && offlineButton_ < 0) return;
    logLine(message);
    // Nothing more goes out on a port that is gone: no stop character, no record clearing.
    failed_ = true;
    stopRequested_ = true;
    eepromFollowUp_ = 0;
    link_.state().dataPending = false;
    endTest();
}

void TestConsoleController::mainMenu() {
    closeConsole();
    emit closeRequested();
}

}  // namespace prm
