#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <array>
#include <functional>

#include "counters.h"
#include "link.h"
#include "spectrum_plot.h"

namespace prm {

// The hardware test console without its window ("HW Tests"): runs the monitor's
// self-tests once or repeatedly, evaluates the counters, sets the DACs, the clock and the
// LCD, and records the battery voltage.
class TestConsoleController : public QObject {
    Q_OBJECT
  public:
    // The buttons that start commands; the index is the button's index for
    // startedButtonIndex.
    enum class Button {
        Uart,
        Buzzer,
        Vibrator,
        GammaLed,
        NeutronLed,
        Mode,
        Temperature,
        Battery,
        Dac,
        Counters,
        ReadRtc,
        Lcd,
        Status,
        Ram,
        Eeprom,
        SendRtc,
        Record,
        Spectrum,
        SpecAdc,
        NSpectrum,
        GetSpectrum,
        NHistogram,
        GetHistogram,
    };
    static constexpr int kButtonCount = static_cast<int>(Button::GetHistogram) + 1;
    enum class KeyColour { None, White, Green, Yellow, Magenta };
    enum class DacUnits { Steps = 0, MilliVolts = 1, SawTooth = 2 };

    static constexpr int kEchoTimeoutMs = 200;
    static constexpr int kCountersEchoTimeoutMs = 2100;
    static constexpr int kDacRunMs = 10000;
    static constexpr int kRecordingWatchdogMs = 65000;
    static constexpr int kSettingsWaitTicks = 10;
    static constexpr int kStopWaitTicks = 20;  // after "o"
    static constexpr int kDacMaxSteps = 4095;
    static constexpr int kScanSteps = 41;
    static constexpr int kScanWatchdogMs = 40000;
    static constexpr int kAdcWatchdogMs = 5000;
    static constexpr int kOfflineWaitTicks = 10;

    explicit TestConsoleController(Link& link, QObject* parent = nullptr);
    ~TestConsoleController() override;

    // Asked before the EEPROM test, which deletes the records: true to go on.
    void setEepromConfirmation(std::function<bool()> confirm) {
        confirmEeprom_ = std::move(confirm);
    }
    void setPcClock(std::function<QDateTime()> clock) { pcClock_ = std::move(clock); }

    // What the window shows.
    ScreenLog& log() { return log_; }
    const ScreenLog& log() const { return log_; }
    QString buttonCaption(Button b) const { return captions_[index(b)]; }
    bool buttonEnabled(Button b) const { return enabled_[index(b)]; }
    bool buttonCaptionRed(Button b) const { return b == Button::Eeprom && eepromCaptionRed_; }
    bool singleMode() const;
    QString singleRepeatCaption() const { return singleMode() ? "Single" : "Repeat"; }
    bool singleRepeatEnabled() const { return singleRepeatEnabled_; }
    QString dacText(int i) const { return dacTexts_[i]; }
    bool dacEditsEnabled() const { return dacEditsEnabled_; }
    QString dacUnitCaption() const { return dacUnitCaption_; }
    QString ratioText() const { return ratioText_; }
    QString contrastText() const { return contrastText_; }
    QString lcdTemperatureText() const { return lcdTempText_; }
    bool lcdControlsEnabled() const { return lcdControlsEnabled_; }
    QString backliteCaption() const { return backliteCaption_; }
    QString clockText() const { return clockText_; }
    QString temperatureText() const { return temperatureText_; }
    QString batteryText() const { return batteryText_; }
    QString counterLabel(int i) const { return counterLabels_[i]; }
    QString echoCountText() const { return echoCountText_; }
    bool echoCountHighlighted() const { return echoCountHighlighted_; }
    QString keyLabel() const { return keyLabel_; }
    KeyColour keyColour() const { return keyColour_; }
    QString fileName() const { return fileName_; }
    bool recordingOn() const { return recordingOn_; }
    QString recordingCaption() const { return recordingOn_ ? "Recording ON" : "Recording OFF"; }
    bool recordingSwitchEnabled() const { return recordingSwitchEnabled_; }
    // The curve drawn last (a spectrum), or the counters histogram of a Repeat run.
    const std::array<uint16_t, kHistogramBins>& curve() const { return values_; }
    const SpectrumPlot& plot() const { return plot_; }
    bool gammaSelected() const { return gammaSelected_; }
    QString gammaCaption() const { return gammaSelected_ ? "Gamma" : "Neutron"; }
    QString timeText() const { return timeText_; }
    void setTimeText(const QString& text) { timeText_ = text; }
    QString yScaleLabel() const { return yScaleLabel_; }
    bool yScaleLabelWhite() const { return yScaleLabelWhite_; }
    QString readout(int i) const { return readouts_[i]; }
    bool buttonVisible(Button b) const { return b != Button::Status && b != Button::SpecAdc; }
    // A command is under way: started and not yet ended.
    bool running() const;

    // Opening: log, buttons, the user settings read through the settings editor, fields.
    void activate();
    // A click on a command button (also "STOP" on the running one).
    void click(Button b);
    void toggleSingleRepeat();
    void cycleDacUnits();
    void setDacText(int i, const QString& text) { dacTexts_[i] = text; }
    void setRatioText(const QString& text) { ratioText_ = text; }
    void setContrastText(const QString& text) { contrastText_ = text; }
    void stepRatio(int shown);
    void stepContrast(int shown);
    void toggleBacklite();
    // A click on the clock edit fills in the PC's date and time.
    void clickClockEdit();
    void setClockText(const QString& text) { clockText_ = text; }
    void setFileName(const QString& name) { fileName_ = name; }
    void toggleRecording();
    void toggleGamma();
    // The mouse over the picture, and a click on it.
    void mouseOverPicture(int x, int y);
    void clickPicture(int x, int y);
    // Closing the console, whichever way: a running command ends, a battery recording is
    // stopped ("o" sent, its file closed) and no timer is left running.
    void closeConsole();
    // "Main Menu": closeConsole, then the window closes with OK.
    void mainMenu();

    // The port went away: what runs ends at once as a failure, with the port's message; a
    // recording's file is kept as incomplete.
    void portLost(const QString& message);

    void replyHandler();
    void durationTick();
    void recordingWatchdog();
    void spectrumWatchdog();

  signals:
    void changed();
    void testFinished();
    void closeRequested();

  private:
    struct TestSpec;
    static int index(Button b) { return static_cast<int>(b); }
    static const TestSpec& specOf(Button b);
    void logLine(const QString& line);
    void enableTestButtons(bool on);
    void setSingleMode(bool single);
    void startTest(Button b);
    // The console's send-and-wait: echo timer 200 ms, the duration timer, Single/Repeat
    // disabled, the echo count cleared.
    void runCommand(Button b, int32_t commandCode, const std::string& bytes, const char* startText,
                    const char* endText, int durationMs);
    // The one end of every console command, however it ended (end text, STOP, no echo,
    // watchdog): the measurement's watchdog stops with it and a recording's file is closed.
    void endTest();
    // Everything endTest does except its log line and the buttons: also the end after a
    // wrong echo, which reports itself.
    void releaseCommand();
    void handleEcho();
    void handleData();
    void handleCounters();
    void handleBatteryReport();
    void runEepromFollowUp();
    void readUserSettings();
    void fillFromSettings();
    bool parseDacLevels(uint16_t levels[2]);
    void sendDacBlock();
    // Takes the six clock bytes from the clock text; false (logged) when it is no date.
    bool takeClockBlock();
    void sendClockBlock();
    void startBatteryRecording();
    void stopBatteryRecording(bool byWatchdog);
    // Closes the recording's file as it is: one not completed stays incomplete.
    void closeRecordFile();
    // A recording that ended whole takes its own name; returns the log line of a failure.
    QString completeRecordFile();
    // Closes a recording's file at the end of its command; one cut short by a failure is
    // kept under a name that says so.
    void finishRecordFile();
    bool createRecordFile(const QString& name);
    QString pcClockText() const;
    bool parseTime(unsigned limit, unsigned* seconds);
    void requestSpectrumStop(Button b);
    void startScan();
    void handleScanStep();
    void finishScan();
    void startAdc();
    void handleAdcBlock();
    void enableOffline(bool histogram);
    void readOffline(bool histogram);
    // A failure (no echo, "Z", wrong echo) of the off-line command under way: its own
    // lines logged and the command ended. False for its echo and data, handled as usual.
    bool handleOfflineFailure();
    // The end of an off-line command: its echo timer stops, its button gets its caption
    // back, and no other command's end text or button is touched.
    void endOffline(bool restoreCaption);
    void drawOfflineCurve();
    void listRows(const uint16_t* data, int count);
    void sendMeasureTime();
    void setScannedLevel(int milliVolts);

    Link& link_;
    ScreenLog log_;
    QTimer echoTimer_;
    QTimer durationTimer_;
    QTimer recordingTimer_;
    std::function<bool()> confirmEeprom_;
    std::function<QDateTime()> pcClock_ = [] { return QDateTime::currentDateTime(); };

    std::array<QString, kButtonCount> captions_;
    std::array<bool, kButtonCount> enabled_{};
    bool eepromCaptionRed_ = false;
    bool singleRepeatEnabled_ = true;
    std::array<QString, 2> dacTexts_ = {QStringLiteral("2000"), QStringLiteral("4000")};
    bool dacEditsEnabled_ = true;
    DacUnits dacUnits_ = DacUnits::Steps;
    QString dacUnitCaption_ = QStringLiteral("[ step ]");
    QString ratioText_ = QStringLiteral("4");
    QString contrastText_ = QStringLiteral("22");
    QString lcdTempText_;
    bool lcdControlsEnabled_ = false;
    QString backliteCaption_ = QStringLiteral("Backlite");
    QString clockText_ = QStringLiteral(" 02-08-01  12:00:00");
    QString temperatureText_ = QStringLiteral("        grad C");
    QString batteryText_ = QStringLiteral("            Volt");
    std::array<QString, 4> counterLabels_ = {QStringLiteral("T0"), QStringLiteral("T1"),
                                             QStringLiteral("T2"), QStringLiteral("neutr")};
    QString echoCountText_ = QStringLiteral("0");
    bool echoCountHighlighted_ = false;
    QString keyLabel_ = QStringLiteral(" NO key ");
    KeyColour keyColour_ = KeyColour::None;
    QString fileName_ = QStringLiteral("FileName.ASC");
    bool recordingSwitchEnabled_ = true;

    // Console state.
    bool recordingOn_ = false;
    bool stopRequested_ = false;
    bool countersStop_ = false;
    bool keepEndText_ = false;
    // The running command failed (no echo, wrong echo, "Z", watchdog, lost port): a
    // recording it wrote is incomplete.
    bool failed_ = false;
    // A Repeat request's data stopped short and was reported at a duration tick: the next
    // tick ends the command.
    bool shortDataReported_ = false;
    // Counts the ends of commands, so that a wait that lets events run can tell that the
    // command ended meanwhile.
    int endCount_ = 0;
    int eepromFollowUp_ = 0;
    int followUpAcks_ = 0;
    // The monitor answered "Z" to the running command: it is not sent again, the next
    // duration tick (or the started button) ends it.
    bool zAnswered_ = false;
    // A "Z" ended a stream: the monitor's acknowledgement of it is the end of the test.
    bool endAckPending_ = false;
    std::array<uint8_t, 6> clockBlock_{};
    CountersState counters_;
    QByteArray countersText_;
    std::array<uint16_t, kHistogramBins> values_{};

    // Spectra.
    QTimer spectrumTimer_;
    SpectrumPlot plot_;
    bool gammaSelected_ = true;
    bool scanIsGamma_ = false;
    std::array<uint16_t, kScanSteps> secondCounts_{};
    std::array<uint16_t, kScanSteps> rawCounts_{};
    uint16_t threshold_ = 0;
    uint16_t measureTime_ = 0;
    int stepIndex_ = 0;
    int channelCount_ = 0;
    int stepsLeft_ = 0;
    int markerX_ = 0;
    QString timeText_ = QStringLiteral(" 10");
    QString yScaleLabel_;
    bool yScaleLabelWhite_ = false;
    std::array<QString, 2> readouts_;
    // The off-line command under way ("N-Spectrum", "N-Histogram", "Get ..."), -1 for none.
    int offlineButton_ = -1;
    bool offlineFailed_ = false;
};

}  // namespace prm
