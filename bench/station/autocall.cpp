// vm418ctl autocall over 8 simulated units on 4 ports, each unit paced at 9600 bit/s: the
// total time against the wire time of the busiest port (its two units' downloads, estimated
// from the unit's file sizes and the frame layout).
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>

#include "simulator_process.h"

namespace {

constexpr int kBaud = 9600;
constexpr double kBitsPerByte = 10.0;
constexpr int kPorts = 4;
constexpr int kUnitsPerPort = 2;
constexpr qint64 kBlockFrame = 6 + 1034;          // a 1024-byte block in its frame
constexpr qint64 kDownloadFrames = 6 + 10 + 6;    // 0x4004, the announcement, the end
constexpr qint64 kMonitoringFrames = 6 + 90 + 6;  // started, one answer, stopped

// The unit's bytes on the line for one download of a file of `size` bytes.
qint64 DownloadBytes(qint64 size) {
    return (size / 1024 + 1) * kBlockFrame + kDownloadFrames;
}

int Ctl(const QString& home, const QStringList& args, QString* out = nullptr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home + "/config");
    for (const char* name : {"ODBCINI", "ODBCSYSINI", "VM418_DB"})
        env.remove(name);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(home);
    p.start(VM418CTL_PATH, args);
    p.waitForFinished(-1);
    if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitCode();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    // The unit's files, for the wire estimate.
    QDir(home.path()).mkpath("unit");
    {
        station::SimulatorProcess sim;
        sim.Start(VM418_SIM_PATH, {"--dump-dir", (home.path() + "/unit").toStdString()});
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(home.path() + "/unit/PARA") && t.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const auto size = [&](const char* code) {
        return QFileInfo(home.path() + "/unit/" + code).size();
    };
    // The on-connect sequence (parameters, history, last alarm), then all files.
    const qint64 perUnit = DownloadBytes(size("PARA")) * 2 + DownloadBytes(size("HIST")) * 2 +
                           DownloadBytes(size("ACRR")) + DownloadBytes(size("ALAR")) +
                           kMonitoringFrames * 2;
    const double busiestWireS = kUnitsPerPort * perUnit * kBitsPerByte / kBaud;

    Ctl(home.path(), {"db", "init", "--sqlite", home.path() + "/vm418.db"});
    for (int unit = 1; unit <= kPorts * kUnitsPerPort; ++unit) {
        const int port = (unit - 1) / kUnitsPerPort + 1;
        Ctl(home.path(), {"systems", "add", "--system", QString::number(unit), "--name",
                          QString("Gate %1").arg(unit), "--modem", "555", "--port-settings",
                          QString("COM%1 9600 0 0 8 3").arg(port), "--autocall-period", "60"});
    }
    QElapsedTimer t;
    t.start();
    QString out;
    const int exitCode = Ctl(home.path(),
                             {"autocall", "--once", "--simulate", "--sim-arg", "--baud",
                              "--sim-arg", QString::number(kBaud)},
                             &out);
    const double totalS = t.elapsed() / 1000.0;
    std::printf("%s", qPrintable(out));
    std::printf(
        "autocall of %d units on %d ports at %d bit/s: %.1f s (exit %d); busiest port's wire "
        "time %.1f s (%lld unit bytes per unit, estimated); ratio %.2f\n",
        kPorts * kUnitsPerPort, kPorts, kBaud, totalS, exitCode, busiestWireS,
        static_cast<long long>(perUnit), totalS / busiestWireS);
    return 0;
}
