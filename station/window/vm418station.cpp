// vm418station: the station program. One station document in the "418vLINK" window; its
// first frame asks for a system from the database, then the menus call, watch and download.
//   vm418station [--db CONNECTION] [--simulate] [--help] [--version]
// --simulate puts vm418-sim on a pseudo-terminal behind every COM name and opens a fresh
// embedded database (in the user's data folder) with one system that reaches it.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cstdlib>

#include "db_setup.h"
#include "main_frame.h"
#include "program_icon.h"
#include "program_options.h"
#include "simulator_process.h"
#include "station_db.h"
#include "suite_version.h"
#include "systems.h"

int main(int argc, char** argv) {
    QCommandLineParser parser;
    parser.setApplicationDescription("The station program of VM418 systems.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({"db", "The station database's connection text.", "connection"});
    parser.addOption({"simulate", "Call a simulated unit behind every COM port."});
    // --help, --version and a wrong option are answered without a display.
    if (const int code =
            suite::parseCommandLine(parser, suite::argumentList(argc, argv), "vm418station", true);
        code >= 0)
        return code;

    vm418::keepLocalTimeZoneRead();
    QApplication app(argc, argv);
    QApplication::setApplicationName("418vLINK");
    QApplication::setApplicationVersion(SUITE_VERSION);
    QApplication::setOrganizationName("Local AppWizard-Generated Applications");
    QApplication::setWindowIcon(suite::programIcon("vm418station"));
    QGuiApplication::setDesktopFileName("com.norvale.vm418station");
    if (const int code = suite::parseCommandLine(parser, app.arguments(), "vm418station");
        code >= 0)
        return code;
    vm418::useOdbcConfiguration();

    QString db = parser.isSet("db") ? parser.value("db") : vm418::defaultConnectionText();
    station::SimulatorProcess sim;
    if (parser.isSet("simulate")) {
        // A fresh embedded database with one system, whose port reaches the simulated unit.
        constexpr char kPassword[] = "1418";
        if (!sim.Start(station::FindSimulator(argv[0]), {"--password", kPassword})) {
            std::fprintf(stderr, "vm418station: the simulator did not start\n");
            return 1;
        }
        for (int n = 1; n <= 9; ++n)
            setenv(("VM418_COM" + std::to_string(n)).c_str(), sim.path().c_str(), 1);
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QDir().mkpath(folder);
        const QString file = folder + "/simulated.db";
        QFile::remove(file);
        db = "DRIVER=SQLite3;Database=" + file + ";JournalMode=WAL";
        vm418::CSystemRset row;
        row.SysID = 1;
        row.Serial = "SIM-418";
        row.SystemDescription = "Simulated unit";
        row.Modem = "5551418";
        row.Password = kPassword;
        row.COMportSettings = "COM1 9600 0 0 8 3";
        if (vm418::createSchema(db) != vm418::kDbOk || vm418::saveSystem(db, row) != 0) {
            std::fprintf(stderr, "vm418station: cannot set up %s\n", qPrintable(file));
            return 1;
        }
        std::printf("Simulated unit on %s, database %s\n", sim.path().c_str(), qPrintable(file));
    }
    station::CMainFrame frame(db);
    frame.show();
    frame.NewDocument();
    return app.exec();
}
