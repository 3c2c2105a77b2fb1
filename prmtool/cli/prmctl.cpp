// prmctl: the HM-210 service tool's screens driven from a command line.

#include <QGuiApplication>
#include <QTextStream>
#include <cstdio>

#include "command_table.h"
#include "console_command.h"
#include "link.h"
#include "ports_command.h"
#include "program_options.h"
#include "records_command.h"
#include "settings_command.h"
#include "simulator_launcher.h"

namespace {

constexpr int kSettleTicks = 5;  // after opening the port, as the main window waits

// The help: on standard output for --help, on standard error after a usage error.
void usage(QTextStream& err) {
    err << "usage: prmctl [--port COMn|DEVICE] [--simulate [--sim-fault MODE] [--sim-option "
           "'ARGS']] COMMAND\n"
           "       prmctl --help | --version\n"
           "options:\n"
           "  --port COMn|DEVICE   the monitor's port: COM1 to COM6 or a device (default COM1)\n"
           "  --simulate           run against hm210-sim on a pseudo-terminal instead\n"
           "  --sim-fault MODE     the simulated monitor's fault mode\n"
           "  --sim-option 'ARGS'  more options for the simulated monitor (hm210-sim --help)\n"
           "  --help               print this help\n"
           "  --version            print the version\n"
           "commands:\n"
           "  settings read [--default]     print the user (or default) settings\n"
           "  settings write NAME=VALUE ... change, write and confirm user settings\n"
           "  records read alarms|dose [--file F] [--pdf F] [--timeout S]\n"
           "                                read (and print) the records\n"
           "  records clear alarms|dose [--timeout S]   clear a record area\n"
           "  test NAME [--repeat N] [--for S] [--yes]   run a self-test (uart, buzzer, vibrator,\n"
           "      gamma-led, neutron-led, mode, temperature, battery, dac, counters, rtc, lcd,\n"
           "      status, ram, eeprom, send-rtc)\n"
           "  battery record --file F [--count N]   record N battery reports into F\n"
           "  spectrum scan gamma|neutron --time S [--png F]   threshold-scan spectrum\n"
           "  spectrum adc --time S [--png F]                  gamma ADC spectrum\n"
           "  spectrum offline enable-spectrum|enable-histogram --time S\n"
           "  spectrum offline get|histogram [--png F]         read the off-line data\n"
           "  ports [--json] [--map COMn=DEVICE] [--unmap COMn]\n"
           "      list COM1-COM6 with their devices and the machine's serial devices; map a\n"
           "      COM name to a device in the port map file (no port is opened)\n"
           "'prmctl COMMAND --help' prints a command's options.\n"
           "Exit codes: 0 success, 1 failure (refused, port or line), 2 wrong usage.\n"
           "See prmctl(1).\n";
}

// Counts and times (seconds) must be positive whole numbers: a negative count once started a
// recording twice. Checked before the port is opened; the bound keeps milliseconds in range.
constexpr int kLargestValue = 1000000;

bool checkPositiveValues(const QStringList& args, QTextStream& err) {
    static const QStringList kCounted = {"--repeat", "--count", "--for", "--time", "--timeout"};
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (!kCounted.contains(args[i])) continue;
        bool ok = false;
        const int value = args.value(i + 1).toInt(&ok);
        if (!ok || value <= 0 || value > kLargestValue) {
            err << "prmctl: " << args[i] << " needs a whole number from 1 to " << kLargestValue
                << ", not '" << args.value(i + 1) << "'\n";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Printing to PDF needs fonts, not a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    QStringList args = app.arguments().mid(1);
    QString port = QStringLiteral("COM1");
    bool simulate = false;
    QStringList simArgs;
    while (!args.isEmpty() && args.first().startsWith("--")) {
        const QString opt = args.takeFirst();
        if (opt == "--port" && !args.isEmpty()) {
            port = args.takeFirst();
        } else if (opt == "--simulate") {
            simulate = true;
        } else if (opt == "--sim-fault" && !args.isEmpty()) {
            simArgs << "--fault" << args.takeFirst();
        } else if (opt == "--sim-option" && !args.isEmpty()) {
            simArgs << args.takeFirst().split(' ', Qt::SkipEmptyParts);
        } else if (opt == "--help") {
            usage(out);
            return 0;
        } else if (opt == "--version") {
            suite::printVersion("prmctl");
            return 0;
        } else {
            err << "prmctl: unknown option or missing value: " << opt << '\n'
                << "Try 'prmctl --help' for every command and option.\n";
            return prm::kExitUsage;
        }
    }
    if (args.isEmpty()) {
        usage(err);
        return prm::kExitUsage;
    }
    // The whole command line is checked before the port is opened.
    const bool answer =
        args.contains("--help") || args.contains("-h") || args.contains("--version");
    if (!answer && !checkPositiveValues(args, err)) return prm::kExitUsage;
    if (const int exitCode = prm::checkCommandLine(args, out, err); exitCode >= 0) return exitCode;
    if (args.first() == "ports") return prm::runPortsCommand(args, out, err);

    prm::SimulatorLauncher simulator;
    if (simulate) {
        QString error;
        if (!simulator.start(simArgs, &error)) {
            err << "prmctl: " << error << '\n';
            return prm::kExitFailure;
        }
        prm::PortMap::setProcessOverride(1, simulator.device());
        port = QStringLiteral("COM1");
    }

    prm::Link link;
    link.port().setDevice(port);
    link.ensureWorker();
    if (!link.port().open()) {
        err << "prmctl: " << link.port().lastError() << '\n';
        return prm::kExitFailure;
    }
    prm::Link::tickDelay(kSettleTicks);
    link.resetRing();

    const QString command = args.takeFirst();
    if (command == "settings") return prm::runSettingsCommand(link, args, out, err);
    if (command == "records") return prm::runRecordsCommand(link, args, out, err);
    if (command == "test") return prm::runTestCommand(link, args, out, err);
    if (command == "battery") return prm::runBatteryCommand(link, args, out, err);
    if (command == "spectrum") return prm::runSpectrumCommand(link, args, out, err);
    usage(err);
    return 2;
}
