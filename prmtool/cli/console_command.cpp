#include "console_command.h"

#include <QEventLoop>
#include <QTimer>

#include "qt_wait_loop.h"
#include "testconsole.h"

namespace prm {

namespace {

using Button = TestConsoleController::Button;

struct TestName {
    const char* name;
    Button button;
};
const TestName kTests[] = {
    {"uart", Button::Uart},
    {"buzzer", Button::Buzzer},
    {"vibrator", Button::Vibrator},
    {"gamma-led", Button::GammaLed},
    {"neutron-led", Button::NeutronLed},
    {"mode", Button::Mode},
    {"temperature", Button::Temperature},
    {"battery", Button::Battery},
    {"dac", Button::Dac},
    {"counters", Button::Counters},
    {"rtc", Button::ReadRtc},
    {"lcd", Button::Lcd},
    {"status", Button::Status},
    {"ram", Button::Ram},
    {"eeprom", Button::Eeprom},
    {"send-rtc", Button::SendRtc},
};

// Log lines that mean the monitor did not do what was asked.
const char* const kErrorTexts[] = {
    "NO SPECTRUM",
    "Received ZERO Data",
    "No spectrum",
    "is too long",
    "is not a number",
    "HM-210 doesn't echo",
    "Wrong echo from HM-210",
    "'Z' received",
    "No or short data",
    "Result of test: ERROR",
    "ERROR Read CUSTOMER",
    "ERROR Read Time/Error",
    "Cannot create",
    "### 65 sec NO DATA",
    "refused",
    "was lost",  // the port went away
};

constexpr int kTestLimitMs = 20000;

QString errorIn(const QStringList& lines) {
    for (const QString& line : lines) {
        for (const char* text : kErrorTexts) {
            if (line.contains(QLatin1String(text))) return line;
        }
    }
    return {};
}

// The console with its log printed as it grows.
struct Console {
    Console(Link& link, QTextStream& out) : ctl(link) {
        QObject::connect(&ctl.log(), &ScreenLog::lineAdded, &ctl, [&out, this](const QString& l) {
            out << l << '\n';
            out.flush();
            lines << l;
        });
        QObject::connect(&ctl, &TestConsoleController::testFinished, &ctl, [this] { ++finished; });
    }
    // Until the test ends, stops by itself (a wrong echo) or reports an error ("Z", no
    // echo): the console would go on asking, a script wants the answer.
    bool waitFinished(int n, int limitMs = kTestLimitMs) {
        auto over = [&] {
            return finished >= n || !ctl.running() || !errorIn(lines.mid(testStart)).isEmpty();
        };
        waitForEvents(over, limitMs);
        return over();
    }
    qsizetype testStart = 0;  // the first log line of the test itself
    TestConsoleController ctl;
    QStringList lines;
    int finished = 0;
};

int verdict(Console& c, bool finished, QTextStream& err) {
    if (!finished) {
        err << "prmctl: the test did not end\n";
        return 1;
    }
    // The test's own error first, else one from opening the console.
    QString error = errorIn(c.lines.mid(c.testStart));
    if (error.isEmpty()) error = errorIn(c.lines);
    if (error.isEmpty()) return 0;
    err << "prmctl: " << error << '\n';
    return 1;
}

}  // namespace

int runTestCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString name = args.value(0);
    const TestName* test = nullptr;
    for (const auto& t : kTests) {
        if (name == t.name) test = &t;
    }
    if (!test) {
        err << "prmctl: unknown test '" << name << "' (known:";
        for (const auto& t : kTests)
            err << ' ' << t.name;
        err << ")\n";
        return 2;
    }
    int repeat = 0;
    int forSeconds = 3;
    bool yes = false;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--repeat" && i + 1 < args.size()) {
            repeat = args[++i].toInt();
        } else if (args[i] == "--for" && i + 1 < args.size()) {
            forSeconds = args[++i].toInt();
        } else if (args[i] == "--yes") {
            yes = true;
        } else {
            err << "prmctl: unknown option " << args[i] << '\n';
            return 2;
        }
    }
    if (test->button == Button::Eeprom && !yes) {
        err << "prmctl: the EEPROM test deletes the alarm and dose records; add --yes\n";
        return 2;
    }

    Console c(link, out);
    c.ctl.setEepromConfirmation([yes] { return yes; });
    if (test->button == Button::Mode) {
        // The key events show on the console's key label; here they are printed.
        QObject::connect(&c.ctl, &TestConsoleController::changed, &c.ctl, [&c, &out] {
            static QString shown;
            if (c.ctl.keyLabel() == shown) return;
            shown = c.ctl.keyLabel();
            out << "key:" << shown << '\n';
            out.flush();
        });
    }
    c.ctl.activate();
    if (repeat > 0) c.ctl.toggleSingleRepeat();
    c.testStart = c.lines.size();
    c.ctl.click(test->button);
    if (!c.ctl.running()) return verdict(c, true, err);  // refused before it started

    // Tests that run until stopped: the button test, the LCD test, and every Repeat run.
    const bool untilStopped =
        repeat > 0 || test->button == Button::Mode || test->button == Button::Lcd;
    if (untilStopped) {
        if (repeat > 0) {
            // A monitor that does not answer ("Z", no echo, wrong echo) ends the run early.
            waitForEvents(
                [&] {
                    return c.ctl.echoCountText().toInt() >= repeat || c.finished ||
                           !c.ctl.running();
                },
                kTestLimitMs);
        } else {
            waitForEvents([&] { return c.finished > 0; }, forSeconds * 1000);
        }
        if (!c.finished && c.ctl.running()) c.ctl.click(test->button);
    }
    const bool finished = c.waitFinished(1);
    if (test->button == Button::Eeprom) {
        // The monitor's answers to the clearing of the records come after the test.
        waitForEvents([&] { return c.lines.contains("Alarm/Dose Records DELETED"); }, 2000);
    }
    return verdict(c, finished, err);
}

int runBatteryCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err) {
    QString file;
    int count = 5;
    if (args.value(0) != "record") {
        err << "usage: prmctl battery record --file F [--count N]\n";
        return 2;
    }
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--file" && i + 1 < args.size()) {
            file = args[++i];
        } else if (args[i] == "--count" && i + 1 < args.size()) {
            count = args[++i].toInt();
        } else {
            err << "usage: prmctl battery record --file F [--count N]\n";
            return 2;
        }
    }
    if (file.isEmpty()) {
        err << "prmctl: battery record needs --file F\n";
        return 2;
    }
    Console c(link, out);
    c.ctl.activate();
    c.ctl.setFileName(file);
    c.ctl.toggleRecording();
    c.testStart = c.lines.size();
    c.ctl.click(Button::Record);
    if (!c.ctl.running()) return verdict(c, true, err);
    waitForEvents([&] { return c.ctl.echoCountText().toInt() >= count + 1 || c.finished; },
                  TestConsoleController::kRecordingWatchdogMs + 5000);
    if (!c.finished) c.ctl.click(Button::Record);
    return verdict(c, c.waitFinished(1), err);
}

int runSpectrumCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err) {
    const QString what = args.value(0);
    QString kind = args.value(1);
    QString time = QStringLiteral(" 10");
    QString png;
    int first = 2;
    if (what == "adc") {
        kind.clear();
        first = 1;
    }
    for (int i = first; i < args.size(); ++i) {
        if (args[i] == "--time" && i + 1 < args.size()) {
            time = args[++i];
        } else if (args[i] == "--png" && i + 1 < args.size()) {
            png = args[++i];
        } else {
            err << "prmctl: unknown option " << args[i] << '\n';
            return 2;
        }
    }
    const bool scan = what == "scan" && (kind == "gamma" || kind == "neutron");
    const bool adc = what == "adc";
    const bool offline =
        what == "offline" && (kind == "enable-spectrum" || kind == "enable-histogram" ||
                              kind == "get" || kind == "histogram");
    if (!scan && !adc && !offline) {
        err << "usage: prmctl spectrum scan gamma|neutron --time S [--png F]\n"
               "       prmctl spectrum adc --time S [--png F]\n"
               "       prmctl spectrum offline enable-spectrum|enable-histogram --time S\n"
               "       prmctl spectrum offline get|histogram [--png F]\n";
        return 2;
    }
    Console c(link, out);
    c.ctl.activate();
    c.ctl.setTimeText(time);
    c.testStart = c.lines.size();
    bool finished = true;
    if (scan || adc) {
        if (scan && kind == "neutron") c.ctl.toggleGamma();
        c.ctl.click(scan ? Button::Spectrum : Button::SpecAdc);
        if (c.ctl.running()) {
            // A scan takes 41 steps of the measuring time, the ADC spectrum the time itself.
            const int seconds = std::max(1, time.trimmed().toInt());
            finished = c.waitFinished(1, (scan ? 45 : 2) * seconds * 1000 + 10000);
        }
    } else if (kind.startsWith("enable")) {
        c.ctl.click(kind == "enable-spectrum" ? Button::NSpectrum : Button::NHistogram);
        waitForEvents([&] { return c.lines.filter("Press BUTTON").size() > 0 || !c.ctl.running(); },
                      2000);
    } else {
        c.ctl.click(kind == "get" ? Button::GetSpectrum : Button::GetHistogram);
    }
    // A measurement that failed leaves no picture that looks like a result.
    const int result = verdict(c, finished, err);
    if (result == 0 && !png.isEmpty() && !c.ctl.plot().image().save(png)) {
        err << "prmctl: cannot write " << png << '\n';
        return 1;
    }
    return result;
}

}  // namespace prm
