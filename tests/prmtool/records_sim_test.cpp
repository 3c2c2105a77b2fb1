// The records screen end to end against the simulated monitor, printing into a PDF that is
// read back page by page.

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "qt_wait.h"
#include "record_printer.h"
#include "records.h"
#include "simulator_launcher.h"

namespace prm {
namespace {

using Button = RecordsController::Button;

class RecordsOnSimulator {
  public:
    explicit RecordsOnSimulator(const QStringList& simArgs) {
        QString error;
        EXPECT_TRUE(simulator.start(simArgs, &error)) << error.toStdString();
        link.port().setDevice(simulator.device());
        EXPECT_TRUE(link.port().open());
        link.ensureWorker();
        ctl.activate();
        // Recording off: nothing is written into the test's folder.
        ctl.click(Button::RecordingAlarms);
        ctl.click(Button::RecordingDose);
        QObject::connect(&ctl, &RecordsController::transferFinished, [this] { ++finished; });
    }
    bool run(Button b, int limitMs = 8000) {
        const int before = finished;
        ctl.click(b);
        return waitUntil([&] { return finished > before; }, limitMs);
    }
    SimulatorLauncher simulator;
    Link link;
    RecordsController ctl{link};
    int finished = 0;
};

TEST(RecordsEndToEnd, SixtyRecordsPrintAsFiftyFourAndSixLinesInThePdf) {
    QTemporaryDir dir;
    const QString pdf = dir.filePath("alarms.pdf");
    RecordsOnSimulator r({"--alarms", "60"});
    r.ctl.setPrinterProvider([&](RecordKind) {
        return std::make_unique<QtRecordPrinter>(QtRecordPrinter::makePdfPrinter(pdf));
    });
    ASSERT_TRUE(r.run(Button::PrintAlarms));
    EXPECT_TRUE(r.ctl.log().lines().contains("Tranfer OK"));

    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(10000));
    const QStringList pages = QString::fromUtf8(text.readAllStandardOutput()).split('\f');
    ASSERT_GE(pages.size(), 2);
    auto recordLines = [](const QString& page) {
        int n = 0;
        for (const QString& line : page.split('\n')) {
            if (line.trimmed().startsWith("26/12/")) ++n;
        }
        return n;
    };
    EXPECT_TRUE(pages[0].contains("Alarms Registered by HM-210"));
    EXPECT_EQ(recordLines(pages[0]), 54);
    EXPECT_EQ(recordLines(pages[1]), 6);
    EXPECT_TRUE(pages[1].simplified().contains("Number of Records = 60"));
    EXPECT_FALSE(pages[1].contains("Registered by"));  // the title is on the first page only
}

TEST(RecordsEndToEnd, ClearedAreaReadsBackEmpty) {
    RecordsOnSimulator r({"--dose", "5"});
    ASSERT_TRUE(r.run(Button::ClearDose));
    EXPECT_TRUE(r.ctl.log().lines().contains("EEPROM Initialized OK"));
    ASSERT_TRUE(r.run(Button::ReadDose));
    EXPECT_TRUE(r.ctl.log().lines().contains("Number of Records =   0"));
}

TEST(RecordsEndToEnd, MonitorOutOfItsDockIsAskedAgain) {
    RecordsOnSimulator r({"--undocked"});
    r.ctl.click(Button::ReadAlarms);
    ASSERT_TRUE(waitUntil([&] {
        return r.ctl.log().lines().count(
                   "OK byte 'Z' received -> HM-210 removed from Docking Station") >= 2;
    }));
    EXPECT_GE(r.ctl.log().lines().count("START Reading ALARMS"), 2);
    r.ctl.mainMenu();
}

TEST(RecordsEndToEnd, ShortDataEndsOnTheBlockWatchdog) {
    RecordsOnSimulator r({"--fault", "short-block", "--alarms", "3"});
    ASSERT_TRUE(r.run(Button::ReadAlarms));
    EXPECT_TRUE(
        r.ctl.log().lines().contains("### Timeout Timer3 - 1 sec NO ALARM DATA from EEPROM"));
}

}  // namespace
}  // namespace prm
