// Spectra: the scan's step arithmetic and bytes, time limits, rescaling, the read-outs and
// the picture's pixels, against a scripted monitor and the simulator.

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "console_fixtures.h"
#include "spectrum_plot.h"

namespace prm {
namespace {

QByteArray word(uint16_t v) {
    return QByteArray(1, char(v & 0xFF)) + QByteArray(1, char(v >> 8));
}

TEST(SpectrumPlot, FrameGeometryAndColours) {
    SpectrumPlot plot;
    plot.frame(SpectrumPlot::kGammaBackground, 100, 40, true);
    EXPECT_EQ(plot.plotWidth(), 280);
    EXPECT_EQ(plot.plotHeight(), 142);
    EXPECT_EQ(plot.y0(), 152);
    const QImage& img = plot.image();
    EXPECT_EQ(img.pixelColor(50, 50), QColor(Qt::yellow));
    EXPECT_EQ(img.pixelColor(10, 152), QColor(Qt::black));  // corner of the frame
    EXPECT_EQ(img.pixelColor(290, 10), QColor(Qt::black));
    EXPECT_EQ(img.pixelColor(108, 80), QColor(Qt::black));  // the gamma scan's line
    EXPECT_NE(img.pixelColor(150, 80), QColor(Qt::black));

    plot.frame(SpectrumPlot::kNeutronBackground, 50, 40, false);
    EXPECT_EQ(plot.image().pixelColor(50, 50), QColor(Qt::cyan));
    EXPECT_EQ(plot.image().pixelColor(150, 80), QColor(Qt::black));  // the middle line
}

TEST(SpectrumPlot, PointsFollowTheScales) {
    SpectrumPlot plot;
    plot.frame(SpectrumPlot::kGammaBackground, 100, 40, true);
    // 7 pixels a channel; 1.42 pixels a count.
    EXPECT_EQ(plot.pointX(0), 17);
    EXPECT_EQ(plot.pointX(39), 290);
    EXPECT_EQ(plot.pointY(0), 152);
    EXPECT_EQ(plot.pointY(100), 10);
    EXPECT_EQ(plot.pointY(50), 81);
    plot.plotPoint(4, 50, 3, true, Qt::red, false);
    EXPECT_EQ(plot.image().pixelColor(plot.pointX(4) + 3, 81), QColor(Qt::red));  // the circle
    EXPECT_EQ(plot.image().pixelColor(plot.pointX(4), 81), QColor(Qt::yellow));   // filled
}

TEST(SpectrumPlot, ZeroScaleDrawsNothing) {
    SpectrumPlot plot;
    plot.frame(SpectrumPlot::kGammaBackground, 0, 40, true);
    const QImage before = plot.image();
    const uint16_t zeros[5] = {};
    plot.plotCurve(zeros, 5, 3, Qt::red, false);
    EXPECT_EQ(plot.image(), before);
}

class SpectraOnPeer : public ConsoleOnPeer {};

TEST_F(SpectraOnPeer, ScanSendsTheTimeAndTakesDifferencesOfSteps) {
    ctl.click(Button::Spectrum);
    ASSERT_EQ(peer.take(1), "S");
    EXPECT_EQ(ctl.dacText(0), "42");  // 25 mV as steps
    peer.send(QByteArray(1, char(0xAA)));
    EXPECT_EQ(peer.take(2), QByteArray("\x0a\x00", 2));  // " 10" seconds
    peer.send(word(500) + word(100) + word(420) + word(90));
    ASSERT_TRUE(waitUntil([&] { return log().last().startsWith("data # 1"); }));
    EXPECT_EQ(log().mid(log().size() - 2), (QStringList{"data # 0   500", "data # 1   420    80"}));
    EXPECT_EQ(ctl.curve()[0], 80);
    EXPECT_EQ(ctl.dacText(0), QString::number(static_cast<int>(125 * 1.6856015912079020731)));
    EXPECT_EQ(ctl.yScaleLabel(), " Y-scale = 100 ");

    ctl.click(Button::Spectrum);  // a stop request: the next step ends the scan
    EXPECT_EQ(ctl.buttonCaption(Button::Spectrum), "WAIT");
    peer.send(word(200) + word(50));
    ASSERT_TRUE(waitUntil([&] { return finished == 1; }));
    EXPECT_EQ(peer.take(1), "Z");
    const QStringList l = log();
    EXPECT_TRUE(l.contains("### Mesurement stopped by Operator"));
    EXPECT_TRUE(l.contains(" 0:   500   420   200     0     0       0     0     0     0     0"));
    EXPECT_EQ(l.last(), "Spectrum Measurement END");
    // 420 - 200 = 220 went past the top: the scale followed it.
    EXPECT_EQ(ctl.yScaleLabel(), " Y-scale = 220 ");
    EXPECT_FALSE(ctl.running());
    // The monitor acknowledges the "Z" that ended the scan.
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return log().last() == "End of Test accepted by HM-210"; }))
        << log().last().toStdString();
}

// STOP of the ADC spectrum: "Z" goes out with the next block and its acknowledgement ends
// the test in the log.
TEST_F(SpectraOnPeer, AdcStopIsAcknowledged) {
    ctl.click(Button::SpecAdc);
    ASSERT_EQ(peer.take(1), "H");
    peer.send(QByteArray(1, char(0xAA)));
    EXPECT_EQ(peer.take(2), QByteArray("\x0a\x00", 2));
    ctl.click(Button::SpecAdc);
    EXPECT_EQ(ctl.buttonCaption(Button::SpecAdc), "WAIT");
    peer.send(QByteArray(256, '\0'));
    ASSERT_TRUE(waitUntil([&] { return finished == 1; }));
    EXPECT_EQ(peer.take(1), "Z");
    EXPECT_FALSE(ctl.running());
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return log().last() == "End of Test accepted by HM-210"; }))
        << log().last().toStdString();
}

// A scan or ADC spectrum that fails (no echo, wrong echo) takes its watchdog with it, so it
// cannot end a later test, and gives the DAC edits back.
TEST_F(SpectraOnPeer, FailedMeasurementLeavesNoWatchdog) {
    for (Button b : {Button::Spectrum, Button::SpecAdc}) {
        const QByteArray command = b == Button::Spectrum ? "S" : "H";
        ASSERT_TRUE(run(b));  // no echo
        EXPECT_EQ(peer.take(1), command);
        EXPECT_FALSE(ctl.running()) << command.constData();
        EXPECT_TRUE(ctl.dacEditsEnabled()) << command.constData();

        ctl.click(b);
        ASSERT_EQ(peer.take(1), command);
        peer.send("?");
        ASSERT_TRUE(waitUntil([&] { return log().last() == "No or short data from HM-210"; }));
        EXPECT_FALSE(ctl.running()) << command.constData();
        EXPECT_TRUE(ctl.dacEditsEnabled()) << command.constData();
        EXPECT_EQ(ctl.buttonCaption(b), b == Button::Spectrum ? "Spectrum" : "SpecADC");
    }
    // A scan refused with "Z" and given up for another test.
    ctl.click(Button::Spectrum);
    ASSERT_EQ(peer.take(1), "S");
    peer.send("Z");
    ASSERT_TRUE(waitUntil([&] { return log().last().startsWith("'Z' received"); }));
    ctl.click(Button::Uart);
    ASSERT_EQ(peer.take(1), "U");
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return !ctl.running(); }, 3000));
    EXPECT_EQ(log().last(), "UART test OK");
    EXPECT_TRUE(ctl.dacEditsEnabled());
}

// A scan started in saw-tooth mode steps the level in millivolts, its unit captioned "[mV]".
// An off-line command that fails reports its own failure and gives its own button its
// caption back: the end text of the test before it is not logged again.
TEST_F(SpectraOnPeer, OfflineCommandsThatFailReportThemselves) {
    const QString noEcho = "Check connection between HM-210 and PC COM - Try again";
    ctl.click(Button::Uart);
    ASSERT_EQ(peer.take(1), "U");
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return seen.last() == "UART test OK"; }));

    ctl.click(Button::NSpectrum);
    ASSERT_EQ(peer.take(1), "s");
    EXPECT_EQ(ctl.buttonCaption(Button::NSpectrum), "N-Spe ENABL");
    ASSERT_TRUE(waitUntil([&] { return !ctl.running(); }));
    EXPECT_EQ(seen.mid(seen.size() - 3),
              (QStringList{"UART test OK", "HM-210 doesn't echo", noEcho}));
    EXPECT_EQ(ctl.buttonCaption(Button::NSpectrum), "N-Spectrum");

    ctl.click(Button::NHistogram);
    ASSERT_EQ(peer.take(1), "d");
    peer.send("?");
    ASSERT_TRUE(waitUntil([&] { return !ctl.running(); }));
    EXPECT_EQ(seen.last(), "Wrong echo from HM-210  ?=3F hex, expected *");
    EXPECT_EQ(ctl.buttonCaption(Button::NHistogram), "N-Histogram");

    // Given up for another test, or closed, while the monitor has not yet answered: its
    // caption back and no end text of another command.
    ctl.click(Button::NSpectrum);
    ASSERT_EQ(peer.take(1), "s");
    ctl.click(Button::Uart);
    ASSERT_EQ(peer.take(1), "U");
    EXPECT_EQ(ctl.buttonCaption(Button::NSpectrum), "N-Spectrum");
    ASSERT_TRUE(waitUntil([&] { return !ctl.running(); }));
    ctl.click(Button::NSpectrum);
    ASSERT_EQ(peer.take(1), "s");
    const qsizetype before = seen.size();
    ctl.closeConsole();
    EXPECT_EQ(seen.size(), before) << seen.last().toStdString();
    EXPECT_FALSE(ctl.running());
    EXPECT_EQ(ctl.buttonCaption(Button::NSpectrum), "N-Spectrum");

    // The reads: refused with "Z", then unanswered; nothing is listed or drawn.
    auto answerRead = [this](const QByteArray& answer) {
        QTimer::singleShot(20, &ctl, [this, answer] {
            if (peer.take(1) == "g") peer.send(answer);
        });
    };
    answerRead("Z");
    ctl.click(Button::GetSpectrum);
    EXPECT_EQ(seen.mid(seen.size() - 2),
              (QStringList{"Read/Evaluate N-det Spectrum from HM-210",
                           "'Z' received -> HM-210 switched OFF by Operator"}));
    answerRead(QByteArray());
    ctl.click(Button::GetHistogram);
    EXPECT_EQ(seen.mid(seen.size() - 3), (QStringList{"Read/Evaluate N-det Histogram from HM-210",
                                                      "HM-210 doesn't echo", noEcho}));
    EXPECT_FALSE(seen.join('|').contains("RAW DATA")) << seen.join('\n').toStdString();
    EXPECT_EQ(seen.count("UART test OK"), 1);
    EXPECT_FALSE(ctl.running());
    EXPECT_EQ(ctl.buttonCaption(Button::GetSpectrum), "Get Spectrum");

    // Echoed, but the first wait brings no word: the read ends there, and a word that
    // comes later is not taken.
    // (The timers go with the console, so none outlives the test.)
    QTimer::singleShot(20, &ctl, [this] {
        if (peer.take(1) != "g") return;
        peer.send(QByteArray(1, char(0xAA)));
        QTimer::singleShot(800, &ctl, [this] { peer.send(word(7)); });
    });
    ctl.click(Button::GetHistogram);
    EXPECT_TRUE(seen.contains("RAW DATA: length=0 words")) << seen.join('\n').toStdString();
    EXPECT_EQ(seen.last(), "No spectrum");
}

TEST_F(SpectraOnPeer, NeutronPointAboveTheTopIsDrawnAtTheTopAndTheScaleStays) {
    ctl.cycleDacUnits();
    ctl.cycleDacUnits();
    EXPECT_EQ(ctl.dacUnitCaption(), "saw tooth");
    ctl.toggleGamma();
    ctl.click(Button::Spectrum);
    ASSERT_EQ(peer.take(1), "n");
    EXPECT_EQ(ctl.dacUnitCaption(), "[mV]");
    EXPECT_EQ(ctl.dacText(1), "25");
    peer.send(QByteArray(1, char(0xAA)));
    peer.take(2);
    peer.send(word(400) + word(100));  // 300 counts in a 50-count scale
    ASSERT_TRUE(waitUntil([&] { return log().last().startsWith("data # 1"); }));
    EXPECT_EQ(ctl.yScaleLabel(), " Y-scale = 50 ");
    const QImage& img = ctl.plot().image();
    EXPECT_EQ(img.pixelColor(ctl.plot().pointX(0) + 3, SpectrumPlot::kTopY), QColor(Qt::red));
    ctl.mainMenu();
}

// Each function's longest measuring time; one second more is refused before anything goes out.
TEST_F(SpectraOnPeer, TimeLimitsPerFunction) {
    const std::tuple<Button, const char*, const char*> table[] = {
        {Button::Spectrum, "31", "Time=31 sec is too long, max.value is 30 sec"},
        {Button::NSpectrum, "301", "Time=301 sec is too long, max.value is 300 sec"},
        {Button::SpecAdc, "3601", "Time=3601 sec is too long, max.value is 3600 sec"},
        {Button::NHistogram, "36001", "Time=36001 sec is too long, max.value is 36000 sec"},
    };
    for (const auto& [button, time, text] : table) {
        ctl.setTimeText(time);
        ctl.click(button);
        EXPECT_EQ(log().mid(log().size() - 2), (QStringList{"", text}));
    }
    waitUntil([] { return false; }, 100);
    EXPECT_TRUE(peer.received().isEmpty());
}

TEST_F(SpectraOnPeer, MouseAndClickReadOuts) {
    ctl.mouseOverPicture(150, 40);
    EXPECT_EQ(ctl.readout(0), "x-y   150    40");
    EXPECT_EQ(ctl.readout(1), "cursor = 1000 mV");
    ctl.clickPicture(150, 40);  // no gamma scan yet: the neutron threshold
    EXPECT_EQ(log().last(), "Set step1 =1000 mV, i.e. 1685 steps");
    EXPECT_EQ(ctl.readout(1), "Peak position = 1000 mV");
}

TEST(SpectraOnSimulator, ClickAfterAGammaScanProposesBothThresholds) {
    OnSimulator c({"--measuring-second", "1"});
    auto& ctl = c.ctl;
    ctl.setTimeText("1");
    ctl.click(Button::Spectrum);
    ASSERT_TRUE(waitUntil([&] { return c.finished == 1; }, 10000));
    // The end acknowledgement may already have pushed these out of the memo.
    EXPECT_TRUE(c.seen.contains("End of Mesurement")) << c.seen.join('\n').toStdString();
    EXPECT_TRUE(c.seen.contains("RAW DATA:"));
    ctl.mouseOverPicture(150, 40);
    ctl.clickPicture(150, 40);
    const QStringList l = ctl.log().lines();
    EXPECT_EQ(l.mid(l.size() - 2),
              (QStringList{"Set step0 =1510 mV, i.e. 2545 steps", "Low Discr =302 mV"}));
}

TEST(SpectraOnSimulator, AdcSpectrumOneBlockASecondAndOfflineRead) {
    OnSimulator c;
    auto& ctl = c.ctl;
    ctl.setTimeText("3");
    ctl.click(Button::SpecAdc);
    ASSERT_TRUE(waitUntil([&] { return c.finished == 1; }, 10000));
    const QStringList l = ctl.log().lines();
    EXPECT_EQ(ctl.echoCountText(), "4");  // the echo and three blocks, one a second
    EXPECT_EQ(l.mid(l.size() - 2),
              (QStringList{"End of Measurement", "Spectrum ADC Measurement END"}));

    ctl.setTimeText("100");
    ctl.click(Button::NSpectrum);
    ASSERT_TRUE(waitUntil(
        [&] { return ctl.log().lines().contains("Press BUTTON on HM-210 to start Spectrum"); }));
    EXPECT_EQ(ctl.buttonCaption(Button::NSpectrum), "N-Spe ENABL");
    ctl.click(Button::GetSpectrum);
    EXPECT_TRUE(c.seen.contains("RAW DATA: length=41 words")) << c.seen.join('\n').toStdString();
    EXPECT_TRUE(c.seen.contains("SPECTRUM:"));
    EXPECT_EQ(ctl.buttonCaption(Button::NSpectrum), "N-Spectrum");
    EXPECT_EQ(ctl.gammaCaption(), "Neutron");
    EXPECT_EQ(ctl.plot().background(), SpectrumPlot::kNeutronBackground);
}

}  // namespace
}  // namespace prm
