// The records screen's controller against a scripted monitor on a pseudo-terminal: the
// log lines, the record files, printing, and every failure path with its text.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "pty_peer.h"
#include "qt_wait.h"
#include "records.h"

namespace prm {
namespace {

using Button = RecordsController::Button;
using Block = QByteArray;

const char kAck = char(0xAA);

Block header() {
    const unsigned char b[16] = {0x34, 0x12, 0x02, 0x00, 26,  11,  30,  9,
                                 15,   0,    0xA1, 0x01, '1', '7', '0', 'A'};
    return Block(reinterpret_cast<const char*>(b), 16);
}
Block alarmA() {
    const unsigned char b[16] = {26,   12,   1,    0,    0,    0,    100, 0,
                                 0xEF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 20,  'A'};
    return Block(reinterpret_cast<const char*>(b), 16);
}
Block testPattern() {
    Block b(16, 0);
    for (int i = 0; i < 16; ++i)
        b[i] = char(i);
    return b;
}
Block endBlock(int markerByte) {
    Block b(16, 0);
    b[markerByte] = kAck;
    return b;
}

// Records every call, so page layout can be checked without paper.
struct FakePrinter : RecordPrinter {
    struct Line {
        int page;
        int y;
        QString text;
    };
    std::vector<Line>* lines;
    int* jobs;
    int page = 1;
    FakePrinter(std::vector<Line>* l, int* j) : lines(l), jobs(j) {}
    void beginJob() override { ++*jobs; }
    void printLine(int y, const QString& text) override { lines->push_back({page, y, text}); }
    void newPage() override { ++page; }
    void endJob() override {}
};

class RecordsScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        previousDir = QDir::currentPath();
        QDir::setCurrent(dir.path());  // record files go to the current folder
        link.port().setDevice(peer.device());
        ASSERT_TRUE(link.port().open());
        link.ensureWorker();
        ctl.activate();
        QObject::connect(&ctl, &RecordsController::transferFinished, [this] { ++finished; });
    }
    void TearDown() override { QDir::setCurrent(previousDir); }

    QStringList log() const { return ctl.log().lines(); }
    // The log from the start text of the last transfer on.
    QStringList lastTransfer() const {
        const QStringList l = log();
        for (qsizetype i = l.size() - 1; i >= 0; --i) {
            if (l[i].startsWith("START")) return l.mid(i);
        }
        return l;
    }
    bool waitFinished(int n = 1, int limitMs = 5000) {
        return waitUntil([&] { return finished >= n; }, limitMs);
    }
    QByteArray fileContent(const QString& name) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir dir;
    QString previousDir;
    PtyPeer peer;
    Link link;
    RecordsController ctl{link};
    int finished = 0;
};

TEST_F(RecordsScreen, ReadAlarmsLogsAndRecordsOnceThenSwitchesAlarmRecordingOff) {
    ctl.click(Button::ReadAlarms);
    ASSERT_EQ(peer.take(1), "P");
    peer.send(QByteArray(1, kAck));
    ASSERT_TRUE(waitUntil([&] { return ctl.buttonCaption(Button::ReadAlarms) == "STOP"; }));
    EXPECT_FALSE(ctl.buttonEnabled(Button::ClearDose));
    EXPECT_FALSE(ctl.buttonEnabled(Button::RecordingAlarms));
    peer.send(header() + alarmA() + alarmA() + endBlock(0));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer(),
              (QStringList{"START Reading ALARMS", "1234 0002 26/11/30 09:15:00 0417 1V70 A",
                           "26/12/01 00:00:00      100  65519     -2  20 A",
                           "26/12/01 00:00:00      100  65519     -2  20 A",
                           "Number of Records =   2", "Tranfer OK", "END Reading ALARMS"}));
    EXPECT_EQ(fileContent("FileALARM.ASC"),
              "1234 0002 26/11/30 09:15:00 0417 1V70 A\r"
              "26/12/01 00:00:00      100  65519     -2  20 A\r"
              "26/12/01 00:00:00      100  65519     -2  20 A\r"
              "Number of Records =   2\r");
    EXPECT_EQ(ctl.buttonCaption(Button::RecordingAlarms), "Recording OFF");
    EXPECT_EQ(ctl.buttonCaption(Button::RecordingDose), "Recording ON");
    EXPECT_FALSE(QFile::exists(dir.filePath("FileDOSE.ASC")));
    EXPECT_EQ(ctl.buttonCaption(Button::ReadAlarms), "Read Alarms");
    EXPECT_TRUE(ctl.buttonEnabled(Button::ClearDose));
    auto guard = link.lock();
    EXPECT_EQ(link.state().state, 0);
    EXPECT_FALSE(link.state().busy);
}

TEST_F(RecordsScreen, TestPatternHeaderCountsZeroAndIsOkWithMarkerInByte1) {
    ctl.click(Button::ReadDose);
    ASSERT_EQ(peer.take(1), "y");
    peer.send(QByteArray(1, kAck) + testPattern() + endBlock(1));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer(),
              (QStringList{"START Reading DOSE", "EEPROM set by Test of EEPROM",
                           "Number of Records =   0", "Tranfer OK", "END Reading DOSE"}));
}

TEST_F(RecordsScreen, EndMarkerOutsideByte0AfterARealHeaderIsATransferError) {
    ctl.click(Button::ReadAlarms);
    peer.take(1);
    peer.send(QByteArray(1, kAck) + header() + alarmA() + endBlock(2));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer().mid(3, 2), (QStringList{"Number of Records =   1", "Transfer ERROR"}));
}

TEST_F(RecordsScreen, UnreadableHeaderEndsTheRead) {
    ctl.click(Button::ReadAlarms);
    peer.take(1);
    peer.send(QByteArray(1, kAck) + Block("EEEE") + Block(12, 0));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer(),
              (QStringList{"START Reading ALARMS", "ERROR Read Header",
                           "File FileALARM.ASC incomplete: kept as FileALARM.ASC.incomplete",
                           "END Reading ALARMS"}));
}

TEST_F(RecordsScreen, BlocksThatStopEndTheReadByTimer3) {
    const QByteArray earlier = "1234 0002 26/11/30 09:15:00 0417 1V70 A\rNumber of Records =   0\r";
    {
        QFile f(dir.filePath("FileALARM.ASC"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(earlier);
    }
    ctl.click(Button::ReadAlarms);
    peer.take(1);
    peer.send(QByteArray(1, kAck) + header() + alarmA().left(7));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer(),
              (QStringList{"START Reading ALARMS", "1234 0002 26/11/30 09:15:00 0417 1V70 A",
                           "### Timeout Timer3 - 1 sec NO ALARM DATA from EEPROM",
                           "File FileALARM.ASC incomplete: kept as FileALARM.ASC.incomplete",
                           "END Reading ALARMS"}));
    EXPECT_EQ(ctl.buttonCaption(Button::RecordingAlarms), "Recording OFF");
    // The file cut short never looks like a complete record file, and the earlier one stays.
    EXPECT_EQ(fileContent("FileALARM.ASC"), earlier);
    EXPECT_EQ(fileContent("FileALARM.ASC.incomplete"), "1234 0002 26/11/30 09:15:00 0417 1V70 A\r");
}

// A read that never got its records leaves no record file that looks complete.
TEST_F(RecordsScreen, ReadWithoutEchoKeepsItsFileAsIncomplete) {
    ctl.click(Button::ReadAlarms);
    ASSERT_EQ(peer.take(1), "P");
    ASSERT_TRUE(waitFinished());
    EXPECT_TRUE(
        lastTransfer().contains("File FileALARM.ASC incomplete: kept as FileALARM.ASC.incomplete"));
    EXPECT_FALSE(QFile::exists(dir.filePath("FileALARM.ASC")));
    EXPECT_TRUE(QFile::exists(dir.filePath("FileALARM.ASC.incomplete")));
}

TEST_F(RecordsScreen, NoEchoIsReportedAndEndsTheTransfer) {
    ctl.click(Button::ClearAlarms);
    ASSERT_EQ(peer.take(1), "W");
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer(), (QStringList{"START Clear ALARMS", "HM-210 doesn't echo",
                                           "Check connection between HM-210 and PC COM - Try again",
                                           "No or short data from HM-210", "END Clear ALARMS"}));
}

TEST_F(RecordsScreen, WrongEchoIsLoggedWithItsByte) {
    ctl.click(Button::ReadAlarms);
    peer.take(1);
    peer.send("?");
    ASSERT_TRUE(waitUntil([&] { return log().size() >= 4; }));
    EXPECT_EQ(lastTransfer(),
              (QStringList{"START Reading ALARMS", "Wrong echo from HM-210  ?=3F hex, expected *",
                           "Timer2 - No or short data from HM-210"}));
}

// Out of its dock the monitor answers "Z"; the next Timer2 tick starts the read again.
TEST_F(RecordsScreen, ZIsRetriedByTimer2UntilTheMonitorIsDocked) {
    ctl.click(Button::ReadAlarms);
    ASSERT_EQ(peer.take(1), "P");
    peer.send("Z");
    ASSERT_EQ(peer.take(1), "P");  // sent again by the watchdog
    EXPECT_EQ(log().mid(log().size() - 4),
              (QStringList{"", "OK byte 'Z' received -> HM-210 removed from Docking Station", "",
                           "START Reading ALARMS"}));
    peer.send(QByteArray(1, kAck) + testPattern() + endBlock(0));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(lastTransfer().last(), "END Reading ALARMS");
}

// The clear's status byte: accepted, header write failed, anything else.
TEST_F(RecordsScreen, ClearStatusTexts) {
    const std::pair<char, const char*> table[] = {
        {kAck, "EEPROM Initialized OK"},
        {'E', "ERROR Write HEADER to EEPROM"},
        {0x55, "Wrong echo from HM-210 55h "},
    };
    int n = 0;
    for (const auto& [status, text] : table) {
        ctl.click(Button::ClearDose);
        ASSERT_EQ(peer.take(1), "x");
        peer.send(QByteArray(1, kAck) + QByteArray(1, status));
        ASSERT_TRUE(waitFinished(++n));
        EXPECT_EQ(lastTransfer(), (QStringList{"START Clear DOSE", text, "END Clear DOSE"}));
    }
}

TEST_F(RecordsScreen, ClearWithoutStatusTimesOutOnTheSecondTimer2Tick) {
    ctl.click(Button::ClearAlarms);
    peer.take(1);
    peer.send(QByteArray(1, kAck));
    ASSERT_TRUE(waitFinished(1, 5000));
    EXPECT_EQ(lastTransfer(),
              (QStringList{"START Clear ALARMS", "Timer2 - No or short data from HM-210",
                           "Timer2 - TIMEOUT "}));
}

TEST_F(RecordsScreen, StopDuringAReadChangesNothing) {
    ctl.click(Button::ReadAlarms);
    peer.take(1);
    peer.send(QByteArray(1, kAck) + header());
    ASSERT_TRUE(waitUntil([&] { return log().size() >= 4; }));
    ctl.click(Button::ReadAlarms);  // "STOP"
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(ctl.buttonCaption(Button::ReadAlarms), "STOP");
    peer.send(endBlock(0));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(peer.received().size(), 0);  // nothing more was sent
}

TEST_F(RecordsScreen, PrintingPutsFiftyFourRecordLinesOnAPage) {
    std::vector<FakePrinter::Line> lines;
    int jobs = 0;
    ctl.setPrinterProvider(
        [&](RecordKind) { return std::make_unique<FakePrinter>(&lines, &jobs); });
    ctl.click(Button::PrintAlarms);
    ASSERT_EQ(peer.take(1), "P");
    Block blocks = QByteArray(1, kAck) + header();
    for (int i = 0; i < 60; ++i)
        blocks += alarmA();
    peer.send(blocks + endBlock(0));
    ASSERT_TRUE(waitFinished());
    ASSERT_EQ(jobs, 1);
    ASSERT_EQ(lines.size(), 1u + 1 + 60 + 1);
    EXPECT_EQ(lines[0].text, "Alarms Registered by HM-210");
    EXPECT_EQ(lines[0].y, 300);
    EXPECT_EQ(lines[1].y, 400);  // the header line
    int firstPage = 0;
    int secondPage = 0;
    for (const auto& l : lines) {
        if (!l.text.endsWith(" A") || l.text.startsWith("1234")) continue;
        (l.page == 1 ? firstPage : secondPage)++;
    }
    EXPECT_EQ(firstPage, 54);
    EXPECT_EQ(secondPage, 6);
    EXPECT_EQ(lines[2 + 54].page, 2);
    EXPECT_EQ(lines[2 + 54].y, 400);
    EXPECT_EQ(lines.back().text, "Number of Records =  60");
}

// Printing with the monitor out of its dock: the watchdog asks the monitor again, never the
// user; a dialog still open keeps everything else waiting; "Cancel" in a later dialog stops
// the retries; and no page with only the title is printed.
TEST_F(RecordsScreen, PrintOutOfTheDockRetriesTheCommandNotTheDialog) {
    std::vector<FakePrinter::Line> lines;
    int jobs = 0;
    int dialogs = 0;
    int open = 0;
    int mostOpen = 0;
    ctl.setPrinterProvider([&](RecordKind) -> std::unique_ptr<RecordPrinter> {
        ++dialogs;
        mostOpen = std::max(mostOpen, ++open);
        waitUntil([] { return false; }, 700);  // the user reads the dialog
        --open;
        if (dialogs > 1) return nullptr;  // "Cancel"
        return std::make_unique<FakePrinter>(&lines, &jobs);
    });
    ctl.click(Button::PrintAlarms);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(peer.take(1, 5000), "P") << attempt;
        peer.send("Z");
    }
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(mostOpen, 1);
    EXPECT_TRUE(log().contains("START Print ALARMS"));

    ctl.click(Button::PrintAlarms);
    EXPECT_EQ(log().mid(log().size() - 2), (QStringList{"", "Print ALARMS Canceled"}));
    peer.take(peer.received().size());
    waitUntil([] { return false; }, 1200);  // two watchdog periods
    EXPECT_EQ(peer.received(), QByteArray());
    EXPECT_EQ(jobs, 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(ctl.transferRunning());
}

TEST_F(RecordsScreen, CancelledPrintDialogSendsNothing) {
    ctl.setPrinterProvider([](RecordKind) { return nullptr; });
    ctl.click(Button::PrintDose);
    EXPECT_EQ(log().mid(log().size() - 2), (QStringList{"", "Print DOSE Canceled"}));
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(peer.received().size(), 0);
}

TEST_F(RecordsScreen, RecordFileThatCannotBeCreatedStopsTheReadBeforeItStarts) {
    ctl.setFileName(RecordKind::Alarms, dir.filePath("no-such-folder/FileALARM.ASC"));
    ctl.click(Button::ReadAlarms);
    EXPECT_EQ(log().last(), "Cannot create record file " +
                                dir.filePath("no-such-folder/FileALARM.ASC") +
                                ": No such file or directory");
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(peer.received().size(), 0);
    EXPECT_TRUE(ctl.buttonEnabled(Button::ReadAlarms));
}

TEST_F(RecordsScreen, LogKeepsTheNewest21Lines) {
    for (int i = 0; i < 3; ++i) {
        ctl.click(Button::ReadDose);
        peer.take(1);
        peer.send(QByteArray(1, kAck) + header() + alarmA() + alarmA() + alarmA() + endBlock(0));
        ASSERT_TRUE(waitFinished(i + 1));
    }
    EXPECT_EQ(log().size(), 22);  // the memo's first empty line and 21 more
    EXPECT_EQ(log().last(), "END Reading DOSE");
}

}  // namespace
}  // namespace prm
