// vm418station: the station program. One station document in the "418vLINK" window; its
// first frame asks for a system from the database, then the menus call, watch and download.
//   vm418station [--db CONNECTION] [--simulate]
// --simulate puts vm418-sim on a pseudo-terminal behind every COM name, so each system of
// the database can be called without a unit.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdlib>

#include "db_setup.h"
#include "main_frame.h"
#include "simulator_process.h"
#include "station_db.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("418vLINK");
    QApplication::setOrganizationName("Local AppWizard-Generated Applications");
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"db", "The station database's connection text.", "connection"});
    parser.addOption({"simulate", "Call a simulated unit behind every COM port."});
    parser.process(app);
    vm418::useOdbcConfiguration();

    station::cli::SimulatorProcess sim;
    if (parser.isSet("simulate")) {
        if (!sim.Start(station::cli::FindSimulator(argv[0]), {})) {
            std::fprintf(stderr, "vm418station: the simulator did not start\n");
            return 1;
        }
        for (int n = 1; n <= 9; ++n)
            setenv(("VM418_COM" + std::to_string(n)).c_str(), sim.path().c_str(), 1);
    }
    station::CMainFrame frame(parser.isSet("db") ? parser.value("db")
                                                 : vm418::defaultConnectionText());
    frame.show();
    frame.NewDocument();
    return app.exec();
}
