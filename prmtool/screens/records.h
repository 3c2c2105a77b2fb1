#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

#include "link.h"
#include "record_lines.h"

namespace prm {

// Where printed record lines go: a printer chosen in the print dialog, or a PDF file.
// Coordinates are printer units (600 per inch); lines are drawn at x = 10.
class RecordPrinter {
  public:
    virtual ~RecordPrinter() = default;
    virtual void beginJob() = 0;
    virtual void printLine(int y, const QString& text) = 0;
    virtual void newPage() = 0;
    virtual void endJob() = 0;
};

// The records screen without its window: reads, prints and clears the alarm and dose
// records of the monitor in its docking station, and writes them to record files.
class RecordsController : public QObject {
    Q_OBJECT
  public:
    // The screen's buttons; the index is the button's index for startedButtonIndex.
    enum class Button {
        ReadAlarms,
        PrintAlarms,
        RecordingAlarms,
        ClearAlarms,
        ReadDose,
        PrintDose,
        RecordingDose,
        ClearDose,
    };
    static constexpr int kButtonCount = 8;

    static constexpr int kEchoCheckMs = 200;       // Timer1
    static constexpr int kAlarmWatchdogMs = 500;   // Timer2 after "P"
    static constexpr int kOtherWatchdogMs = 1000;  // Timer2 after the other commands
    static constexpr int kBlockWatchdogMs = 1000;  // Timer3
    static constexpr int kTitleY = 300;
    static constexpr int kFirstLineY = 400;
    static constexpr int kLineStep = 100;
    static constexpr int kLinesPerPage = 54;

    // Runs the print dialog; returns the printer, or nullptr when the user cancelled.
    using PrinterProvider = std::function<std::unique_ptr<RecordPrinter>(RecordKind)>;

    explicit RecordsController(Link& link, QObject* parent = nullptr);
    ~RecordsController() override;

    void setPrinterProvider(PrinterProvider provider) { printerProvider_ = std::move(provider); }

    ScreenLog& log() { return log_; }
    const ScreenLog& log() const { return log_; }
    QString buttonCaption(Button b) const { return captions_[index(b)]; }
    bool buttonEnabled(Button b) const { return enabled_[index(b)]; }
    bool recording(RecordKind k) const { return recording_[kindIndex(k)]; }
    QString fileName(RecordKind k) const { return fileNames_[kindIndex(k)]; }
    void setFileName(RecordKind k, const QString& name) { fileNames_[kindIndex(k)] = name; }
    bool transferRunning() const;

    // Activation: activeScreen 5, both recordings on, log budget 21, state 0.
    void activate();
    // A click on any of the eight buttons.
    void click(Button b);
    void mainMenu();

    // Timer1Timer: the reply handler (also called by the data-in worker).
    void replyHandler();
    void timer2Tick();
    void timer3Tick();
    // The port went away: a running transfer ends at once, its record file kept as
    // incomplete.
    void portLost(const QString& message);

  signals:
    void changed();
    // A transfer ended (its end text logged).
    void transferFinished();
    void closeRequested();

  private:
    static int index(Button b) { return static_cast<int>(b); }
    static int kindIndex(RecordKind k) { return static_cast<int>(k); }
    static RecordKind kindOf(Button b);
    void setButtonCaption(Button b, const QString& caption) { captions_[index(b)] = caption; }
    void logLine(const QString& line);
    // A read, print or clear: the record file, the print dialog (not when the monitor is
    // only asked again after a "Z"), then the command.
    void startOperation(Button b, Link::Lock& guard, bool retry);
    void startTransfer();
    void finishTransfer();
    void handleBlock();
    void writeRecordLine(const QByteArray& line, int fixedLength);
    void printRecordLine(const QByteArray& line, bool counted);
    // Closes the kind's record file; one not completed stays incomplete.
    void closeRecordFile(bool switchRecordingOff);
    // A transfer that came whole: its file takes its own name.
    void completeRecordFile();
    // A record file cut short never looks complete: it stays incomplete, the log says so.
    void keepFileAsIncomplete();
    void endPrintJob();
    bool createRecordFile();
    std::FILE*& fileOf(RecordKind k);

    Link& link_;
    ScreenLog log_;
    QTimer timer1_;
    QTimer timer2_;
    QTimer timer3_;
    PrinterProvider printerProvider_;
    std::unique_ptr<RecordPrinter> printer_;

    std::array<QString, kButtonCount> captions_;
    std::array<bool, kButtonCount> enabled_;
    std::array<bool, 2> recording_ = {true, true};
    std::array<QString, 2> fileNames_ = {QStringLiteral("FileALARM.ASC"),
                                         QStringLiteral("FileDOSE.ASC")};
    RecordKind transferKind_ = RecordKind::Alarms;
    // The record file of the transfer under way, as named when it started.
    QString filePath_;
    char commandByte_ = 0;
    bool printing_ = false;
    bool printDialogOpen_ = false;
    // The title waits for the first line of the transfer.
    bool titlePending_ = false;
    int blockCounter_ = 0;
    bool done_ = false;
    bool headerNotTestPattern_ = false;
    int printY_ = 0;
    int pageLines_ = 0;
};

}  // namespace prm
