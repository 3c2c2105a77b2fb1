// prmtool: the service and set-up tool of the HM-210 personal radiation monitor.

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include "main_window.h"
#include "program_icon.h"
#include "program_options.h"
#include "simulator_launcher.h"
#include "suite_version.h"

int main(int argc, char** argv) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Service and set-up tool of the HM-210"));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption simulate(QStringLiteral("simulate"),
                                QStringLiteral("Start a simulated HM-210 and map COM1 to it."));
    QCommandLineOption simFault(QStringLiteral("sim-fault"),
                                QStringLiteral("Fault mode of the simulated HM-210."),
                                QStringLiteral("mode"));
    QCommandLineOption port(QStringLiteral("port"),
                            QStringLiteral("Start on this port (COM1 to COM6)."),
                            QStringLiteral("COMn"));
    parser.addOptions({simulate, simFault, port});
    // --help, --version and a wrong option are answered without a display.
    if (const int code =
            suite::parseCommandLine(parser, suite::argumentList(argc, argv), "prmtool", true);
        code >= 0)
        return code;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("prmtool"));
    QApplication::setApplicationVersion(QStringLiteral(SUITE_VERSION));
    QApplication::setWindowIcon(suite::programIcon(QStringLiteral("prmtool")));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.norvale.prmtool"));
    if (const int code = suite::parseCommandLine(parser, app.arguments(), "prmtool"); code >= 0)
        return code;

    prm::SimulatorLauncher simulator;
    if (parser.isSet(simulate)) {
        QStringList simArgs;
        if (parser.isSet(simFault)) simArgs << "--fault" << parser.value(simFault);
        QString error;
        if (!simulator.start(simArgs, &error)) {
            QMessageBox::critical(nullptr, QStringLiteral("Monitor HM-210"), error);
            return 1;
        }
        prm::PortMap::setProcessOverride(1, simulator.device());
    }

    prm::Link link;
    if (parser.isSet(port)) {
        const QString name = parser.value(port).toUpper();
        const int n = name.startsWith("COM") ? name.mid(3).toInt() : 0;
        if (n < prm::PortService::kFirstPort || n > prm::PortService::kLastPort) {
            QMessageBox::critical(nullptr, QStringLiteral("Monitor HM-210"),
                                  QStringLiteral("--port takes COM1 to COM6, not %1").arg(name));
            return 2;
        }
        link.port().setPortNumber(n);
    }
    prm::TForm1 window(link);
    window.showMaximized();
    return app.exec();
}
