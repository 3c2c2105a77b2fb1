// The test console's reply handlers on any bytes: counters (Single and Repeat with their
// recording), battery values and the battery recording, key events, the status, clock and
// memory results, the threshold scans, the ADC spectrum and the off-line data words. The
// first input byte picks the command, the second its mode; the rest is the line.

#include <QDir>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

#include "screen_feed.h"
#include "testconsole.h"

namespace {

using prm::TestConsoleController;
using Button = TestConsoleController::Button;

// Commands that run without waiting inside the click (no clock bytes after a tick, no
// confirmation box, no off-line read loop).
constexpr Button kCommands[] = {
    Button::Uart,     Button::Mode,    Button::Temperature, Button::Battery,    Button::Dac,
    Button::Counters, Button::ReadRtc, Button::Status,      Button::Ram,        Button::Record,
    Button::Spectrum, Button::SpecAdc, Button::NSpectrum,   Button::NHistogram,
};
constexpr int kCommandCount = sizeof kCommands / sizeof kCommands[0];
constexpr int kOfflineRead = kCommandCount;  // the stored words read with "g"

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    prm::ensureApplication();
    static QTemporaryDir dir;  // the recordings' files
    QDir::setCurrent(dir.path());

    prm::Link& link = prm::feedLink();
    TestConsoleController ctl(link);
    ctl.setFileName(QStringLiteral("record.asc"));
    ctl.setTimeText(QStringLiteral("1"));
    const int pick = data[0] % (kCommandCount + 1);
    const uint8_t mode = data[1];
    if (mode & 1) ctl.toggleSingleRepeat();
    if (mode & 2) ctl.toggleRecording();
    if (mode & 4) ctl.toggleGamma();
    if (pick == kOfflineRead) {
        link.beginCommand(33, "g");
    } else {
        const Button b = kCommands[pick];
        if (b == Button::Record && !ctl.recordingOn()) ctl.toggleRecording();
        ctl.click(b);
    }
    prm::feedLine(link, data + 2, size - 2);
    ctl.closeConsole();
    return 0;
}
