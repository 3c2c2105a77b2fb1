// The test console against the simulated monitor and a scripted pseudo-terminal: the
// opening sequence, every self-test with its texts, Single and Repeat, STOP, the failure
// texts, counters and battery recordings, and the EEPROM follow-up.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "console_fixtures.h"

namespace prm {
namespace {

TEST(ConsoleOpening, ReadsTheUserSettingsAndFillsTheFields) {
    OnSimulator c;
    const QStringList l = c.log();
    ASSERT_GE(l.size(), 5);
    EXPECT_EQ(l[0], "COM1 Selected");
    EXPECT_EQ(l[1], "Connect HM-210 to PC via RS-232 cabel");
    EXPECT_EQ(l[3], "Read User Settings from HM-210");
    EXPECT_TRUE(l[4].startsWith("OK Read CUSTOMER Parameters, time=")) << l[4].toStdString();
    EXPECT_EQ(c.ctl.dacText(0), "1700");
    EXPECT_EQ(c.ctl.dacText(1), "1650");
    EXPECT_EQ(c.ctl.ratioText(), "4");
    EXPECT_EQ(c.ctl.contrastText(), "28");
    EXPECT_EQ(c.ctl.lcdTemperatureText(), "24");
    EXPECT_EQ(c.ctl.temperatureText(), " 23.5 grad C");
    EXPECT_EQ(c.ctl.batteryText(), "     2.95 Volt");
    EXPECT_EQ(c.ctl.backliteCaption(), "Backlite EN");
    EXPECT_EQ(c.ctl.dacUnitCaption(), "[ step ]");
    // Until the line is proven with the UART test only its button is offered.
    EXPECT_TRUE(c.ctl.buttonEnabled(Button::Uart));
    EXPECT_FALSE(c.ctl.buttonEnabled(Button::Temperature));
    // An off-line measurement can be read back at once; a new one is enabled after a test.
    EXPECT_TRUE(c.ctl.buttonEnabled(Button::GetSpectrum));
    EXPECT_TRUE(c.ctl.buttonEnabled(Button::GetHistogram));
    EXPECT_FALSE(c.ctl.buttonEnabled(Button::NSpectrum));
    EXPECT_FALSE(c.ctl.buttonEnabled(Button::NHistogram));
    EXPECT_EQ(c.ctl.singleRepeatCaption(), "Single");
}

TEST(ConsoleOpening, SettingsThatDoNotComeAreReportedWithTheByteCount) {
    OnSimulator c({"--fault", "short-block"});
    EXPECT_TRUE(c.log().contains("ERROR Read CUSTOMER Parameters, read 20 bytes, expected 31"));
}

// Start and end texts of the tests that answer with the echo alone or a value.
TEST(ConsoleTests, StartAndEndTexts) {
    OnSimulator c;
    const std::tuple<Button, const char*, const char*> table[] = {
        {Button::Uart, "UART test U/* in progress", "UART test OK"},
        {Button::Buzzer, "Buzzer test START", "Buzzer test END"},
        {Button::Vibrator, "Vibrator test START", "Vibrator test END"},
        {Button::GammaLed, "Gamma LED test START", "Gamma LED test END"},
        {Button::NeutronLed, "Neutron LED test START", "Neutron LED test END"},
        {Button::ReadRtc, "Read RTC test START", "Read RTC test END"},
        {Button::SendRtc, "Send RTC START", "Send RTC END"},
        {Button::Dac, "DAC0/DAC1 test START", "DAC0/DAC1 test END"},
    };
    for (const auto& [button, start, end] : table) {
        ASSERT_TRUE(c.run(button)) << start;
        const QStringList t = c.from(start);
        ASSERT_FALSE(t.isEmpty()) << start;
        EXPECT_EQ(t.last(), end);
        EXPECT_NE(c.ctl.buttonCaption(button), "STOP");
    }
    EXPECT_TRUE(c.ctl.buttonEnabled(Button::Temperature));
}

TEST(ConsoleTests, TemperatureAndBatteryValues) {
    OnSimulator c({"--temperature", "2100", "--battery", "500"});
    ASSERT_TRUE(c.run(Button::Temperature));
    EXPECT_EQ(c.from("Temperature test START"),
              (QStringList{"Temperature test START", "Temperature =  21.0 grad C",
                           "Temperature test END"}));
    EXPECT_EQ(c.ctl.temperatureText(), " 21.0 grad C");
    ASSERT_TRUE(c.run(Button::Battery));
    EXPECT_EQ(c.from("Battery test START"),
              (QStringList{"Battery test START", "Battery = 5.00 Volt", "Battery test END"}));
    EXPECT_EQ(c.ctl.batteryText(), "     5.00 Volt");
}

TEST(ConsoleTests, StatusRamAndEepromResults) {
    OnSimulator c({"--ram-result", "0", "--eeprom-result", "5A"});
    c.ctl.setEepromConfirmation([] { return true; });
    ASSERT_TRUE(c.run(Button::Status));
    EXPECT_EQ(c.from("Read STATUS START"),
              (QStringList{"Read STATUS START",
                           "Total Time 12345 min, i.e. 205 hours, DEF 1, LOW 2, HIGH 3, CURR 4",
                           "DS2438 serial# 987654 ", "Read STATUS END"}));
    ASSERT_TRUE(c.run(Button::Ram));
    EXPECT_EQ(c.from("RAM 2 kB test START - WAIT 3 sec").mid(1, 2),
              (QStringList{"Result of test: OK", "RAM 2 kB test END"}));
    ASSERT_TRUE(c.run(Button::Eeprom));
    EXPECT_EQ(c.from("External EEPROM test START - WAIT 6 sec").mid(1, 2),
              (QStringList{"Result of test: ERROR = 5A", "External EEPROM test END"}));
}

// The records are cleared after the EEPROM test; the monitor's four answers come back to
// the console as acknowledgements.
TEST(ConsoleTests, EepromFollowUpClearsBothRecordAreas) {
    OnSimulator c;
    c.ctl.setEepromConfirmation([] { return true; });
    ASSERT_TRUE(c.run(Button::Eeprom));
    ASSERT_TRUE(waitUntil([&] { return c.log().contains("Alarm/Dose Records DELETED"); }));
    EXPECT_EQ(c.log().count("Alarm/Dose Records DELETED"), 1);
}

TEST(ConsoleTests, RepeatResendsUntilStop) {
    OnSimulator c;
    c.ctl.toggleSingleRepeat();
    EXPECT_EQ(c.ctl.singleRepeatCaption(), "Repeat");
    c.ctl.click(Button::Uart);
    EXPECT_FALSE(c.ctl.singleRepeatEnabled());
    ASSERT_TRUE(waitUntil([&] { return c.ctl.echoCountText().toInt() >= 3; }));
    EXPECT_EQ(c.ctl.buttonCaption(Button::Uart), "STOP");
    c.ctl.click(Button::Uart);
    ASSERT_EQ(c.finished, 1);
    EXPECT_EQ(c.log().last(), "UART test OK");
    EXPECT_TRUE(c.ctl.singleRepeatEnabled());
}

TEST(ConsoleTests, ButtonTestShowsKeysAndStopSendsZ) {
    OnSimulator c({"--keys", "01,02,FF,37", "--stream-period", "20"});
    c.ctl.click(Button::Mode);
    ASSERT_TRUE(waitUntil([&] { return c.ctl.keyLabel() == " Wrong 37h "; }));
    EXPECT_EQ(c.ctl.keyColour(), TestConsoleController::KeyColour::Magenta);
    EXPECT_TRUE(c.ctl.running());  // no timer runs: the test waits for its STOP
    c.ctl.click(Button::Mode);
    EXPECT_EQ(c.log().last(), "BUTTON test END");
    EXPECT_FALSE(c.ctl.running());
    // The monitor acknowledges the "Z" that ended the test.
    ASSERT_TRUE(waitUntil([&] { return c.log().last() == "End of Test accepted by HM-210"; }));
    EXPECT_FALSE(c.log().contains("'*' received -> HM-210 connected to PC"));
}

TEST(ConsoleTests, CountersSingleLogsOneLineAndWritesNoHistogram) {
    OnSimulator c({"--dose-rate", "0.5"});
    ASSERT_TRUE(c.run(Button::Counters));
    const QStringList t = c.from("Measurement START");
    ASSERT_EQ(t.size(), 3);
    EXPECT_TRUE(t[1].startsWith("Counters:   235   129    28     3,")) << t[1].toStdString();
    EXPECT_TRUE(t[1].endsWith(" uR/h"));
    EXPECT_EQ(c.ctl.counterLabel(0), "235");
    EXPECT_FALSE(QFile::exists(c.dir.filePath("GammaHist.asc")));
}

TEST(ConsoleTests, CountersRepeatRecordsAndWritesTheHistogramAfterStop) {
    OnSimulator c;
    c.ctl.toggleSingleRepeat();
    c.ctl.setFileName("counters.asc");
    c.ctl.toggleRecording();
    c.ctl.click(Button::Counters);
    EXPECT_TRUE(c.log().contains("File counters.asc created"));
    ASSERT_TRUE(waitUntil([&] { return c.log().filter("Counters:").size() >= 4; }));
    c.ctl.click(Button::Counters);  // STOP: the next reply is still taken, then the end
    ASSERT_TRUE(waitUntil([&] { return c.finished == 1; }));
    const QByteArray rec = c.file("counters.asc");
    const QList<QByteArray> lines = rec.split('\n');
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ(lines[0].size() + 1, 70);  // even cycle
    EXPECT_EQ(lines[1].size() + 1, 73);  // odd cycle
    const QByteArray hist = c.file("GammaHist.asc");
    EXPECT_EQ(hist.size(), 128 * 6);
    // The first counts (about 235) are above 126: every reply went into the last bin.
    const int replies = static_cast<int>(c.seen.filter("Counters:").size());
    EXPECT_EQ(hist.right(6), QByteArray::number(replies).rightJustified(5, ' ') + '\n');
    EXPECT_FALSE(c.ctl.recordingOn());
}

// At the monitor's own pace (counts once a second, the echo at once) a run outlasts several
// 2100 ms periods with one request on the line at a time, until STOP.
TEST(ConsoleTests, CountersRepeatAtTheMonitorsPaceRunsUntilStop) {
    OnSimulator c({"--real-time"});
    c.ctl.toggleSingleRepeat();
    c.ctl.toggleRecording();
    c.ctl.click(Button::Counters);
    ASSERT_TRUE(waitUntil([&] { return c.seen.filter("Counters:").size() >= 6; }, 8000))
        << c.seen.join('\n').toStdString();
    EXPECT_EQ(c.finished, 0);
    EXPECT_EQ(c.seen.filter("Wrong echo").size() + c.seen.filter("short data").size(), 0);
    c.ctl.click(Button::Counters);  // STOP
    ASSERT_TRUE(waitUntil([&] { return c.finished == 1; }));
    EXPECT_EQ(c.log().last(), "Measurement END");
    EXPECT_EQ(c.file("GammaHist.asc").size(), 128 * 6);
    EXPECT_EQ(c.file("FileName.ASC").count('\n'), c.seen.filter("Counters:").size());
}

TEST(ConsoleFailures, NoEchoWrongEchoZAndShortData) {
    {
        OnSimulator c({"--fault", "no-echo"});
        ASSERT_TRUE(c.run(Button::Uart));
        EXPECT_EQ(c.from("UART test U/* in progress").mid(1),
                  (QStringList{"HM-210 doesn't echo",
                               "Check connection between HM-210 and PC COM - Try again",
                               "After the 2nd Push => No or short data from HM-210"}));
    }
    {
        OnSimulator c({"--fault", "wrong-echo"});
        c.ctl.click(Button::Uart);
        ASSERT_TRUE(waitUntil([&] { return !c.ctl.running(); }));
        EXPECT_EQ(c.from("UART test U/* in progress").mid(1),
                  (QStringList{"Wrong echo from HM-210  ?=3F hex, expected *",
                               "No or short data from HM-210"}));
    }
    {
        OnSimulator c({"--fault", "z"});
        c.ctl.click(Button::Uart);
        ASSERT_TRUE(waitUntil(
            [&] { return c.log().contains("'Z' received -> HM-210 switched OFF by Operator"); }));
        c.ctl.mainMenu();
    }
    {
        OnSimulator c({"--fault", "short-block"});
        ASSERT_TRUE(c.run(Button::Uart));  // the line works, the data stop short
        ASSERT_TRUE(c.run(Button::Temperature));
        EXPECT_EQ(c.from("Temperature test START").mid(1),
                  (QStringList{"No or short data from HM-210", "Temperature test END"}));
    }
}

TEST(BatteryRecording, ThreeReportsAndAStopGiveA42ByteFile) {
    OnSimulator c({"--battery", "500", "--stream-period", "700"});
    c.ctl.setFileName("battery.asc");
    EXPECT_FALSE(c.ctl.buttonEnabled(TestConsoleController::Button::Record));
    c.ctl.toggleRecording();
    c.ctl.click(Button::Record);
    EXPECT_TRUE(c.log().contains("File battery.asc created"));
    EXPECT_FALSE(c.ctl.recordingSwitchEnabled());
    ASSERT_TRUE(waitUntil([&] { return c.ctl.echoCountText().toInt() >= 4; }));
    // Stop right after the third report: no fourth can come within the wait of 1.1 s
    // because the monitor stops on "o".
    c.ctl.click(Button::Record);
    ASSERT_EQ(c.finished, 1);
    const QByteArray file = c.file("battery.asc");
    EXPECT_EQ(file.size(), 42);
    EXPECT_EQ(file.left(14), "21:30:05 5.00\n");  // 0xC1F4: the two top bits are not voltage
    EXPECT_TRUE(c.log().contains("File battery.asc closed"));
    EXPECT_EQ(c.log().last(), "END of recording Battery");
    EXPECT_FALSE(c.ctl.recordingOn());
}

TEST(BatteryRecording, WatchdogClosesTheFileWhenReportsStop) {
    OnSimulator c({"--stream-period", "60000"});
    c.ctl.setFileName("battery.asc");
    c.ctl.toggleRecording();
    c.ctl.click(Button::Record);
    ASSERT_TRUE(waitUntil([&] { return c.ctl.buttonCaption(Button::Record) == "STOP"; }));
    c.ctl.recordingWatchdog();  // as the 65 s timer would
    EXPECT_EQ(c.from("### 65 sec NO DATA from Voltmeter of HM-210"),
              (QStringList{"### 65 sec NO DATA from Voltmeter of HM-210", "File battery.asc closed",
                           "File battery.asc incomplete: kept as battery.asc.incomplete",
                           "After the 2nd Push => No or short data from HM-210"}));
    // The recording cut short never looks complete.
    EXPECT_EQ(c.file("battery.asc"), "<missing>");
    EXPECT_EQ(c.file("battery.asc.incomplete"), "");
}

TEST(BatteryRecording, FileThatCannotBeCreatedIsReportedAndNothingStarts) {
    OnSimulator c;
    c.ctl.setFileName(c.dir.filePath("missing/battery.asc"));
    c.ctl.toggleRecording();
    c.ctl.click(Button::Record);
    EXPECT_EQ(c.log().last(), "Cannot create file " + c.dir.filePath("missing/battery.asc") +
                                  ": No such file or directory");
    EXPECT_FALSE(c.ctl.running());
}

TEST_F(ConsoleOnPeer, DacInMilliVoltsSendsRoundedLevels) {
    ctl.cycleDacUnits();
    EXPECT_EQ(ctl.dacUnitCaption(), "[ mV ]");
    ctl.setDacText(0, "25");
    ctl.setDacText(1, "1000");
    ctl.click(Button::Dac);
    ASSERT_EQ(peer.take(1), "D");
    peer.send(QByteArray(1, char(0xAA)));
    // 25 mV is 42 steps, 1000 mV 1686 steps.
    EXPECT_EQ(peer.take(4), QByteArray::fromHex("2a009606"));
}

TEST_F(ConsoleOnPeer, DacValueOutOfRangeIsRefusedBeforeAnythingIsSent) {
    ctl.setDacText(0, "5000");
    ctl.click(Button::Dac);
    EXPECT_EQ(log().last(), "DAC0 = \"5000\" refused: enter 0 to 4095 steps");
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(peer.received().isEmpty());
}

TEST_F(ConsoleOnPeer, EepromTestAnsweredNoSendsNothing) {
    bool asked = false;
    ctl.setEepromConfirmation([&] {
        asked = true;
        EXPECT_TRUE(ctl.buttonCaptionRed(Button::Eeprom));
        return false;
    });
    ctl.click(Button::Eeprom);
    EXPECT_TRUE(asked);
    EXPECT_FALSE(ctl.buttonCaptionRed(Button::Eeprom));
    EXPECT_EQ(log().mid(log().size() - 2), (QStringList{"", "Test EEPROM Canceled"}));
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(peer.received().isEmpty());
}

TEST_F(ConsoleOnPeer, SendRtcSendsThePcClockAfterTheEcho) {
    ctl.click(Button::SendRtc);
    EXPECT_EQ(ctl.clockText(), " 26-12-08  21:30:05");
    ASSERT_EQ(peer.take(1), "a");
    ctl.setClockText(" 26-13-08  21:30:05");  // edited before the echo: the clock was checked
    peer.send(QByteArray(1, char(0xAA)));
    EXPECT_EQ(peer.take(6), QByteArray::fromHex("1a0c08151e05"));
}

// A clock that is no date is refused before "a": the monitor is never left waiting for
// clock bytes that do not come.
TEST_F(ConsoleOnPeer, ClockThatIsNoDateIsRefusedBeforeAnythingIsSent) {
    ctl.setPcClock([] { return QDateTime(QDate(2100, 1, 1), QTime(0, 0, 0)); });
    ctl.click(Button::SendRtc);
    EXPECT_EQ(log().last(), "Clock \"100-01-01  00:00:00\" refused: expected yy-mm-dd  hh:mm:ss");
    EXPECT_FALSE(ctl.running());
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(peer.received().isEmpty());
}

// A monitor out of its dock answers "Z": the command ends once at its duration tick and is
// never sent again, in Single and in Repeat; the EEPROM test is not asked again and, as it
// never ran, no record area is cleared.
TEST_F(ConsoleOnPeer, ZAnswerEndsTheCommandOnceWithoutSendingItAgain) {
    int asked = 0;
    ctl.setEepromConfirmation([&] {
        ++asked;
        return true;
    });
    const QString zLine = "'Z' received -> HM-210 switched OFF by Operator";
    ctl.click(Button::Eeprom);
    ASSERT_EQ(peer.take(1), "E");
    peer.send("Z");
    ASSERT_TRUE(waitUntil([&] { return log().last() == zLine; }));
    ctl.durationTick();  // as the 6 s timer would
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(log().last(), "TIMEOUT");

    ctl.toggleSingleRepeat();
    ctl.click(Button::Uart);
    ASSERT_EQ(peer.take(1), "U");
    peer.send("Z");
    ASSERT_TRUE(waitUntil([&] { return finished == 2; }));
    EXPECT_EQ(log().mid(log().size() - 2), (QStringList{zLine, "TIMEOUT"}));
    EXPECT_FALSE(ctl.running());
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(peer.received().isEmpty());  // neither "U" again nor a record clear
}

// The records are cleared only after an EEPROM test that answered, and the line saying so
// belongs to that test: a later test's end acknowledgement is its own.
TEST_F(ConsoleOnPeer, EepromFollowUpOnlyAfterAnAnsweredTest) {
    ctl.setEepromConfirmation([] { return true; });
    ASSERT_TRUE(run(Button::Eeprom));  // no echo
    EXPECT_EQ(peer.take(1), "E");
    EXPECT_TRUE(peer.received().isEmpty());

    ctl.click(Button::Eeprom);
    ASSERT_EQ(peer.take(1), "E");
    peer.send(QByteArray::fromHex("aa00"));
    EXPECT_EQ(peer.take(2), "Wx");  // both areas; the monitor leaves them unanswered
    ASSERT_TRUE(waitUntil([&] { return finished == 2; }));

    ctl.click(Button::Mode);
    ASSERT_EQ(peer.take(1), "M");
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return ctl.buttonCaption(Button::Mode) == "STOP"; }));
    ctl.click(Button::Mode);
    ASSERT_EQ(peer.take(1), "Z");
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return log().last() == "End of Test accepted by HM-210"; }))
        << log().join("|").toStdString();
    EXPECT_FALSE(log().contains("Alarm/Dose Records DELETED"));
}

TEST_F(ConsoleOnPeer, LcdControlsSendLiveAndContrastLeavesTheStateAt35) {
    ctl.click(Button::Lcd);
    ASSERT_EQ(peer.take(1), "L");
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return ctl.lcdControlsEnabled(); }));
    ctl.stepRatio(5);  // stored 5: nothing sent
    ctl.stepRatio(6);
    ctl.stepContrast(30);  // stored 30: nothing
    ctl.stepContrast(31);
    ctl.toggleBacklite();
    EXPECT_EQ(peer.take(6), QByteArray("r\x06"
                                       "c\x1f"
                                       "b1",
                                       6));  // the backlight was off
    EXPECT_EQ(log().mid(log().size() - 3),
              (QStringList{"New LCD ratio = 6", "New LCD contrast = 31", "LCD Backlite ENABLED"}));
    EXPECT_EQ(ctl.backliteCaption(), "Backlite EN");
    {
        auto guard = link.lock();
        EXPECT_EQ(link.state().state, code::kContrast);
    }
    ctl.click(Button::Lcd);  // STOP: "U" goes out to leave the LCD test
    EXPECT_EQ(peer.take(1), "U");
    EXPECT_EQ(log().last(), "LCD display END");
}

// prmctl ends a Repeat run on a monitor out of its dock after its first "Z", with the
// failure as its exit code.
TEST(ConsoleCommandLine, RepeatEndsOnZAndTheButtonTestStopsAfterItsTime) {
    QProcess prmctl;
    prmctl.start(PRMCTL_PATH, {"--simulate", "--sim-fault", "z", "test", "uart", "--repeat", "3"});
    ASSERT_TRUE(prmctl.waitForFinished(30000));
    const QString out = QString::fromLocal8Bit(prmctl.readAllStandardOutput());
    const QStringList test = out.mid(out.indexOf("UART test U/* in progress")).split('\n');
    EXPECT_EQ(test.count("'Z' received -> HM-210 switched OFF by Operator"), 1)
        << out.toStdString();
    EXPECT_TRUE(test.contains("TIMEOUT")) << out.toStdString();
    EXPECT_EQ(prmctl.exitCode(), 1);

    // The button test, which runs with no timer, is still stopped after its time.
    prmctl.start(PRMCTL_PATH, {"--simulate", "test", "mode", "--for", "1"});
    ASSERT_TRUE(prmctl.waitForFinished(30000));
    const QString mode = QString::fromLocal8Bit(prmctl.readAllStandardOutput());
    EXPECT_TRUE(mode.split('\n').contains("BUTTON test END")) << mode.toStdString();
    EXPECT_EQ(prmctl.exitCode(), 0);
}

}  // namespace
}  // namespace prm
