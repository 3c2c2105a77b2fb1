// The test console's spectra: the threshold scan, the gamma ADC spectrum, the off-line
// neutron spectrum and histogram, and the picture's read-outs.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "testconsole.h"

namespace prm {

namespace {

constexpr double kStepsPerMilliVolt = 1.6856015912079020731;
constexpr int kScanFirstMilliVolts = 25;
constexpr int kScanStepMilliVolts = 50;
constexpr int kScanChannels = 40;
constexpr int kGammaScanYScale = 100;
constexpr int kNeutronScanYScale = 50;
constexpr int kAdcChannels = 128;
constexpr int kAdcListedChannels = 100;
constexpr int kOfflineMaxScale = 100;
constexpr unsigned kScanMaxSeconds = 30;
constexpr unsigned kOfflineSpectrumMaxSeconds = 300;
constexpr unsigned kAdcMaxSeconds = 3600;
constexpr unsigned kOfflineHistogramMaxSeconds = 36000;
constexpr int kScanRadius = 3;
constexpr int kAdcRadius = 2;
// Proposed thresholds from a gamma peak: the 662 keV line scaled to 1000 and 200 keV.
constexpr float kStep0Factor = 1.510574f;
constexpr float kLowDiscrFactor = 0.3021148f;
constexpr int kErasedMarkerOnLineX = 148;

int toSteps(int milliVolts) {
    return static_cast<int>(std::trunc(milliVolts * kStepsPerMilliVolt));
}

QString rowOfTen(int start, const uint16_t* v) {
    return QString::asprintf("%2d: %5u %5u %5u %5u %5u   %5u %5u %5u %5u %5u", start, v[0], v[1],
                             v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
}

}  // namespace

void TestConsoleController::toggleGamma() {
    gammaSelected_ = !gammaSelected_;
    emit changed();
}

bool TestConsoleController::parseTime(unsigned limit, unsigned* seconds) {
    unsigned value = 0;
    if (std::sscanf(timeText_.toLatin1().constData(), "%u", &value) != 1) {
        logLine(QString());
        logLine(QStringLiteral("Time=%1 is not a number of seconds").arg(timeText_.trimmed()));
        return false;
    }
    if (value > limit) {
        logLine(QString());
        logLine(QString::asprintf("Time=%u sec is too long, max.value is %u sec", value, limit));
        return false;
    }
    *seconds = value;
    measureTime_ = static_cast<uint16_t>(value);
    return true;
}

void TestConsoleController::sendMeasureTime() {
    const uint8_t bytes[2] = {static_cast<uint8_t>(measureTime_ & 0xFF),
                              static_cast<uint8_t>(measureTime_ >> 8)};
    link_.port().writeBlock(bytes, 2);
}

void TestConsoleController::requestSpectrumStop(Button b) {
    enabled_[index(b)] = false;
    captions_[index(b)] = QStringLiteral("WAIT");
    yScaleLabelWhite_ = false;
    stopRequested_ = true;
    emit changed();
}

void TestConsoleController::setScannedLevel(int milliVolts) {
    UserSettings& u = link_.state().settings;
    const int level = dacUnits_ != DacUnits::Steps ? milliVolts : toSteps(milliVolts);
    const int which = scanIsGamma_ ? 0 : 1;
    (scanIsGamma_ ? u.gammaDiscriminator : u.neutronDiscriminator) = static_cast<int16_t>(level);
    dacTexts_[which] = QString::number(level);
}

void TestConsoleController::startScan() {
    readouts_ = {QString(), QString()};
    unsigned seconds = 0;
    if (!parseTime(kScanMaxSeconds, &seconds)) {
        emit changed();
        return;
    }
    stepIndex_ = 0;
    dacEditsEnabled_ = false;
    if (dacUnits_ == DacUnits::SawTooth) {
        // The scan steps the level itself: the saw tooth gives way to millivolts.
        dacUnits_ = DacUnits::MilliVolts;
        dacUnitCaption_ = QStringLiteral("[mV]");
    }
    threshold_ = kScanFirstMilliVolts;
    channelCount_ = kScanChannels;
    values_.fill(0);
    secondCounts_.fill(0);
    rawCounts_.fill(0);
    stepsLeft_ = kScanSteps;
    scanIsGamma_ = gammaSelected_;
    setScannedLevel(threshold_);

    const int yScale = scanIsGamma_ ? kGammaScanYScale : kNeutronScanYScale;
    plot_.frame(scanIsGamma_ ? SpectrumPlot::kGammaBackground : SpectrumPlot::kNeutronBackground,
                yScale, channelCount_, scanIsGamma_);
    yScaleLabel_ = QString::asprintf(" Y-scale = %d ", yScale);
    yScaleLabelWhite_ = true;
    markerX_ = 0;
    stopRequested_ = false;
    spectrumTimer_.start(kScanWatchdogMs);

    link_.state().singleMode = true;
    runCommand(Button::Spectrum, code::kThresholdScan, scanIsGamma_ ? "S" : "n",
               scanIsGamma_ ? "Gamma Spectrum START" : "Neutron Spectrum START",
               "Spectrum Measurement END", kScanWatchdogMs);
    emit changed();
}

void TestConsoleController::handleScanStep() {
    LinkState& s = link_.state();
    auto word = [&s] {
        const uint16_t v =
            static_cast<uint16_t>(s.replyData[s.readIndex] | (s.replyData[s.readIndex + 1] << 8));
        s.readIndex = static_cast<int16_t>(s.readIndex + 2);
        return v;
    };
    if (stepIndex_ >= kScanSteps) return;  // a step past the scan's end is not ours
    const uint16_t sample = word();
    rawCounts_[stepIndex_] = sample;
    if (scanIsGamma_) secondCounts_[stepIndex_] = word();

    if (stepIndex_ == 0) {
        logLine(QString::asprintf("data #%2d %5u", 0, sample));
    } else {
        const int i = stepIndex_ - 1;
        const uint16_t previous = rawCounts_[i];
        values_[i] = sample < previous ? static_cast<uint16_t>(previous - sample) : 0;
        logLine(QString::asprintf("data #%2d %5u %5u", stepIndex_, sample, values_[i]));
        const bool first = stepIndex_ == 1;
        if (plot_.pointY(values_[i]) < SpectrumPlot::kTopY && scanIsGamma_) {
            // The curve leaves the top: the scale follows the point.
            plot_.setYScale(values_[i]);
            yScaleLabel_ = QString::asprintf(" Y-scale = %d ", values_[i]);
            if (!first) {
                plot_.frame(SpectrumPlot::kGammaBackground, values_[i], channelCount_, true);
                plot_.plotCurve(values_.data(), i, kScanRadius, Qt::red, false);
            }
        }
        plot_.plotPoint(i, values_[i], kScanRadius, first, Qt::red, !scanIsGamma_);
    }

    ++stepIndex_;
    ++s.echoCount;
    echoCountText_ = QString::number(s.echoCount);
    spectrumTimer_.start(kScanWatchdogMs);
    --stepsLeft_;
    if (!stopRequested_ && stepsLeft_ > 0) {
        threshold_ = static_cast<uint16_t>(threshold_ + kScanStepMilliVolts);
        setScannedLevel(threshold_);
        return;
    }
    finishScan();
}

void TestConsoleController::listRows(const uint16_t* data, int count) {
    for (int start = 0; start < count; start += 10) {
        if (start == 40) {
            logLine(QString::asprintf("%2d: %5u ", start, data[start]));
        } else {
            logLine(rowOfTen(start, data + start));
        }
    }
}

void TestConsoleController::finishScan() {
    spectrumTimer_.stop();
    dacEditsEnabled_ = true;
    link_.port().writeString("Z");
    endAckPending_ = true;
    logLine(stopRequested_ ? QStringLiteral("### Mesurement stopped by Operator")
                           : QStringLiteral("End of Mesurement"));
    logLine(QStringLiteral("RAW DATA:"));
    listRows(rawCounts_.data(), stepIndex_);
    // The raw counts in blue over the curve, on their own scale; all zero draws nothing.
    const uint16_t top = *std::max_element(rawCounts_.begin(), rawCounts_.begin() + stepIndex_);
    plot_.setYScale(top);
    plot_.plotCurve(rawCounts_.data(), stepIndex_, kScanRadius, Qt::blue, false);
    for (int start = 0; start < kScanChannels; start += 10)
        logLine(rowOfTen(start, &values_[start]));
    captions_[index(Button::Spectrum)] = QStringLiteral("Spectrum");
    endTest();
}

void TestConsoleController::spectrumWatchdog() {
    auto guard = link_.lock();
    spectrumTimer_.stop();
    if (stepsLeft_ != 0) logLine(QStringLiteral("### 30 sec NO SPECTRUM from HM-210"));
    dacEditsEnabled_ = true;
    endTest();
}

void TestConsoleController::startAdc() {
    readouts_ = {QString(), QString()};
    unsigned seconds = 0;
    if (!parseTime(kAdcMaxSeconds, &seconds)) {
        emit changed();
        return;
    }
    stepIndex_ = 0;
    stepsLeft_ = 0;
    channelCount_ = kAdcChannels;
    values_.fill(0);
    plot_.frame(SpectrumPlot::kGammaBackground, kGammaScanYScale, channelCount_, false);
    yScaleLabel_ = QString::asprintf(" Y-scale = %d ", kGammaScanYScale);
    yScaleLabelWhite_ = true;
    markerX_ = 0;
    stopRequested_ = false;
    spectrumTimer_.start(kAdcWatchdogMs);

    link_.state().singleMode = true;
    runCommand(Button::SpecAdc, code::kAdcSpectrum, "H", "Gamma ADC Spectrum START",
               "Spectrum ADC Measurement END", kScanWatchdogMs);
    emit changed();
}

void TestConsoleController::handleAdcBlock() {
    LinkState& s = link_.state();
    if (stopRequested_) {
        link_.port().writeString("Z");
        endAckPending_ = true;
    }
    for (int i = 0; i < kAdcChannels; ++i) {
        values_[i] = static_cast<uint16_t>(s.replyData[2 * i] | (s.replyData[2 * i + 1] << 8));
    }
    const uint16_t top = *std::max_element(values_.begin(), values_.end());
    yScaleLabel_ = QString::asprintf(" Y-scale = %d ", top);
    yScaleLabelWhite_ = true;
    for (int row = 0; row < kAdcListedChannels; row += 10) {
        const uint16_t* v = &values_[row];
        logLine(QString::asprintf("%3d: %5u %5u %5u %5u %5u %5u %5u %5u %5u %5u", row, v[0], v[1],
                                  v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]));
    }
    if (top != 0) {
        plot_.frame(SpectrumPlot::kGammaBackground, top, channelCount_, false);
        plot_.plotCurve(values_.data(), channelCount_, kAdcRadius, Qt::red, false);
    }
    ++s.echoCount;
    echoCountText_ = QString::number(s.echoCount);
    spectrumTimer_.start(kAdcWatchdogMs);
    if (!stopRequested_) {
        --measureTime_;
        if (measureTime_ != 0) return;  // one block a second until the time is up
    }
    spectrumTimer_.stop();
    dacEditsEnabled_ = true;
    logLine(stopRequested_ ? QStringLiteral("### Mesurement stopped by Operator")
                           : QStringLiteral("End of Measurement"));
    captions_[index(Button::SpecAdc)] = QStringLiteral("SpecADC");
    endTest();
}

void TestConsoleController::enableOffline(bool histogram) {
    unsigned seconds = 0;
    if (!parseTime(histogram ? kOfflineHistogramMaxSeconds : kOfflineSpectrumMaxSeconds,
                   &seconds)) {
        emit changed();
        return;
    }
    const Button b = histogram ? Button::NHistogram : Button::NSpectrum;
    offlineButton_ = index(b);
    offlineFailed_ = false;
    link_.beginCommand(histogram ? code::kOfflineHistogram : code::kOfflineSpectrum,
                       histogram ? "d" : "s");
    echoTimer_.start(kEchoTimeoutMs);
    if (!link_.writeCommand()) {
        replyHandler();  // no port: the missing echo at once
        return;
    }
    captions_[index(b)] =
        histogram ? QStringLiteral("N-Hist ENABL") : QStringLiteral("N-Spe ENABL");
    emit changed();
}

bool TestConsoleController::handleOfflineFailure() {
    LinkState& s = link_.state();
    if (s.awaitingEcho) {
        logLine(QStringLiteral("HM-210 doesn't echo"));
        logLine(QStringLiteral("Check connection between HM-210 and PC COM - Try again"));
    } else if (s.replyCode == code::kZEcho) {
        logLine(QStringLiteral("'Z' received -> HM-210 switched OFF by Operator"));
    } else if (s.replyCode == code::kWrongEcho) {
        logLine(QString::asprintf("Wrong echo from HM-210  %c=%02X hex, expected *", s.lastEchoByte,
                                  s.lastEchoByte));
    } else {
        return false;
    }
    offlineFailed_ = true;
    // Not enabled: the monitor measures nothing, so "N-Spe ENABL" would be untrue.
    endOffline(true);
    emit changed();
    return true;
}

void TestConsoleController::endOffline(bool restoreCaption) {
    echoTimer_.stop();
    // Only the enabling buttons change their caption ("N-Spe ENABL", "N-Hist ENABL").
    if (restoreCaption && offlineButton_ == index(Button::NSpectrum)) {
        captions_[offlineButton_] = QStringLiteral("N-Spectrum");
    } else if (restoreCaption && offlineButton_ == index(Button::NHistogram)) {
        captions_[offlineButton_] = QStringLiteral("N-Histogram");
    }
    offlineButton_ = -1;
    link_.endCommand();
}

void TestConsoleController::readOffline(bool histogram) {
    {
        auto guard = link_.lock();
        logLine(QString());
        logLine(histogram ? QStringLiteral("Read/Evaluate N-det Histogram from HM-210")
                          : QStringLiteral("Read/Evaluate N-det Spectrum from HM-210"));
        gammaSelected_ = false;
        scanIsGamma_ = false;
        captions_[index(histogram ? Button::NHistogram : Button::NSpectrum)] =
            histogram ? QStringLiteral("N-Histogram") : QStringLiteral("N-Spectrum");
        rawCounts_.fill(0);
        stepsLeft_ = 0;
        channelCount_ = kScanSteps;
        const Button b = histogram ? Button::GetHistogram : Button::GetSpectrum;
        offlineButton_ = index(b);
        offlineFailed_ = false;
        link_.beginCommand(code::kOfflineRead, "g");
        echoTimer_.start(kEchoTimeoutMs);
        if (!link_.writeCommand()) {
            replyHandler();  // no port: the missing echo at once
            return;
        }
    }
    emit changed();
    // The words come one by one; the first wait that brings none ends the read.
    int words = 0;
    for (;;) {
        Link::tickDelay(kOfflineWaitTicks);
        auto guard = link_.lock();
        if (offlineFailed_ || stepsLeft_ >= kScanSteps || stepsLeft_ == words) break;
        words = stepsLeft_;
    }
    auto guard = link_.lock();
    if (offlineFailed_) return;  // failed or given up: ended, and reported, where it happened
    endOffline(false);
    const int count = stepsLeft_;
    logLine(QStringLiteral("RAW DATA: length=%1 words").arg(count));
    channelCount_ = count;
    listRows(rawCounts_.data(), count);
    values_.fill(0);
    if (histogram) {
        logLine(QStringLiteral("End Read of N-det Histogram"));
        for (int i = 0; i < count; ++i)
            values_[i] = rawCounts_[i];
        drawOfflineCurve();
        emit changed();
        return;
    }
    logLine(QStringLiteral("SPECTRUM:"));
    channelCount_ = std::max(count - 1, 0);
    for (int i = 0; i < channelCount_; ++i) {
        values_[i] = rawCounts_[i] > rawCounts_[i + 1]
                         ? static_cast<uint16_t>(rawCounts_[i] - rawCounts_[i + 1])
                         : 0;
    }
    listRows(values_.data(), channelCount_);
    drawOfflineCurve();
    const int scale = std::min<int>(rawCounts_[0], kOfflineMaxScale);
    if (scale == 0) {
        logLine(QStringLiteral("Received ZERO Data"));
        emit changed();
        return;
    }
    // The integral counts in blue, each kept within the scale.
    plot_.setYScale(scale);
    std::array<uint16_t, kScanSteps> capped{};
    for (int i = 0; i <= channelCount_ && i < kScanSteps; ++i) {
        capped[i] = std::min<uint16_t>(rawCounts_[i], static_cast<uint16_t>(scale));
    }
    plot_.plotCurve(capped.data(), std::min(channelCount_ + 1, kScanSteps), kScanRadius, Qt::blue,
                    false);
    emit changed();
}

void TestConsoleController::drawOfflineCurve() {
    readouts_ = {QString(), QString()};
    const int n = channelCount_;
    const uint16_t top = n > 0 ? *std::max_element(values_.begin(), values_.begin() + n) : 0;
    const int scale = std::min<int>(top, kOfflineMaxScale);
    plot_.frame(SpectrumPlot::kNeutronBackground, scale, n, false);
    yScaleLabel_ = QString::asprintf(" Y-scale = %d ", scale);
    if (scale == 0) {
        logLine(QStringLiteral("No spectrum"));
        return;
    }
    plot_.plotCurve(values_.data(), n, kScanRadius, Qt::red, true);
}

void TestConsoleController::mouseOverPicture(int x, int y) {
    readouts_[0] = QString::asprintf("x-y %5d %5d", x, y);
    // The read-out takes the picture as the 40 steps of 50 mV of a threshold scan.
    plot_.setPixelsPerChannel(static_cast<float>(plot_.plotWidth()) / kScanChannels);
    const int milliVolts = static_cast<int>(
        std::trunc((x - plot_.x0()) * kScanStepMilliVolts / plot_.pixelsPerChannel()));
    readouts_[1] = QString::asprintf("cursor = %d mV", milliVolts);
    emit changed();
}

void TestConsoleController::clickPicture(int x, int) {
    if (plot_.pixelsPerChannel() == 0) return;
    auto guard = link_.lock();
    const int milliVolts = static_cast<int>(
        std::trunc((x - plot_.x0()) * kScanStepMilliVolts / plot_.pixelsPerChannel()));
    const int steps = toSteps(milliVolts);
    readouts_[1] = gammaSelected_ ? QString::asprintf("Peak position = %d mV", milliVolts)
                                  : QString::asprintf("Discriminator position = %d mV", milliVolts);
    const int top = plot_.y0() - plot_.plotHeight();
    if (markerX_ != 0) {
        const QColor erase = markerX_ == kErasedMarkerOnLineX ? QColor(Qt::black)
                             : gammaSelected_                 ? SpectrumPlot::kGammaBackground
                                                              : SpectrumPlot::kNeutronBackground;
        plot_.verticalLine(markerX_, plot_.y0() - 1, top, erase);
    }
    plot_.verticalLine(x, plot_.y0(), top, Qt::red);
    markerX_ = x;
    if (!(scanIsGamma_ && gammaSelected_)) {
        logLine(QString::asprintf("Set step1 =%d mV, i.e. %d steps", milliVolts, steps));
        plot_.verticalLine(x, plot_.y0(), top, Qt::blue);
    } else {
        logLine(QString::asprintf("Set step0 =%d mV, i.e. %d steps",
                                  static_cast<int>(std::trunc(milliVolts * kStep0Factor)),
                                  static_cast<int>(std::trunc(steps * kStep0Factor))));
        plot_.verticalLine(plot_.x0() + static_cast<int>(std::trunc((x - 10) * kStep0Factor)),
                           plot_.y0(), top, Qt::blue);
        logLine(QString::asprintf("Low Discr =%d mV",
                                  static_cast<int>(std::trunc(milliVolts * kLowDiscrFactor))));
        plot_.verticalLine(plot_.x0() + static_cast<int>(std::trunc((x - 10) * kLowDiscrFactor)),
                           plot_.y0(), top, Qt::blue);
    }
    emit changed();
}

}  // namespace prm
